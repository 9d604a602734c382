#include "platform/foundation/url.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>

namespace platform {

namespace {

constexpr std::string_view kSubDelims = "!$&'()*+,;=";
constexpr std::string_view kPathKeep = "/:@!$&'()*+,;=";
constexpr std::string_view kFragmentKeep = "/?:@!$&'()*+,;=";
// Inside a query item '&', '=', '+' and '#' would change the meaning.
constexpr std::string_view kQueryItemKeep = "/?:@!$'()*,;";

bool isUnreserved(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

bool isEscapeAt(std::string_view text, std::size_t i) {
    return i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2]);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return (std::tolower(static_cast<unsigned char>(c)) - 'a') + 10;
}

// True when every character is unreserved, one of `extra`, or a complete
// percent escape.
bool isEncodedRun(std::string_view text, std::string_view extra) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (!isEscapeAt(text, i)) return false;
            i += 2;
        } else if (!isUnreserved(c) && extra.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool parseScheme(std::string_view text, std::string& scheme, std::size_t& end) {
    end = text.find(':');
    if (end == std::string_view::npos || end == 0 || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    for (std::size_t i = 0; i < end; ++i) {
        char c = text[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
        scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return true;
}

bool parsePort(std::string_view text, std::optional<std::uint16_t>& port) {
    if (text.empty()) return true;
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

constexpr const char* kOutsideAlphabet =
    " holds a character outside the URL alphabet (a space, a quote, a non-ASCII letter: percent-encode it) or a "
    "broken percent escape";

// What separates an IPv6 address from its zone (the interface it is on)
// inside brackets: a percent sign, itself percent-encoded.
constexpr std::string_view kZoneSeparator = "%25";

// Brackets around a host hold an IPv6 address, with a zone after it or
// not ("[fe80::1%25lo]"), and nothing else: the network library refuses
// anything else there, long after the address was taken. Why not, in
// `why`.
bool isIPv6Literal(std::string_view literal, const std::string& shown, std::string& why) {
    const auto separator = literal.find(kZoneSeparator);
    const auto address = literal.substr(0, separator);
    in6_addr parsed{};
    if (::inet_pton(AF_INET6, std::string(address).c_str(), &parsed) != 1) {
        why = "its host " + shown + " is in brackets, which hold an IPv6 address (such as [::1], and " +
              "[fe80::1%25lo] with its zone), and it is none";
        return false;
    }
    if (separator == std::string_view::npos) return true;
    const auto zone = literal.substr(separator + kZoneSeparator.size());
    if (zone.empty() || !isEncodedRun(zone, {})) {
        why = "its host " + shown + " has a zone after %25 that is empty or" + kOutsideAlphabet;
        return false;
    }
    return true;
}

// The host in brackets that begins an authority, and the rest after it.
bool parseBracketedHost(std::string_view authority, std::string& host, std::string_view& rest, std::string& why) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) {
        why = "its host " + std::string(authority) + " opens a bracket it does not close";
        return false;
    }
    const std::string shown(authority.substr(0, close + 1));
    if (!isIPv6Literal(authority.substr(1, close - 1), shown, why)) return false;
    host = shown;
    rest = authority.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') {
        why = "its host " + shown + " is followed by \"" + std::string(rest) + "\", where only a colon and a port may";
        return false;
    }
    return true;
}

// The host and port of an authority; false, with the rule it breaks in
// `why`, for anything else.
bool parseAuthority(std::string_view authority, std::string& host, std::optional<std::uint16_t>& port,
                    std::string& why) {
    if (authority.find('@') != std::string_view::npos) {
        why = "it names a user (what comes before \"@\" in its address), which no address here takes: give the "
              "address without it";
        return false;
    }
    std::string_view portText;
    if (!authority.empty() && authority.front() == '[') {
        std::string_view rest;
        if (!parseBracketedHost(authority, host, rest, why)) return false;
        if (!rest.empty()) portText = rest.substr(1);
    } else {
        auto colon = authority.find(':');
        auto name = authority.substr(0, colon);
        if (!isEncodedRun(name, kSubDelims)) {
            why = "its host" + std::string(kOutsideAlphabet);
            return false;
        }
        host = std::string(name);
        if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
    }
    if (parsePort(portText, port)) return true;
    why = "its port \"" + std::string(portText) + "\" is no number up to 65535";
    return false;
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) { return parse(text, nullptr); }

std::optional<URL> URL::parse(std::string_view text, std::string* why) {
    auto refuse = [why](const std::string& reason) -> std::optional<URL> {
        if (why) *why = reason;
        return std::nullopt;
    };
    URL url;
    std::size_t colon = 0;
    if (!parseScheme(text, url.scheme_, colon)) {
        return refuse("it does not begin with a scheme: a letter, then letters, digits, +, - or ., then a colon "
                      "(https:, bern:)");
    }
    std::string_view rest = text.substr(colon + 1);

    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        auto fragment = rest.substr(hash + 1);
        if (!isEncodedRun(fragment, kFragmentKeep)) return refuse(std::string("its fragment") + kOutsideAlphabet);
        url.fragment_ = std::string(fragment);
        rest = rest.substr(0, hash);
    }
    if (auto question = rest.find('?'); question != std::string_view::npos) {
        auto query = rest.substr(question + 1);
        if (!isEncodedRun(query, kFragmentKeep)) return refuse(std::string("its query") + kOutsideAlphabet);
        url.query_ = std::string(query);
        rest = rest.substr(0, question);
    }
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        auto slash = rest.find('/');
        std::string hostWhy;
        if (!parseAuthority(rest.substr(0, slash), url.host_, url.port_, hostWhy)) return refuse(hostWhy);
        url.hasAuthority_ = true;
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    if (!isEncodedRun(rest, kPathKeep)) return refuse(std::string("its path") + kOutsideAlphabet);
    url.path_ = std::string(rest);
    return url;
}

std::string URL::string() const {
    std::string out = scheme_ + ":";
    if (hasAuthority_) {
        out += "//" + host_;
        if (port_) out += ":" + std::to_string(*port_);
        if (!path_.empty() && path_.front() != '/') out += '/';
    }
    out += path_;
    if (query_) out += "?" + *query_;
    if (fragment_) out += "#" + *fragment_;
    return out;
}

std::string URL::host() const { return percentDecode(host_).value_or(host_); }

std::string URL::path() const { return percentDecode(path_).value_or(path_); }

std::optional<std::vector<URLQueryItem>> URL::queryItems() const {
    if (!query_) return std::nullopt;
    std::vector<URLQueryItem> items;
    if (query_->empty()) return items;
    std::string_view rest = *query_;
    for (;;) {
        auto amp = rest.find('&');
        auto piece = rest.substr(0, amp);
        auto equals = piece.find('=');
        URLQueryItem item;
        item.name = percentDecode(piece.substr(0, equals)).value_or(std::string(piece.substr(0, equals)));
        if (equals != std::string_view::npos) {
            auto value = piece.substr(equals + 1);
            item.value = percentDecode(value).value_or(std::string(value));
        }
        items.push_back(std::move(item));
        if (amp == std::string_view::npos) break;
        rest = rest.substr(amp + 1);
    }
    return items;
}

std::optional<std::string> URL::fragment() const {
    if (!fragment_) return std::nullopt;
    return percentDecode(*fragment_).value_or(*fragment_);
}

bool URL::setScheme(const std::string& scheme) {
    std::string parsed;
    std::size_t end = 0;
    std::string withColon = scheme + ":";
    if (!parseScheme(withColon, parsed, end) || end != scheme.size()) return false;
    scheme_ = std::move(parsed);
    return true;
}

void URL::setHost(const std::string& host) {
    hasAuthority_ = true;
    bool literal = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    host_ = literal ? host : percentEncode(host, kSubDelims);
}

void URL::setPort(std::optional<std::uint16_t> port) {
    port_ = port;
    if (port) hasAuthority_ = true;
}

void URL::setPath(const std::string& path) { path_ = percentEncode(path, kPathKeep); }

void URL::setQueryItems(const std::optional<std::vector<URLQueryItem>>& items) {
    if (!items) {
        query_.reset();
        return;
    }
    std::string query;
    for (std::size_t i = 0; i < items->size(); ++i) {
        const auto& item = (*items)[i];
        if (i > 0) query += '&';
        query += percentEncode(item.name, kQueryItemKeep);
        if (item.value) query += "=" + percentEncode(*item.value, kQueryItemKeep);
    }
    query_ = std::move(query);
}

void URL::setFragment(const std::optional<std::string>& fragment) {
    if (fragment) {
        fragment_ = percentEncode(*fragment, kFragmentKeep);
    } else {
        fragment_.reset();
    }
}

std::string percentEncode(std::string_view text, std::string_view keep) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (isUnreserved(c) || (c != '%' && keep.find(c) != std::string_view::npos)) {
            out += c;
        } else {
            auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (!isEscapeAt(text, i)) return std::nullopt;
        out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
        i += 2;
    }
    return out;
}

}  // namespace platform
