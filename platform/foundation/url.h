#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct URLQueryItem {
    std::string name;
    std::optional<std::string> value;  // none for "?flag", "" for "?flag="
    bool operator==(const URLQueryItem&) const = default;
};

// An absolute URL: scheme ":" ["//" host [":" port]] path ["?" query]
// ["#" fragment]. The parts are kept percent-encoded as they were given;
// the plain accessors decode them and the setters encode what must be.
// User names and passwords in the authority are not supported.
class URL {
public:
    URL() = default;

    // None for text that is no absolute URL: no scheme, characters outside
    // the URL alphabet (spaces, quotes, non-ASCII), a broken percent escape,
    // a port that is not a number up to 65535, user information, or a host
    // in brackets that is no IPv6 address ("[zz]") with, or without, a zone
    // after "%25" ("[fe80::1%25lo]").
    static std::optional<URL> parse(std::string_view text);
    // The same, saying in `why` the one rule the text breaks.
    static std::optional<URL> parse(std::string_view text, std::string* why);

    std::string string() const;

    const std::string& scheme() const { return scheme_; }
    bool hasAuthority() const { return hasAuthority_; }
    std::string host() const;
    std::optional<std::uint16_t> port() const { return port_; }
    std::string path() const;
    const std::string& percentEncodedPath() const { return path_; }
    const std::optional<std::string>& percentEncodedQuery() const { return query_; }
    // None without a query; "?" alone gives an empty list.
    std::optional<std::vector<URLQueryItem>> queryItems() const;
    std::optional<std::string> fragment() const;

    // Setters take plain text. setScheme refuses an invalid scheme.
    bool setScheme(const std::string& scheme);
    void setHost(const std::string& host);  // also gives the URL an authority
    void setPort(std::optional<std::uint16_t> port);
    void setPath(const std::string& path);
    // Names and values are encoded so that '&', '=', '+' and '#' inside them
    // survive the round trip.
    void setQueryItems(const std::optional<std::vector<URLQueryItem>>& items);
    void setFragment(const std::optional<std::string>& fragment);

    bool operator==(const URL&) const = default;

private:
    std::string scheme_;
    bool hasAuthority_ = false;
    std::string host_;
    std::optional<std::uint16_t> port_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

// Percent-encodes every byte except the unreserved characters
// (letters, digits, '-', '.', '_', '~') and those in `keep`.
std::string percentEncode(std::string_view text, std::string_view keep = {});
// None when a '%' is not followed by two hexadecimal digits.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace platform
