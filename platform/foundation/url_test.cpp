#include <doctest/doctest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/url.h"

using platform::URL;
using platform::URLQueryItem;

TEST_CASE("URLs are parsed into their parts") {
    SUBCASE("a full address") {
        auto url = URL::parse("HTTPS://example.com:8080/a/b%20c?x=1&y=a%26b&flag&empty=#part%201");
        REQUIRE(url);
        CHECK(url->scheme() == "https");
        CHECK(url->host() == "example.com");
        CHECK(url->port() == 8080);
        CHECK(url->path() == "/a/b c");
        CHECK(url->percentEncodedPath() == "/a/b%20c");
        auto items = url->queryItems();
        REQUIRE(items);
        CHECK(*items == std::vector<URLQueryItem>{{"x", "1"}, {"y", "a&b"}, {"flag", std::nullopt}, {"empty", ""}});
        CHECK(url->fragment() == "part 1");
        CHECK(url->string() == "https://example.com:8080/a/b%20c?x=1&y=a%26b&flag&empty=#part%201");
    }
    SUBCASE("addresses without authority, path, query or port") {
        auto link = URL::parse("velmora:open?gclid=abc");
        REQUIRE(link);
        CHECK_FALSE(link->hasAuthority());
        CHECK(link->path() == "open");
        CHECK(link->queryItems()->at(0) == URLQueryItem{"gclid", "abc"});

        auto bare = URL::parse("https://example.com");
        REQUIRE(bare);
        CHECK(bare->path().empty());
        CHECK_FALSE(bare->port());
        CHECK_FALSE(bare->queryItems());
        CHECK_FALSE(bare->fragment());

        auto emptyQuery = URL::parse("https://example.com/?");
        REQUIRE(emptyQuery);
        CHECK(emptyQuery->queryItems()->empty());

        auto file = URL::parse("file:///tmp/x.plist");
        REQUIRE(file);
        CHECK(file->host().empty());
        CHECK(file->path() == "/tmp/x.plist");

        auto literal = URL::parse("http://[::1]:9000/a");
        REQUIRE(literal);
        CHECK(literal->host() == "[::1]");
        CHECK(literal->port() == 9000);
        // The last with its zone, the interface it is on, after "%25".
        for (const char* address : {"http://[1:2:3:4:5:6:7:8]/", "http://[::ffff:127.0.0.1]/", "http://[fe80::1]:80/",
                                    "http://[fe80::1%25lo]:9/"}) {
            CAPTURE(address);
            CHECK(URL::parse(address));
        }
    }
    SUBCASE("invalid text gives none, and the part that makes it so") {
        const std::vector<std::pair<const char*, const char*>> cases = {
            {"", "scheme"}, {"no scheme here", "scheme"}, {"://x", "scheme"}, {"1http://x", "scheme"},
            {"http://exa mple.com/", "host"}, {"http://host:99999/", "port"}, {"http://host:80a/", "port"},
            {"http://x/%zz", "path"}, {"http://x/%4", "path"}, {"http://user@host/", "user"},
            {"http://[::1/", "host"}, {"http://x/a\"b", "path"}, {"http://x/\xc3\xa9", "path"},
            {"http://x/a#b#c", "fragment"}, {"http://x/{}", "path"}, {"http://x/?a b", "query"},
            // Brackets hold an IPv6 address, whole, and nothing else.
            {"http://[zz]/", "[zz] is in brackets, which hold an IPv6 address"}, {"http://[1:2:3]/", "IPv6"},
            {"http://[127.0.0.1]/", "IPv6"}, {"http://[::1::2]/", "IPv6"}, {"bern://[]/", "IPv6"},
            {"http://[fe80::1%lo]/", "IPv6"}, {"http://[fe80::1%25]/", "[fe80::1%25] has a zone after %25 that is empty"},
            // Each rule said alone: the one the address breaks.
            {"http://user:pw@127.0.0.1:9/", "it names a user (what comes before \"@\" in its address)"},
            {"http://host:99999/", "its port \"99999\" is no number"}, {"http://[::1]x/", "is followed by \"x\""},
        };
        for (const auto& row : cases) {
            CAPTURE(row.first);
            std::string why;
            CHECK_FALSE(URL::parse(row.first));
            CHECK_FALSE(URL::parse(row.first, &why));
            CHECK(why.find(row.second) != std::string::npos);
            // One rule a reason: never a list for the reader to choose from.
            CHECK(why.find(", or ") == std::string::npos);
        }
    }
}

TEST_CASE("URLs are built from plain parts") {
    URL url;
    CHECK(url.setScheme("https"));
    CHECK_FALSE(url.setScheme("1bad"));
    CHECK_FALSE(url.setScheme("a b"));
    url.setHost("collector.test");
    url.setPath("/config/app/velmora-sample-app");
    url.setQueryItems(std::vector<URLQueryItem>{{"platform", "ios"}, {"q", "a b&c=d+e#f"}, {"flag", std::nullopt}});
    CHECK(url.string() == "https://collector.test/config/app/velmora-sample-app?platform=ios&q=a%20b%26c%3Dd%2Be%23f&flag");

    auto back = URL::parse(url.string());
    REQUIRE(back);
    CHECK(*back == url);
    CHECK(back->queryItems()->at(1).value == "a b&c=d+e#f");

    SUBCASE("ports, fragments and paths without a leading slash") {
        url.setPort(443);
        url.setPath("relative path");
        url.setQueryItems(std::nullopt);
        url.setFragment("a b");
        CHECK(url.string() == "https://collector.test:443/relative%20path#a%20b");
        CHECK(URL::parse(url.string())->path() == "/relative path");
    }
}

TEST_CASE("percent encoding") {
    CHECK(platform::percentEncode("a b/%~-._") == "a%20b%2F%25~-._");
    CHECK(platform::percentEncode("a/b", "/") == "a/b");
    CHECK(platform::percentEncode("\xe2\x82\xac") == "%E2%82%AC");
    CHECK(platform::percentDecode("%E2%82%ac") == "\xe2\x82\xac");
    CHECK(platform::percentDecode("100%25") == "100%");
    CHECK_FALSE(platform::percentDecode("%4"));
    CHECK_FALSE(platform::percentDecode("%G0"));
}
