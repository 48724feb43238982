#include "network/DecodedHTTPResponse.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>

#include <boost/algorithm/string.hpp>

namespace network {

namespace {

enum class Coding { Identity, Gzip, Deflate, Unknown };

Coding CodingOf(std::string name) {
    boost::algorithm::trim(name);
    boost::algorithm::to_lower(name);
    if (name == "identity" || name.empty()) {
        return Coding::Identity;
    }
    if (name == "gzip" || name == "x-gzip") {
        return Coding::Gzip;
    }
    if (name == "deflate") {
        return Coding::Deflate;
    }
    return Coding::Unknown;
}

// One inflate pass; `windowBits` picks the wrapper (gzip, zlib or raw).
std::optional<core::NonInitializingBuffer<unsigned char>> InflateWith(
    const core::NonInitializingBuffer<unsigned char>& data, int windowBits, std::uint64_t limit) {
    z_stream stream{};
    if (inflateInit2(&stream, windowBits) != Z_OK) {
        return std::nullopt;
    }
    core::NonInitializingBuffer<unsigned char> out;
    // One byte past the limit tells a body at the limit from a larger one.
    const std::uint64_t most = limit + 1;
    out.reserve(std::min<std::uint64_t>(most, std::max<std::size_t>(data.size() * 4, 4096)));
    stream.next_in = const_cast<unsigned char*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    const bool gzipMembers = windowBits > 15;
    std::size_t consumedTotal = 0;
    int result = Z_OK;
    while (true) {
        if (out.capacity() - out.size() < 4096 && out.capacity() < most) {
            out.reserve(std::min<std::uint64_t>(out.capacity() * 2, most));
        }
        const std::size_t before = out.size();
        out.resize(out.capacity());
        stream.next_out = out.data() + before;
        stream.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size() - before, 1u << 30));
        const std::size_t room = stream.avail_out;
        result = inflate(&stream, Z_NO_FLUSH);
        out.resize(before + (room - stream.avail_out));
        if (out.size() > limit) {
            result = Z_MEM_ERROR;
            break;
        }
        if (result == Z_STREAM_END) {
            // gzip allows members one after another.
            consumedTotal = data.size() - stream.avail_in;
            if (gzipMembers && stream.avail_in > 0) {
                if (inflateReset(&stream) != Z_OK) {
                    break;
                }
                continue;
            }
            break;
        }
        if (result != Z_OK) {
            break;
        }
        if (stream.avail_in == 0 && stream.avail_out != 0) {
            result = Z_BUF_ERROR;  // cut short
            break;
        }
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END || consumedTotal != data.size()) {
        return std::nullopt;
    }
    return out;
}

}  // namespace

std::optional<core::NonInitializingBuffer<unsigned char>> DecodedHTTPResponse::Inflate(
    const core::NonInitializingBuffer<unsigned char>& data, bool gzip, std::uint64_t limit) {
    if (gzip) {
        return InflateWith(data, 15 + 16, limit);
    }
    // "deflate" means the zlib format; some servers send raw deflate.
    if (auto zlib = InflateWith(data, 15, limit)) {
        return zlib;
    }
    return InflateWith(data, -15, limit);
}

std::uint64_t DecodedHTTPResponse::DecodedBound(std::uint64_t codedSize, std::uint64_t limit) {
    const std::uint64_t ratio =
        codedSize > UINT64_MAX / kMaxRatio ? UINT64_MAX : codedSize * kMaxRatio;
    return std::min(limit, std::max(kFreeDecodedSize, ratio));
}

DecodedHTTPResponse::DecodedHTTPResponse(std::unique_ptr<IHTTPResponse> wrapped, std::uint64_t limit)
    : wrapped_(std::move(wrapped)) {
    body_ = wrapped_->TakeBody();
    std::vector<Coding> codings;
    for (const auto& value : wrapped_->GetHeaders("Content-Encoding")) {
        std::vector<std::string> names;
        boost::algorithm::split(names, value, [](char c) { return c == ','; });
        for (const auto& name : names) {
            codings.push_back(CodingOf(name));
        }
    }
    if (body_.empty() ||
        std::find(codings.begin(), codings.end(), Coding::Unknown) != codings.end()) {
        return;
    }
    const std::uint64_t bound = DecodedBound(body_.size(), limit);
    for (auto it = codings.rbegin(); it != codings.rend(); ++it) {
        if (*it == Coding::Identity) {
            continue;
        }
        auto decoded = Inflate(body_, *it == Coding::Gzip, bound);
        if (!decoded) {
            valid_ = false;
            error_ = "the body is corrupt, cut short or decodes to more than " +
                     std::to_string(bound) + " bytes (from " + std::to_string(body_.size()) +
                     " coded)";
            body_ = {};
            return;
        }
        body_ = std::move(*decoded);
    }
}

std::string DecodedHTTPResponse::GetHeader(const std::string& name) {
    return wrapped_->GetHeader(name);
}

std::vector<std::string> DecodedHTTPResponse::GetHeaders(const std::string& name) {
    return wrapped_->GetHeaders(name);
}

core::NonInitializingBuffer<unsigned char> DecodedHTTPResponse::TakeBody() {
    return std::move(body_);
}

}  // namespace network
