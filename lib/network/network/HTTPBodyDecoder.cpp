#include "network/HTTPBodyDecoder.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "network/HTTPListElements.h"
#include "network/IHTTPResponse.h"

namespace network {

namespace {

// The most zlib takes in one call (its counts are 32-bit).
constexpr std::size_t kLargestCall = std::size_t{1} << 30;

}  // namespace

// One coding being undone: its zlib stream and the room for its output.
struct HTTPBodyDecoder::Stage {
    explicit Stage(Coding coding) : coding(coding) {}
    ~Stage() {
        if (initialised) {
            inflateEnd(&stream);
        }
    }

    Coding coding;
    z_stream stream{};
    bool initialised = false;
    bool ended = false;  // a whole stream (a gzip member) ended with the last bytes
    bool anyInput = false;
    // "deflate": the first two bytes, which tell the zlib format from raw deflate.
    unsigned char head[2] = {0, 0};
    std::size_t headSize = 0;
    std::uint64_t produced = 0;
    std::unique_ptr<unsigned char[]> out;
};

bool HTTPBodyDecoder::ParseCodings(std::string_view list, std::vector<Coding>& codings,
                                   std::string& unknown) {
    bool known = true;
    ForEachListElement(list, [&](std::string_view name) {
        if (HeaderNameEquals(name, "identity")) {
            codings.push_back(Coding::Identity);
        } else if (HeaderNameEquals(name, "gzip") || HeaderNameEquals(name, "x-gzip")) {
            codings.push_back(Coding::Gzip);
        } else if (HeaderNameEquals(name, "deflate")) {
            codings.push_back(Coding::Deflate);
        } else if (known) {
            known = false;
            unknown = std::string(name);
        }
    });
    return known;
}

std::uint64_t HTTPBodyDecoder::DecodedBound(std::uint64_t codedSize, std::uint64_t limit) {
    const std::uint64_t ratio =
        codedSize > UINT64_MAX / kMaxRatio ? UINT64_MAX : codedSize * kMaxRatio;
    return std::min(limit, std::max(kFreeDecodedSize, ratio));
}

HTTPBodyDecoder::HTTPBodyDecoder(const std::vector<Coding>& codings, std::uint64_t limit)
    : limit_(limit) {
    for (auto it = codings.rbegin(); it != codings.rend(); ++it) {
        if (*it != Coding::Identity) {
            stages_.push_back(std::make_unique<Stage>(*it));
        }
    }
}

HTTPBodyDecoder::~HTTPBodyDecoder() = default;

HTTPBodyDecoder::Result HTTPBodyDecoder::Fail(std::string text) {
    failed_ = true;
    error_ = std::move(text);
    return Result::Failed;
}

HTTPBodyDecoder::Result HTTPBodyDecoder::Feed(const unsigned char* data, std::size_t size,
                                              const Output& output) {
    if (failed_) {
        return Result::Failed;
    }
    codedSize_ += size;
    if (codedSize_ > limit_) {
        return Fail("the coded body is larger than " + std::to_string(limit_) + " bytes");
    }
    for (std::size_t at = 0; at < size;) {
        const std::size_t count = std::min(size - at, kLargestCall);
        const Result result = Push(0, data + at, count, output);
        if (result != Result::Ok) {
            if (result == Result::Refused) {
                failed_ = true;
                error_ = "the decoded body was refused";
            }
            return result;
        }
        at += count;
    }
    return Result::Ok;
}

HTTPBodyDecoder::Result HTTPBodyDecoder::Finish() {
    if (failed_) {
        return Result::Failed;
    }
    for (const auto& stage : stages_) {
        // A stage that never saw a byte ends an empty body.
        if (stage->anyInput && !stage->ended) {
            return Fail("the coded body is cut short");
        }
    }
    return Result::Ok;
}

HTTPBodyDecoder::Result HTTPBodyDecoder::Push(std::size_t index, const unsigned char* data,
                                              std::size_t size, const Output& output) {
    if (size == 0) {
        return Result::Ok;
    }
    if (index == stages_.size()) {
        if (size > limit_ - decodedSize_) {
            return Fail("the body decodes to more than " + std::to_string(limit_) + " bytes");
        }
        decodedSize_ += size;
        return output(data, size) ? Result::Ok : Result::Refused;
    }
    Stage& stage = *stages_[index];
    stage.anyInput = true;
    if (!stage.initialised) {
        int windowBits = 15 + 16;  // gzip
        if (stage.coding == Coding::Deflate) {
            // "deflate" is the zlib format (RFC 9110 section 8.4.1.2), but some
            // servers send raw deflate: a zlib header (method 8, a window of
            // at most 32 KiB, the check bits) tells them apart, as zlib's own
            // first test does.
            const std::size_t take = std::min(size, sizeof stage.head - stage.headSize);
            std::memcpy(stage.head + stage.headSize, data, take);
            stage.headSize += take;
            data += take;
            size -= take;
            if (stage.headSize < sizeof stage.head) {
                return Result::Ok;
            }
            const unsigned cmf = stage.head[0];
            const unsigned flg = stage.head[1];
            const bool zlib = (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0;
            windowBits = zlib ? 15 : -15;
        }
        if (inflateInit2(&stage.stream, windowBits) != Z_OK) {
            return Fail("zlib cannot be set up");
        }
        stage.initialised = true;
        stage.out = std::make_unique<unsigned char[]>(kPieceSize);
        if (stage.coding == Coding::Deflate) {
            const Result result = Inflate(stage, index, stage.head, sizeof stage.head, output);
            if (result != Result::Ok) {
                return result;
            }
        }
    }
    return Inflate(stage, index, data, size, output);
}

HTTPBodyDecoder::Result HTTPBodyDecoder::Inflate(Stage& stage, std::size_t index,
                                                 const unsigned char* data, std::size_t size,
                                                 const Output& output) {
    z_stream& stream = stage.stream;
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = static_cast<uInt>(size);
    while (true) {
        if (stage.ended) {
            if (stream.avail_in == 0) {
                return Result::Ok;
            }
            // gzip allows members one after another; other formats end once.
            if (stage.coding != Coding::Gzip || inflateReset(&stream) != Z_OK) {
                return Fail("bytes follow the end of the coded body");
            }
            stage.ended = false;
        }
        stream.next_out = stage.out.get();
        stream.avail_out = static_cast<uInt>(kPieceSize);
        const uInt before = stream.avail_in;
        const int result = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = kPieceSize - stream.avail_out;
        if (result == Z_STREAM_END) {
            stage.ended = true;
        } else if ((result != Z_OK && result != Z_BUF_ERROR) ||
                   (produced == 0 && stream.avail_in == before && before > 0)) {
            return Fail(std::string("the coded body is corrupt") +
                        (stream.msg != nullptr ? std::string(": ") + stream.msg : ""));
        }
        if (produced > 0) {
            stage.produced += produced;
            const std::uint64_t bound = DecodedBound(codedSize_, limit_);
            if (stage.produced > bound) {
                return Fail("the body decodes to more than " + std::to_string(bound) +
                            " bytes (from " + std::to_string(codedSize_) + " coded)");
            }
            // The next stage takes all of it before this one goes on.
            const Result pushed = Push(index + 1, stage.out.get(), produced, output);
            if (pushed != Result::Ok) {
                return pushed;
            }
        }
        if (!stage.ended && stream.avail_in == 0 && stream.avail_out != 0) {
            return Result::Ok;  // everything taken; more input is needed
        }
    }
}

}  // namespace network
