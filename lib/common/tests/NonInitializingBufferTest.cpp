#include <gtest/gtest.h>

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

TEST(NonInitializingBufferTest, AppendingGrowsGeometricallyAndKeepsTheData) {
    Buffer buffer;
    EXPECT_EQ(nullptr, buffer.data());
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        const unsigned char byte = static_cast<unsigned char>(i % 251);
        buffer.append(&byte, 1);
        expected += static_cast<char>(byte);
    }
    buffer.append(static_cast<const unsigned char*>(nullptr), 0);
    EXPECT_EQ(expected, text(buffer));
    EXPECT_LT(buffer.capacity(), 4000u) << "grew byte by byte";

    // Its own bytes appended while it must grow.
    while (buffer.capacity() > buffer.size()) {
        buffer.append(reinterpret_cast<const unsigned char*>("."), 1);
    }
    const std::string before = text(buffer);
    buffer.append(buffer.data(), buffer.size());
    EXPECT_EQ(before + before, text(buffer));

    Buffer reserved = bytes("keep");
    reserved.reserve(4096);
    const unsigned char* storage = reserved.data();
    reserved.append(reinterpret_cast<const unsigned char*>("ing"), 3);
    reserved.reserve(8);
    EXPECT_EQ("keeping", text(reserved));
    EXPECT_EQ(storage, reserved.data()) << "appending within the capacity reallocated";
    reserved.resize(2);
    EXPECT_EQ("ke", text(reserved));
    reserved.clear();
    EXPECT_TRUE(reserved.empty());
    EXPECT_EQ(storage, reserved.data());
}

TEST(NonInitializingBufferTest, CopyReusesLargeEnoughStorageAndMoveEmptiesTheSource) {
    const Buffer source = bytes("hello world");
    Buffer large;
    large.reserve(64);
    const unsigned char* storage = large.data();
    large = source;
    EXPECT_EQ(storage, large.data());
    Buffer small = bytes("ab");
    small = source;
    Buffer& self = small;
    small = self;
    for (const Buffer* copy : {&large, &small}) {
        EXPECT_EQ("hello world", text(*copy));
        EXPECT_NE(source.data(), copy->data());
    }

    Buffer moved(std::move(small));
    storage = moved.data();
    Buffer target = bytes("old");
    target = std::move(moved);
    EXPECT_EQ("hello world", text(target));
    EXPECT_EQ(storage, target.data());
    for (const Buffer* empty : {&small, &moved}) {
        EXPECT_TRUE(empty->empty());
        EXPECT_EQ(0u, empty->capacity());
        EXPECT_EQ(nullptr, empty->data());
    }
    moved.append(reinterpret_cast<const unsigned char*>("x"), 1);
    EXPECT_EQ("x", text(moved)) << "a moved-from buffer is usable again";
}

}  // namespace
