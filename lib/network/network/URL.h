#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace network {

// The parsed form of an absolute http, https, ftp, ftps, ws or wss URL, read
// as RFC 3986 has it (by uriparser).
struct URL {
    std::string scheme;
    std::string host;
    std::uint32_t port = 0;  // 0: none given
    std::string path;        // as written, escapes kept
    std::vector<std::pair<std::string, std::string>> query;  // decoded, in order
    std::string fragment;    // as written, without "#"
    // The query as written, without "?"; printed in place of the pairs while
    // they are what it decodes to.
    std::string queryText;

    // Lower-cases scheme and host.
    void ToLower();
    // Port 80 for http and ws, 443 for https and wss.
    bool IsDefaultPort() const;
    // Sets the scheme's default port when none is given.
    void SetDefaultPort();
    // Whether the port can be connected to (0 to 65535); larger ports parse
    // but must be refused, not cut.
    bool HasValidPort() const { return port <= 65535; }

    std::string ToString() const;
    // Host, and ":" with the port when one is given.
    std::string Authority() const;
    // The origin-form request target: the path ("/" when empty) and the
    // query; never the fragment.
    std::string PathAndQuery() const;
    // Writes the path, the query and, with `withFragment`, the fragment.
    void JoinQuery(std::string& out, bool withFragment) const;
};

// True when `text` is a whole RFC 3986 URI of an accepted scheme with a
// host of letters, digits, ".", "-" and "_", no user information and a port
// that fits 32 bits; the parts are appended to `url` (an empty one), which
// is not to be used after false. The query pairs are the "&"-separated
// pieces, "%XX" escapes decoded.
bool ParseURL(const std::string& text, URL& url);

// Why `ParseURL` refuses `text`, or a port past 65535 in it, in words: the
// character and its position where one is wrong, or the part that is not
// supported. Empty when `text` is such a URL.
std::string URLRefusal(const std::string& text);

// The scheme `text` starts with, in lower case (a scheme is case-insensitive,
// RFC 3986 section 3.1); empty where it does not start with a scheme and ":".
std::string SchemeOf(const std::string& text);

// `text` with the scheme it starts with, if any, in lower case, as
// `ParseURL` takes it. A text that does not start with a scheme and ":" is
// returned as it is.
std::string WithLowerCaseScheme(std::string text);

// Resolves `reference` against `url` in place as RFC 3986 section 5.2
// does: an absolute URL replaces it, "//host..." keeps only the scheme, a
// path drops the base query, a relative path merges with the base folder,
// dot segments are removed, and the query is kept as written. False, and
// `url` unchanged, when the reference or the result is not a URL that
// `ParseURL` accepts ("g:h", "http:g", "//:80/").
bool ParseRelativeURL(URL& url, const std::string& reference);

// A reference from a peer (a "Location") made fit for `ParseRelativeURL`:
// bytes that RFC 3986 does not allow (space, non-ASCII, quotes, ...) are
// percent-encoded, as common clients do. False on a control byte (NUL, CR,
// LF, ...), which no sound reference holds.
bool EncodeReference(const std::string& text, std::string& out);

// Percent-encodes every byte other than letters, digits, "-", ".", "_", "~".
std::string URLEncode(const std::string& text);
// Decodes "+" as a space and "%XX" escapes; false on a broken escape.
bool URLDecode(const std::string& text, std::string& out);

}  // namespace network
