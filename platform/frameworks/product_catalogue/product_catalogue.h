// The store's product catalogue: product details and the requests that ask for them, answered asynchronously.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/queue.h"

namespace platform {

// How an introductory offer is paid.
enum class ProductDiscountPaymentMode : int {
    payAsYouGo = 0,
    payUpFront = 1,
    freeTrial = 2,
};

struct ProductDiscount {
    // Decimal text ("0.49").
    std::string price;
    ProductDiscountPaymentMode paymentMode = ProductDiscountPaymentMode::payAsYouGo;
};

// A product's details as the store hands them out.
struct StoreProduct {
    std::string productIdentifier;
    // Decimal text ("0.99"); none for a product without a price.
    std::optional<std::string> price;
    // The price locale ("en_US@currency=USD") and its currency code.
    std::string priceLocaleIdentifier;
    std::optional<std::string> currencyCode;
    std::string localizedTitle;
    std::optional<ProductDiscount> introductoryPrice;
};

struct StoreError {
    long code = 0;
    std::string message;
};

struct ProductsResponse {
    std::vector<StoreProduct> products;
    std::vector<std::string> invalidProductIdentifiers;
};

class ProductsRequest;

// Held weakly by the request, as the platform does.
class ProductsRequestDelegate {
public:
    virtual ~ProductsRequestDelegate() = default;
    virtual void productsRequestDidReceiveResponse(ProductsRequest& request, const ProductsResponse& response) = 0;
    virtual void requestDidFailWithError(ProductsRequest& request, const StoreError& error) = 0;
};

// One request for the details of some products. Started, it is answered
// once, later, on the catalogue's own serial queue: the products the
// catalogue holds and the other identifiers as invalid, or a failure the
// catalogue was told to give. A request stays alive until it is answered.
class ProductsRequest : public std::enable_shared_from_this<ProductsRequest> {
public:
    // None when the store refuses to make the request: an empty set, or a
    // refusal the catalogue was told to give.
    static std::shared_ptr<ProductsRequest> make(std::set<std::string> productIdentifiers);

    explicit ProductsRequest(std::set<std::string> productIdentifiers);
    const std::set<std::string>& productIdentifiers() const { return identifiers_; }
    void setDelegate(const std::shared_ptr<ProductsRequestDelegate>& delegate);
    // A second start does nothing.
    void start();

private:
    std::set<std::string> identifiers_;
    std::mutex mutex_;
    std::weak_ptr<ProductsRequestDelegate> delegate_;
    bool started_ = false;
};

// The store's products. Tests and tools fill it; every request is recorded.
// Safe to use from any thread.
class ProductCatalogue {
public:
    static ProductCatalogue& shared();

    // Replaces (or adds) a product under its identifier.
    void setProduct(StoreProduct product);
    void removeProduct(const std::string& productIdentifier);
    // The next `count` requests are refused when made (none is made).
    void refuseNextRequests(int count);
    // The next `count` started requests fail with the error.
    void failNextRequests(int count, StoreError error);

    // The identifiers of each request started, in order.
    std::vector<std::set<std::string>> startedRequests() const;
    // Where requests are answered (made on first use, so under manual time
    // it is a manual queue that tests drain).
    std::shared_ptr<dispatch::Queue> answerQueue();
    // No products, refusals or failures, no recorded requests, a new queue.
    void reset();

private:
    friend class ProductsRequest;
    bool takeRefusal();
    // The answer to a started request: a response, or the failure.
    std::optional<StoreError> answer(const std::set<std::string>& identifiers, ProductsResponse* response);

    mutable std::mutex mutex_;
    std::vector<StoreProduct> products_;
    int refusals_ = 0;
    int failures_ = 0;
    StoreError failure_;
    std::vector<std::set<std::string>> started_;
    std::shared_ptr<dispatch::Queue> queue_;
};

}  // namespace platform
