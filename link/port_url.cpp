#include "link/port_url.h"

#include <cstring>

namespace kormelt {

namespace {

constexpr size_t PORT_DIGITS_MAX = 5;  // 65535
constexpr uint32_t PORT_NUMBER_LIMIT = 65535;

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsNameChar(char c) { return IsLetter(c) || IsDigit(c) || c == '-' || c == '.'; }
// Inside brackets: an IPv6 address, with an embedded IPv4 part or a zone
// (fe80::1%eth0) allowed.
bool IsAddressChar(char c) { return IsHexDigit(c) || c == ':' || c == '.' || c == '%' || IsNameChar(c); }

bool StartsWith(const char *text, const char *prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// Letters, then letters, digits, '+', '-' or '.', then "://".
bool HasScheme(const char *text) {
    if (!IsLetter(text[0])) {
        return false;
    }
    size_t i = 1;
    while (IsLetter(text[i]) || IsDigit(text[i]) || text[i] == '+' || text[i] == '-' || text[i] == '.') {
        ++i;
    }
    return std::strncmp(text + i, "://", 3) == 0;
}

// Copies [begin, end) as the host; false when empty, too long or holding a
// character no host of its kind has.
bool TakeHost(const char *begin, const char *end, bool bracketed, PortUrl *url) {
    const size_t length = static_cast<size_t>(end - begin);
    if (length == 0 || length >= sizeof url->host) {
        return false;
    }
    for (const char *c = begin; c != end; ++c) {
        if (bracketed ? !IsAddressChar(*c) : !IsNameChar(*c)) {
            return false;
        }
    }
    if (bracketed && std::memchr(begin, ':', length) == nullptr) {
        return false;
    }
    std::memcpy(url->host, begin, length);
    url->host[length] = '\0';
    url->bracketed = bracketed;
    return true;
}

// Decimal 1..65535 from *text up to the first non-digit; *text moves past it.
bool TakePort(const char **text, uint16_t *port) {
    uint32_t value = 0;
    size_t digits = 0;
    while (IsDigit(**text)) {
        if (++digits > PORT_DIGITS_MAX) {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(**text - '0');
        ++*text;
    }
    if (digits == 0 || value == 0 || value > PORT_NUMBER_LIMIT) {
        return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

PortUrlParse Parse(const char *text, PortUrl *url) {
    if (!HasScheme(text)) {
        return PortUrlParse::Path;
    }
    const char *rest = nullptr;
    if (StartsWith(text, PORT_URL_RFC2217)) {
        url->kind = RemoteKind::Rfc2217;
        rest = text + std::strlen(PORT_URL_RFC2217);
    } else if (StartsWith(text, PORT_URL_SOCKET)) {
        url->kind = RemoteKind::Socket;
        rest = text + std::strlen(PORT_URL_SOCKET);
    } else {
        return PortUrlParse::Bad;
    }

    const char *host_end = nullptr;
    const char *after_host = nullptr;
    if (*rest == '[') {
        host_end = std::strchr(rest, ']');
        if (host_end == nullptr || !TakeHost(rest + 1, host_end, true, url)) {
            return PortUrlParse::Bad;
        }
        after_host = host_end + 1;
    } else {
        host_end = std::strchr(rest, ':');
        if (host_end == nullptr || !TakeHost(rest, host_end, false, url)) {
            return PortUrlParse::Bad;
        }
        after_host = host_end;
    }
    if (*after_host != ':') {
        return PortUrlParse::Bad;
    }
    const char *cursor = after_host + 1;
    if (!TakePort(&cursor, &url->port)) {
        return PortUrlParse::Bad;
    }
    if (*cursor == '\0') {
        return PortUrlParse::Url;
    }
    // The choice on refusal means something only where the server is asked
    // to set the line.
    if (url->kind == RemoteKind::Rfc2217 && std::strcmp(cursor, PORT_URL_STRICT) == 0) {
        url->refusal = Rfc2217Refusal::Strict;
        return PortUrlParse::Url;
    }
    if (url->kind == RemoteKind::Rfc2217 && std::strcmp(cursor, PORT_URL_TOLERANT) == 0) {
        url->refusal = Rfc2217Refusal::Tolerant;
        return PortUrlParse::Url;
    }
    return PortUrlParse::Bad;
}

}  // namespace

PortUrlParse ParsePortUrl(const char *text, PortUrl *url) {
    *url = PortUrl{};
    const PortUrlParse parse = Parse(text, url);
    // Half of a name that is no URL is nobody's business.
    if (parse != PortUrlParse::Url) {
        *url = PortUrl{};
    }
    return parse;
}

}  // namespace kormelt
