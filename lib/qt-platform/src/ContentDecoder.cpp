#include "ContentDecoder.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <climits>

namespace {

// "gzip" takes a zlib stream too, as zlib's automatic detection does.
constexpr int kAnyZlibOrGzipHead = 15 + 32;
constexpr int kZlibHead = 15;
constexpr int kRawDeflate = -15;

std::string trimmedLower(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    std::string result = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    for (char& c : result) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

}  // namespace

// One coding being undone: its zlib stream, and the room for its output.
struct ContentDecoder::Stage {
    explicit Stage(Coding coding) : coding(coding) {}
    ~Stage() {
        if (ready) {
            ::inflateEnd(&stream);
        }
    }

    const Coding coding;
    z_stream stream{};
    bool ready = false;
    bool ended = false;  // a whole stream (a gzip member) ended with the last byte
    bool anyInput = false;
    // "deflate": its first two bytes, which tell a zlib head from raw deflate.
    unsigned char head[2] = {0, 0};
    std::size_t headSize = 0;
    std::int64_t produced = 0;
    std::unique_ptr<char[]> piece;
};

std::unique_ptr<ContentDecoder> ContentDecoder::forEncoding(const std::string& encoding,
                                                            std::int64_t limit) {
    std::vector<Coding> applied;
    std::string unknown;
    for (std::size_t start = 0; start <= encoding.size();) {
        const std::size_t comma = std::min(encoding.find(',', start), encoding.size());
        const std::string coding = trimmedLower(encoding.substr(start, comma - start));
        start = comma + 1;
        if (coding.empty() || coding == "identity") {
            continue;
        }
        if (coding == "gzip" || coding == "x-gzip") {
            applied.push_back(Coding::gzip);
        } else if (coding == "deflate") {
            applied.push_back(Coding::deflate);
        } else if (unknown.empty()) {
            unknown = coding;
        }
    }
    if (applied.empty() && unknown.empty()) {
        return nullptr;
    }
    std::unique_ptr<ContentDecoder> decoder(new ContentDecoder(applied, limit));
    if (!unknown.empty()) {
        // Nothing of it is undone: bytes still coded are no body.
        decoder->stages_.clear();
        decoder->problem_ = "the content coding \"" + unknown + "\" is not known";
    }
    return decoder;
}

ContentDecoder::ContentDecoder(const std::vector<Coding>& applied, std::int64_t limit)
    : limit_(limit) {
    for (auto coding = applied.rbegin(); coding != applied.rend(); ++coding) {
        stages_.push_back(std::make_unique<Stage>(*coding));
    }
}

ContentDecoder::~ContentDecoder() = default;

ContentDecoder::Status ContentDecoder::fail(Status status, std::string problem) {
    failure_ = status;
    problem_ = std::move(problem);
    return failure_;
}

ContentDecoder::Status ContentDecoder::decode(const char* data, std::size_t size,
                                              const Sink& sink) {
    if (failure_ != Status::ok || size == 0) {
        return failure_;
    }
    if (stages_.empty()) {
        // A coding not known: refused at its first byte, the reason kept.
        failure_ = Status::damaged;
        return failure_;
    }
    input_ += static_cast<std::int64_t>(size);
    return push(0, data, size, sink);
}

ContentDecoder::Status ContentDecoder::push(std::size_t index, const char* data, std::size_t size,
                                            const Sink& sink) {
    if (size == 0) {
        return Status::ok;
    }
    if (index == stages_.size()) {
        output_ += static_cast<std::int64_t>(size);
        if (output_ > limit_) {
            return fail(Status::tooLarge,
                        "the body decodes to more than " + std::to_string(limit_) + " bytes");
        }
        return sink(data, size) ? Status::ok
                                : fail(Status::damaged, "the decoded body was not taken");
    }
    Stage& stage = *stages_[index];
    stage.anyInput = true;
    if (!stage.ready) {
        int windowBits = kAnyZlibOrGzipHead;
        if (stage.coding == Coding::deflate) {
            // "deflate" is a zlib stream, but some servers send raw deflate:
            // a zlib head (method 8, a window of at most 32 KiB, the check
            // bits) tells them apart, as zlib's own first test does.
            const std::size_t take = std::min(size, sizeof stage.head - stage.headSize);
            std::copy_n(reinterpret_cast<const unsigned char*>(data), take,
                        stage.head + stage.headSize);
            stage.headSize += take;
            data += take;
            size -= take;
            if (stage.headSize < sizeof stage.head) {
                return Status::ok;
            }
            const unsigned cmf = stage.head[0];
            const unsigned flg = stage.head[1];
            const bool zlib = (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0;
            windowBits = zlib ? kZlibHead : kRawDeflate;
        }
        if (::inflateInit2(&stage.stream, windowBits) != Z_OK) {
            return fail(Status::damaged, "zlib cannot be set up");
        }
        stage.ready = true;
        stage.piece = std::make_unique<char[]>(kOutputPiece);
        if (stage.coding == Coding::deflate) {
            const Status status = inflateInto(index, reinterpret_cast<const char*>(stage.head),
                                              sizeof stage.head, sink);
            if (status != Status::ok) {
                return status;
            }
        }
    }
    for (; size > 0;) {
        const std::size_t step = std::min<std::size_t>(size, UINT_MAX);
        const Status status = inflateInto(index, data, step, sink);
        if (status != Status::ok) {
            return status;
        }
        data += step;
        size -= step;
    }
    return Status::ok;
}

ContentDecoder::Status ContentDecoder::inflateInto(std::size_t index, const char* data,
                                                   std::size_t size, const Sink& sink) {
    Stage& stage = *stages_[index];
    z_stream& stream = stage.stream;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream.avail_in = static_cast<uInt>(size);
    for (;;) {
        if (stage.ended) {
            if (stream.avail_in == 0) {
                return Status::ok;
            }
            // Another gzip member may follow; anything else after the end
            // of the stream is no part of the body.
            if (stage.coding != Coding::gzip || ::inflateReset(&stream) != Z_OK) {
                return fail(Status::damaged, "bytes follow the end of the coded body");
            }
            stage.ended = false;
        }
        stream.next_out = reinterpret_cast<Bytef*>(stage.piece.get());
        stream.avail_out = static_cast<uInt>(kOutputPiece);
        const uInt before = stream.avail_in;
        const int result = ::inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = kOutputPiece - stream.avail_out;
        if (result == Z_STREAM_END) {
            stage.ended = true;
        } else if ((result != Z_OK && result != Z_BUF_ERROR) ||
                   (produced == 0 && stream.avail_in == before && before > 0)) {
            return fail(Status::damaged,
                        std::string("the coded body is damaged") +
                            (stream.msg != nullptr ? std::string(": ") + stream.msg : ""));
        }
        stage.produced += static_cast<std::int64_t>(produced);
        if (stage.produced > kSafetyThreshold && stage.produced > kMaximumRatio * input_) {
            return fail(Status::tooLarge, "the body decodes to more than " +
                                              std::to_string(kMaximumRatio) + " times its size");
        }
        const Status status = push(index + 1, stage.piece.get(), produced, sink);
        if (status != Status::ok) {
            return status;
        }
        // Everything given is read and nothing more is pending.
        if (!stage.ended && stream.avail_in == 0 && stream.avail_out != 0) {
            return Status::ok;
        }
    }
}

ContentDecoder::Status ContentDecoder::finish() {
    if (failure_ != Status::ok) {
        return failure_;
    }
    for (const auto& stage : stages_) {
        // A stage that never saw a byte ends an empty body.
        if (stage->anyInput && !stage->ended) {
            return fail(Status::damaged, "the coded body ends early");
        }
    }
    return Status::ok;
}
