// Tests of the product cache and of product requests.
#include <doctest/doctest.h>

#include "measurement/audience/product_cache.h"
#include "measurement/audience/purchase_test_support.h"
#include "platform/dispatch/timer.h"

using namespace measurement;
using namespace measurement::purchase_test;

namespace {

struct Answer {
    std::set<std::string> products;
    std::set<std::string> invalid;
    std::optional<long> errorCode;
    std::string errorText;
    bool onCallerQueue = false;
};

struct Fixture {
    Fixture() { platform::ProductCatalogue::shared().reset(); }
    ~Fixture() {
        time.settle();
        platform::ProductCatalogue::shared().reset();
    }
    Answer request(const std::set<std::string>& identifiers) {
        std::optional<Answer> answer;
        cache->requestProductsWithProductIdentifiers(identifiers, caller, [&](const auto& products, const auto& invalid,
                                                                               const auto& error) {
            Answer a;
            for (const auto& entry : products) a.products.insert(entry.first);
            a.invalid = invalid;
            if (error) {
                a.errorCode = error->code();
                a.errorText = error->localizedDescription();
            }
            a.onCallerQueue = caller->isCurrent();
            answer = a;
        });
        time.settle();
        REQUIRE(answer);
        return *answer;
    }

    platform::dispatch::ManualTime time;
    std::shared_ptr<platform::dispatch::Queue> caller = platform::dispatch::makeSerialQueue("caller");
    std::shared_ptr<APMInAppPurchaseProductCache> cache = std::make_shared<APMInAppPurchaseProductCache>();
};

}  // namespace

TEST_CASE("the product cache keeps answers, drops what becomes invalid and starts over past 100 entries") {
    Fixture f;
    auto& catalogue = platform::ProductCatalogue::shared();
    catalogue.setProduct(product("coins", "0.99", "Coins"));
    catalogue.setProduct(product("pro", "4.99", "Pro"));

    auto answer = f.request({"coins", "pro", "gone"});
    CHECK(answer.products == std::set<std::string>{"coins", "pro"});
    CHECK(answer.invalid == std::set<std::string>{"gone"});
    CHECK(answer.onCallerQueue);
    CHECK(f.cache->cachedProductForProductIdentifier("coins")->price == std::optional<std::string>("0.99"));
    CHECK(f.cache->invalidProductIdentifiers() == std::set<std::string>{"gone"});

    SUBCASE("an identifier the store now calls invalid leaves the products") {
        catalogue.removeProduct("coins");
        f.request({"coins"});
        CHECK_FALSE(f.cache->cachedProductForProductIdentifier("coins"));
        CHECK(f.cache->invalidProductIdentifiers().contains("coins"));
        CHECK(f.cache->cachedProductForProductIdentifier("pro"));
    }
    SUBCASE("a product returned after being invalid leaves the invalid set") {
        catalogue.setProduct(product("gone", "1", "Back"));
        f.request({"gone"});
        CHECK(f.cache->cachedProductForProductIdentifier("gone"));
        CHECK(f.cache->invalidProductIdentifiers().empty());
    }
    SUBCASE("with 60 products and 40 invalid cached, one more product leaves only that answer") {
        std::set<std::string> valid;
        std::set<std::string> invalid;
        for (int i = 0; i < 58; ++i) {
            catalogue.setProduct(product("p" + std::to_string(i), "1", "P"));
            valid.insert("p" + std::to_string(i));
        }
        for (int i = 0; i < 39; ++i) invalid.insert("x" + std::to_string(i));
        f.request(valid);
        f.request(invalid);
        REQUIRE(f.cache->entryCount() == 100);
        catalogue.setProduct(product("extra", "1", "E"));
        f.request({"extra"});
        CHECK(f.cache->entryCount() == 1);
        CHECK(f.cache->cachedProductForProductIdentifier("extra"));
        CHECK_FALSE(f.cache->cachedProductForProductIdentifier("coins"));
    }
}

TEST_CASE("product requests: refused, failed, and products without identifier") {
    Fixture f;
    auto& catalogue = platform::ProductCatalogue::shared();
    SUBCASE("a request the store refuses reports code 1 on the caller's queue") {
        catalogue.refuseNextRequests(1);
        const auto answer = f.request({"coins"});
        CHECK(answer.errorCode == 1);
        CHECK(answer.errorText == "Invalid product identifiers.");
        CHECK(answer.onCallerQueue);
    }
    SUBCASE("a failing request reports the store's error and caches nothing") {
        catalogue.setProduct(product("coins", "0.99", "Coins"));
        catalogue.failNextRequests(1, {9, "offline"});
        const auto answer = f.request({"coins"});
        CHECK(answer.errorCode == 9);
        CHECK(answer.products.empty());
        CHECK(f.cache->entryCount() == 0);
    }
    SUBCASE("a product with an empty identifier is not passed on") {
        catalogue.setProduct(product("x", "1", "X"));
        std::optional<std::size_t> count;
        auto request = APMProductsRequest::make({"x"});
        REQUIRE(request);
        request->requestWithQueue(f.caller, [&](const auto& products, const auto&, const auto&) { count = products.size(); });
        platform::ProductsResponse response;
        response.products = {product("", "1", "Nameless"), product("x", "1", "X")};
        platform::ProductsRequest unused({"x"});
        request->productsRequestDidReceiveResponse(unused, response);
        f.time.settle();
        CHECK(count == 1u);
    }
}
