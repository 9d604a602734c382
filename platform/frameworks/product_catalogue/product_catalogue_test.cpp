// Tests of the product catalogue stand-in.
#include <doctest/doctest.h>

#include "platform/dispatch/timer.h"
#include "platform/frameworks/product_catalogue/product_catalogue.h"

using namespace platform;

namespace {

struct Delegate : ProductsRequestDelegate {
    std::vector<ProductsResponse> responses;
    std::vector<StoreError> failures;
    void productsRequestDidReceiveResponse(ProductsRequest&, const ProductsResponse& response) override {
        responses.push_back(response);
    }
    void requestDidFailWithError(ProductsRequest&, const StoreError& error) override { failures.push_back(error); }
};

}  // namespace

TEST_CASE("product requests are answered later on the catalogue's queue: known products, invalid identifiers, failures") {
    dispatch::ManualTime time;
    auto& catalogue = ProductCatalogue::shared();
    catalogue.reset();
    catalogue.setProduct({"pro", "0.99", "en_US@currency=USD", "USD", "Pro", std::nullopt});
    auto delegate = std::make_shared<Delegate>();

    CHECK_FALSE(ProductsRequest::make({}));
    catalogue.refuseNextRequests(1);
    CHECK_FALSE(ProductsRequest::make({"pro"}));

    {
        auto request = ProductsRequest::make({"pro", "gone"});
        REQUIRE(request);
        request->setDelegate(delegate);
        request->start();
    }
    CHECK(delegate->responses.empty());
    time.settle();
    REQUIRE(delegate->responses.size() == 1);
    REQUIRE(delegate->responses[0].products.size() == 1);
    CHECK(delegate->responses[0].products[0].price == std::optional<std::string>("0.99"));
    CHECK(delegate->responses[0].invalidProductIdentifiers == std::vector<std::string>{"gone"});

    catalogue.failNextRequests(1, {5, "store unavailable"});
    auto failing = ProductsRequest::make({"pro"});
    failing->setDelegate(delegate);
    failing->start();
    time.settle();
    REQUIRE(delegate->failures.size() == 1);
    CHECK(delegate->failures[0].code == 5);
    CHECK(catalogue.startedRequests().size() == 2);
    catalogue.reset();
}
