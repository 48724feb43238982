#pragma once

#include <cstddef>
#include <vector>

// A response body of unknown length, gathered as it arrives without ever
// being held twice: its bytes go into pieces that are never moved (each up
// to twice the one before, from 64 KiB to 16 MiB), and the whole is joined
// into one vector at the end, each piece given back to the system as soon
// as it has been copied. At no time is more held than the body and one
// piece. The pieces are mapped pages of their own, so that giving one back
// lowers the process's memory whatever the allocator keeps.
class BodyPieces {
public:
    BodyPieces() = default;
    ~BodyPieces();
    BodyPieces(const BodyPieces&) = delete;
    BodyPieces& operator=(const BodyPieces&) = delete;

    // The bytes gathered.
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Where the next bytes go: at least one byte of room, a new piece made
    // when the last one is full. Throws std::bad_alloc when no piece can be
    // had.
    char* room(std::size_t& length);
    // Counts `length` bytes written at room(), at most the room given.
    void commit(std::size_t length);
    // Copies `length` bytes in; throws std::bad_alloc as room() does.
    void append(const char* data, std::size_t length);

    // Appends every byte to `into` and empties the pieces, releasing each
    // once copied. Throws std::bad_alloc, the pieces left as they were,
    // when `into` cannot take them.
    void moveInto(std::vector<char>& into);
    // Drops every byte.
    void clear();

private:
    struct Piece {
        char* data;
        std::size_t capacity;
        std::size_t used;
    };

    static void release(Piece& piece);

    std::vector<Piece> pieces_;
    std::size_t size_ = 0;
};
