#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/NonInitializingBuffer.h"

using Buffer = core::NonInitializingBuffer<unsigned char>;

namespace {

Buffer bytes(const std::string& text) {
    return Buffer(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string text(const Buffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size());
}

TEST(NonInitializingBufferTest, ConstructionWithASizeAndAppending) {
    Buffer empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(nullptr, empty.data());
    EXPECT_EQ(0u, empty.capacity());

    Buffer sized(16);
    EXPECT_EQ(16u, sized.size());
    EXPECT_GE(sized.capacity(), 16u);
    std::memset(sized.data(), 'x', sized.size());

    Buffer buffer;
    buffer.append(reinterpret_cast<const unsigned char*>("abc"), 3);
    buffer.append(static_cast<const unsigned char*>(nullptr), 0);
    const unsigned char more[] = {'d', 'e'};
    buffer.append(std::begin(more), std::end(more));
    EXPECT_EQ("abcde", text(buffer));
    EXPECT_EQ('c', buffer[2]);
    EXPECT_EQ(5, buffer.end() - buffer.begin());
}

TEST(NonInitializingBufferTest, GrowthKeepsTheDataAndReserveKeepsTheSize) {
    Buffer buffer;
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        const unsigned char byte = static_cast<unsigned char>(i % 251);
        buffer.append(&byte, 1);
        expected += static_cast<char>(byte);
    }
    EXPECT_EQ(expected, text(buffer));
    EXPECT_GE(buffer.capacity(), 1000u);
    // Appending one byte at a time grows geometrically, not byte by byte.
    EXPECT_LT(buffer.capacity(), 4000u);

    Buffer reserved = bytes("keep");
    reserved.reserve(4096);
    EXPECT_EQ("keep", text(reserved));
    EXPECT_GE(reserved.capacity(), 4096u);
    const unsigned char* storage = reserved.data();
    reserved.append(reinterpret_cast<const unsigned char*>("ing"), 3);
    EXPECT_EQ(storage, reserved.data()) << "appending within the capacity reallocated";
    reserved.reserve(8);
    EXPECT_GE(reserved.capacity(), 4096u);

    reserved.resize(2);
    EXPECT_EQ("ke", text(reserved));
    reserved.clear();
    EXPECT_TRUE(reserved.empty());
    EXPECT_EQ(storage, reserved.data());
}

TEST(NonInitializingBufferTest, AppendingItsOwnBytesWhileGrowing) {
    Buffer buffer = bytes("abcd");
    while (buffer.capacity() > buffer.size()) {
        buffer.append(reinterpret_cast<const unsigned char*>("."), 1);
    }
    const std::string before = text(buffer);
    buffer.append(buffer.data(), buffer.size());
    EXPECT_EQ(before + before, text(buffer));
}

TEST(NonInitializingBufferTest, CopyReusesStorageOnlyWhenLargeEnough) {
    const Buffer source = bytes("hello world");
    Buffer copy(source);
    EXPECT_EQ("hello world", text(copy));
    EXPECT_NE(source.data(), copy.data());

    Buffer large;
    large.reserve(64);
    const unsigned char* storage = large.data();
    large = source;
    EXPECT_EQ("hello world", text(large));
    EXPECT_EQ(storage, large.data());

    Buffer small = bytes("ab");
    small = source;
    EXPECT_EQ("hello world", text(small));
    EXPECT_GE(small.capacity(), source.size());

    Buffer& self = small;
    small = self;
    EXPECT_EQ("hello world", text(small));
}

TEST(NonInitializingBufferTest, MoveLeavesTheSourceEmpty) {
    Buffer source = bytes("payload");
    const unsigned char* storage = source.data();
    Buffer moved(std::move(source));
    EXPECT_EQ(storage, moved.data());
    EXPECT_EQ("payload", text(moved));
    EXPECT_TRUE(source.empty());
    EXPECT_EQ(0u, source.capacity());
    EXPECT_EQ(nullptr, source.data());

    Buffer target = bytes("old");
    target = std::move(moved);
    EXPECT_EQ("payload", text(target));
    EXPECT_EQ(storage, target.data());
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ(0u, moved.capacity());

    // A moved-from buffer is usable again.
    moved.append(reinterpret_cast<const unsigned char*>("x"), 1);
    EXPECT_EQ("x", text(moved));
}

}  // namespace
