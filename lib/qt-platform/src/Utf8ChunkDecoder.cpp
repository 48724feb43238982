#include "Utf8ChunkDecoder.h"

#include <QString>

namespace {

// How many bytes at the end of `bytes` start a character that needs more
// bytes than are there; 0 when the end is complete (or plainly malformed,
// which the conversion handles).
int incompleteTail(const QByteArray& bytes) {
    const int size = bytes.size();
    for (int back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(bytes[size - back]);
        if ((byte & 0xC0) == 0x80) {
            continue;  // a continuation byte: look further back for the lead
        }
        if (byte < 0xC0) {
            return 0;  // ASCII
        }
        const int needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
        return back < needed ? back : 0;
    }
    return 0;
}

std::string toText(const QByteArray& bytes) {
    const QByteArray utf8 = QString::fromUtf8(bytes.constData(), bytes.size()).toUtf8();
    return std::string(utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

}  // namespace

std::string Utf8ChunkDecoder::decode(const QByteArray& chunk) {
    const int nul = chunk.indexOf('\0');
    QByteArray bytes = pending_;
    pending_.clear();
    bytes.append(nul >= 0 ? chunk.left(nul) : chunk);
    if (nul < 0) {
        // A NUL ends the chunk's text, so only a chunk without one leaves
        // bytes waiting.
        const int tail = incompleteTail(bytes);
        pending_ = bytes.right(tail);
        bytes.chop(tail);
    }
    return toText(bytes);
}

std::string Utf8ChunkDecoder::finish() {
    if (pending_.isEmpty()) {
        return {};
    }
    const QByteArray bytes = pending_;
    pending_.clear();
    return toText(bytes);
}
