#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

// The framing of every local-socket link of the layer: a message is one frame,
// a big-endian 32-bit byte count followed by that many bytes of big-endian
// UTF-16 text (0xFFFFFFFF marks a null string, with no text), which is what a
// default QDataStream writes for a QString.
//
// A codec reads one connection: it keeps the bytes of an unfinished frame until
// the rest arrives and hands out every complete message in order. Frames with
// an empty or null text carry no message and are skipped. A frame with an odd
// byte count, or longer than kMaxFrameBytes, cannot be read; the stream cannot
// be resynchronised after it, so the codec turns corrupt and the connection
// must be dropped.
class LocalSocketFrameCodec {
public:
    // The longest text a peer may announce (16 MiB).
    static constexpr std::uint32_t kMaxFrameBytes = 16u * 1024u * 1024u;

    // The frame of `text`.
    static QByteArray encode(const QString& text);
    // Whether a reader accepts the frame of `text`: longer texts are refused
    // before sending, or they would cost the connection.
    static bool fits(const QString& text) {
        return static_cast<std::uint64_t>(text.size()) * 2 <= kMaxFrameBytes;
    }

    // Adds the bytes received and returns the messages they complete, in
    // order. Once corrupt, nothing more is read; the bytes of the corrupt
    // frame and beyond are dropped.
    std::vector<QString> feed(const QByteArray& bytes);

    // Until the next message has been read, a frame longer than `bytes`
    // turns the stream corrupt at its byte count, before its text is kept:
    // for a greeting, say, which is short.
    void limitNextMessage(std::uint32_t bytes) { nextLimit_ = bytes; }

    // The bytes kept of a frame not finished yet.
    std::size_t pendingBytes() const { return static_cast<std::size_t>(pending_.size()); }
    bool isCorrupt() const { return corrupt_; }
    // Why the stream is corrupt, for the log.
    const QString& error() const { return error_; }
    // Forgets everything: for a new connection.
    void reset();

private:
    QByteArray pending_;
    std::uint32_t nextLimit_ = kMaxFrameBytes;
    bool corrupt_ = false;
    QString error_;
};
