#include "network/HTTPResponseHead.h"

#include "network/DebugLogging.h"
#include "network/HTTPListElements.h"

namespace network {

void HTTPResponseHead::Take(AsyncHTTPResponseData& response, HTTPCookieStore& cookieStore) {
    if (response.cookiesTaken || !response.reader.HeadComplete()) {
        return;
    }
    response.cookiesTaken = true;
    const bool logged = DebugWritten();
    std::string shown;
    bool cookies = false;
    for (const auto& [name, value] : response.reader.Headers()) {
        if (HeaderNameEquals(name, "Set-Cookie")) {
            cookies = true;
            cookieStore.SetCookieFromResponse(value, response.url);
        } else if (logged) {
            shown.append(name).append(": ").append(value).append("\n");
        }
    }
    if (!logged) {
        return;
    }
    auto& log = response.Log();
    log.debug("HTTP response status line:\n%s", response.reader.StatusLine().c_str());
    log.debug("HTTP response status: %u", response.reader.Status());
    log.debug("HTTP response headers:\n %s", shown.c_str());
    if (cookies) {
        log.debug("HTTP 'Set-Cookie' response headers omitted from log.");
    }
}

bool HTTPResponseHead::ClosesConnection(bool isConnect, std::uint32_t version,
                                        std::uint32_t status, const HTTPHeaderList& headers) {
    // "Connection" is a list of options, in one header or several (RFC 9110
    // section 7.6.1): "close, TE" closes, and "close" outweighs "keep-alive".
    bool keepAlive = false;
    bool closes = false;
    for (const auto& [name, value] : headers) {
        if (HeaderNameEquals(name, "Connection") || HeaderNameEquals(name, "Proxy-Connection")) {
            ForEachListElement(value, [&](std::string_view option) {
                keepAlive = keepAlive || HeaderNameEquals(option, "keep-alive");
                closes = closes || HeaderNameEquals(option, "close");
            });
        }
    }
    const bool close = version == 1 ? closes || !keepAlive : version == 2 ? closes : false;
    return isConnect ? close && status != 200 : close;
}

std::string HTTPResponseHead::FailedStep(const HTTPResponseReader& reader) {
    switch (reader.CurrentStep()) {
    case HTTPResponseReader::Step::StatusLine:
        return "Error while receiving HTTP headers";
    case HTTPResponseReader::Step::Headers:
        return "Error while reading HTTP headers";
    case HTTPResponseReader::Step::FixedBody:
        return "Error while reading content of fixed size";
    case HTTPResponseReader::Step::UntilEnd:
    case HTTPResponseReader::Step::Done:
        return "Error while reading variable-size content";
    case HTTPResponseReader::Step::ChunkSize:
        return "Error while reading HTTP chunk size";
    case HTTPResponseReader::Step::ChunkData:
        return "Error while reading chunk of size " + std::to_string(reader.ChunkSize());
    }
    return "Error while reading the response";
}

}  // namespace network
