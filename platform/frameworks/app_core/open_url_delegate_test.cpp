// Tests of the open-URL delegate registry.
#include <doctest/doctest.h>

#include <memory>
#include <string>

#include "platform/frameworks/app_core/open_url_delegate.h"

using platform::ApplicationOpenURL;

namespace {

// Takes links of one scheme only.
struct SchemeDelegate : platform::OpenURLDelegate {
    std::string scheme;
    explicit SchemeDelegate(std::string s) : scheme(std::move(s)) {}
    bool openURL(const std::string& url, const platform::Value::Dictionary&) override {
        return url.rfind(scheme + ":", 0) == 0;
    }
};

}  // namespace

TEST_CASE("a URL reaches the registered delegate, and every request is recorded") {
    ApplicationOpenURL::reset();
    struct Case {
        const char* url;
        bool withDelegate;
        bool taken;
    };
    const Case cases[] = {
        {"bern://solve?k=2", false, false},
        {"bern://solve?k=2", true, true},
        {"https://example.org/", true, false},
    };
    for (const auto& c : cases) {
        ApplicationOpenURL::setDelegate(c.withDelegate ? std::make_shared<SchemeDelegate>("bern") : nullptr);
        CHECK(ApplicationOpenURL::hasDelegate() == c.withDelegate);
        CHECK(ApplicationOpenURL::openURL(c.url, {{"timestamp", 17}}) == c.taken);
    }
    const auto requests = ApplicationOpenURL::requests();
    REQUIRE(requests.size() == 3);
    for (std::size_t i = 0; i < 3; ++i) {
        CHECK(requests[i].url == cases[i].url);
        CHECK(requests[i].taken == cases[i].taken);
        CHECK(requests[i].options.at("timestamp") == platform::Value(17));
    }
    ApplicationOpenURL::reset();
    CHECK(ApplicationOpenURL::requests().empty());
    CHECK_FALSE(ApplicationOpenURL::hasDelegate());
}
