#pragma once

#include <QByteArray>
#include <string>

// Turns a body that arrives in chunks into UTF-8 text as Qt reads a byte
// array as a string: malformed sequences become U+FFFD and the text of a
// chunk ends at its first NUL byte. A character split between two chunks is
// joined: the bytes of a character that is still incomplete at the end of a
// chunk wait for the next one.
class Utf8ChunkDecoder {
public:
    // The text of `chunk`, with the waiting bytes in front.
    std::string decode(const QByteArray& chunk);
    // The text of the bytes still waiting at the end of the body (U+FFFD for
    // a character that never completed); empty when none wait.
    std::string finish();
    void clear() { pending_.clear(); }

private:
    QByteArray pending_;
};
