#include "LocalSocketFrameCodec.h"

#include <QDataStream>

namespace {

constexpr std::uint32_t kNullMarker = 0xFFFFFFFFu;
constexpr int kCountBytes = 4;

std::uint32_t readCount(const char* bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) |
           std::uint32_t(b[3]);
}

QString readText(const char* bytes, int byteCount) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    QString text(byteCount / 2, Qt::Uninitialized);
    QChar* out = text.data();
    for (int i = 0; i < byteCount / 2; ++i) {
        out[i] = QChar(static_cast<char16_t>((b[2 * i] << 8) | b[2 * i + 1]));
    }
    return text;
}

}  // namespace

QByteArray LocalSocketFrameCodec::encode(const QString& text) {
    QByteArray frame;
    QDataStream stream(&frame, QIODevice::WriteOnly);
    stream << text;
    return frame;
}

std::vector<QString> LocalSocketFrameCodec::feed(const QByteArray& bytes) {
    std::vector<QString> messages;
    if (corrupt_) {
        return messages;
    }
    pending_.append(bytes);
    int offset = 0;
    while (pending_.size() - offset >= kCountBytes) {
        const std::uint32_t count = readCount(pending_.constData() + offset);
        if (count == kNullMarker) {
            offset += kCountBytes;
            continue;
        }
        if (count % 2 != 0 || count > nextLimit_) {
            corrupt_ = true;
            error_ = count % 2 != 0 ? QStringLiteral("odd frame length %1").arg(count)
                                    : QStringLiteral("frame length %1 over the limit of %2")
                                          .arg(count)
                                          .arg(nextLimit_);
            pending_.clear();
            return messages;
        }
        const int frameBytes = kCountBytes + static_cast<int>(count);
        if (pending_.size() - offset < frameBytes) {
            break;
        }
        if (count > 0) {
            messages.push_back(
                readText(pending_.constData() + offset + kCountBytes, static_cast<int>(count)));
            nextLimit_ = kMaxFrameBytes;
        }
        offset += frameBytes;
    }
    pending_.remove(0, offset);
    return messages;
}

void LocalSocketFrameCodec::reset() {
    pending_.clear();
    nextLimit_ = kMaxFrameBytes;
    corrupt_ = false;
    error_.clear();
}
