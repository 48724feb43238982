#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>

namespace core {

// A growable array of plain values (bytes, in this system) whose growth
// leaves the new elements uninitialised, so that buffers filled by a read or
// a copy right after are never zeroed first. Size is end of data minus start
// of data; capacity runs to the end of the storage.
template <typename T>
class NonInitializingBuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "only plain values can be left uninitialised");

public:
    using value_type = T;
    using size_type = std::size_t;
    using iterator = T*;
    using const_iterator = const T*;

    NonInitializingBuffer() noexcept = default;

    // `size` uninitialised elements.
    explicit NonInitializingBuffer(size_type size) { resize(size); }

    // A copy of `size` elements at `data`.
    NonInitializingBuffer(const T* data, size_type size) { append(data, size); }

    NonInitializingBuffer(const NonInitializingBuffer& other) {
        append(other.data(), other.size());
    }

    // Reuses this buffer's storage when it is large enough.
    NonInitializingBuffer& operator=(const NonInitializingBuffer& other) {
        if (this != &other) {
            end_ = begin_;
            append(other.data(), other.size());
        }
        return *this;
    }

    // The source is left empty, without storage.
    NonInitializingBuffer(NonInitializingBuffer&& other) noexcept { swap(other); }

    NonInitializingBuffer& operator=(NonInitializingBuffer&& other) noexcept {
        if (this != &other) {
            NonInitializingBuffer taken;
            taken.swap(other);
            swap(taken);
        }
        return *this;
    }

    T* data() noexcept { return begin_; }
    const T* data() const noexcept { return begin_; }
    size_type size() const noexcept { return static_cast<size_type>(end_ - begin_); }
    size_type capacity() const noexcept { return static_cast<size_type>(capacityEnd_ - begin_); }
    bool empty() const noexcept { return end_ == begin_; }

    iterator begin() noexcept { return begin_; }
    iterator end() noexcept { return end_; }
    const_iterator begin() const noexcept { return begin_; }
    const_iterator end() const noexcept { return end_; }

    T& operator[](size_type index) noexcept { return begin_[index]; }
    const T& operator[](size_type index) const noexcept { return begin_[index]; }

    // Makes room for at least `capacity` elements, keeping the data.
    void reserve(size_type capacity) {
        if (capacity > this->capacity()) {
            reallocate(capacity, nullptr, 0);
        }
    }

    // Grows or shrinks the data; elements added are uninitialised.
    void resize(size_type size) {
        grow(size);
        end_ = begin_ + size;
    }

    // Appends `size` elements from `data`, which may lie in this buffer.
    void append(const T* data, size_type size) {
        if (size == 0) {
            return;
        }
        const size_type needed = this->size() + size;
        if (needed > capacity()) {
            reallocate(std::max(needed, capacity() * 2), data, size);
            return;
        }
        std::memmove(end_, data, size * sizeof(T));
        end_ += size;
    }

    // Appends the elements of a contiguous range [first, last).
    template <typename Pointer>
    requires std::is_convertible_v<Pointer, const T*>
    void append(Pointer first, Pointer last) {
        append(static_cast<const T*>(first), static_cast<size_type>(last - first));
    }

    // Forgets the data, keeping the storage.
    void clear() noexcept { end_ = begin_; }

    void swap(NonInitializingBuffer& other) noexcept {
        std::swap(storage_, other.storage_);
        std::swap(begin_, other.begin_);
        std::swap(end_, other.end_);
        std::swap(capacityEnd_, other.capacityEnd_);
    }

private:
    // Room for `size` elements, at least doubling the capacity when growing.
    void grow(size_type size) {
        if (size > capacity()) {
            reallocate(std::max(size, capacity() * 2), nullptr, 0);
        }
    }

    // New storage of `capacity` elements holding the data and then `extra`,
    // copied before the old storage goes.
    void reallocate(size_type capacity, const T* extra, size_type extraSize) {
        auto storage = std::make_unique_for_overwrite<T[]>(capacity);
        const size_type size = this->size();
        if (size != 0) {
            std::memcpy(storage.get(), begin_, size * sizeof(T));
        }
        if (extraSize != 0) {
            std::memcpy(storage.get() + size, extra, extraSize * sizeof(T));
        }
        storage_ = std::move(storage);
        begin_ = storage_.get();
        end_ = begin_ + size + extraSize;
        capacityEnd_ = begin_ + capacity;
    }

    std::unique_ptr<T[]> storage_;
    T* begin_ = nullptr;
    T* end_ = nullptr;
    T* capacityEnd_ = nullptr;
};

}  // namespace core
