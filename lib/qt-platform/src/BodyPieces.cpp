#include "BodyPieces.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr std::size_t kFirstPiece = 64 * 1024;
constexpr std::size_t kLargestPiece = 16 * 1024 * 1024;

}  // namespace

BodyPieces::~BodyPieces() {
    clear();
}

char* BodyPieces::room(std::size_t& length) {
    if (pieces_.empty() || pieces_.back().used == pieces_.back().capacity) {
        const std::size_t capacity =
            pieces_.empty() ? kFirstPiece : std::min(2 * pieces_.back().capacity, kLargestPiece);
        pieces_.reserve(pieces_.size() + 1);
        void* data = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                            -1, 0);
        if (data == MAP_FAILED) {
            throw std::bad_alloc();
        }
        pieces_.push_back({static_cast<char*>(data), capacity, 0});
    }
    Piece& last = pieces_.back();
    length = last.capacity - last.used;
    return last.data + last.used;
}

void BodyPieces::commit(std::size_t length) {
    Piece& last = pieces_.back();
    length = std::min(length, last.capacity - last.used);
    last.used += length;
    size_ += length;
}

void BodyPieces::append(const char* data, std::size_t length) {
    while (length > 0) {
        std::size_t free = 0;
        char* at = room(free);
        const std::size_t taken = std::min(free, length);
        std::memcpy(at, data, taken);
        commit(taken);
        data += taken;
        length -= taken;
    }
}

void BodyPieces::moveInto(std::vector<char>& into) {
    // Reserved whole, the vector's pages are taken only as the bytes are
    // copied into it, while each piece copied is given back.
    into.reserve(into.size() + size_);
    for (Piece& piece : pieces_) {
        into.insert(into.end(), piece.data, piece.data + piece.used);
        release(piece);
    }
    pieces_.clear();
    size_ = 0;
}

void BodyPieces::clear() {
    for (Piece& piece : pieces_) {
        release(piece);
    }
    pieces_.clear();
    size_ = 0;
}

void BodyPieces::release(Piece& piece) {
    if (piece.data != nullptr) {
        ::munmap(piece.data, piece.capacity);
        piece.data = nullptr;
    }
}
