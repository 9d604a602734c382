// The store's product details for purchases: one product request behind a completion handler, and the cache of the answers by product identifier.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "measurement/foundation/measurement_error.h"
#include "platform/dispatch/queue.h"
#include "platform/frameworks/product_catalogue/product_catalogue.h"

namespace measurement {

// Products by identifier, the identifiers the store called invalid, and an
// error (none on success).
using APMProductsHandler = std::function<void(const std::map<std::string, platform::StoreProduct>& products,
                                              const std::set<std::string>& invalidProductIdentifiers,
                                              const std::optional<APMError>& error)>;

// Code 1 of the measurement error domain: the store would not make the
// request.
inline constexpr long kAPMProductsRequestInvalidCode = 1;

// One product request. It keeps itself alive through the handler it holds
// until the answer or the failure has been delivered on the caller's queue,
// then lets go of request, handler and queue.
class APMProductsRequest : public platform::ProductsRequestDelegate,
                           public std::enable_shared_from_this<APMProductsRequest> {
public:
    // Makes and starts a request; a request the store refuses reports
    // "Invalid product identifiers." (code 1) on the queue. Nothing without
    // a queue or a handler.
    static void requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                                      std::shared_ptr<platform::dispatch::Queue> queue,
                                                      APMProductsHandler completionHandler);
    // None when the store refuses to make the request.
    static std::shared_ptr<APMProductsRequest> make(const std::set<std::string>& productIdentifiers);

    explicit APMProductsRequest(std::shared_ptr<platform::ProductsRequest> request);
    void requestWithQueue(std::shared_ptr<platform::dispatch::Queue> queue, APMProductsHandler completionHandler);

    void productsRequestDidReceiveResponse(platform::ProductsRequest& request,
                                           const platform::ProductsResponse& response) override;
    void requestDidFailWithError(platform::ProductsRequest& request, const platform::StoreError& error) override;
    void clearInstance();

private:
    // The handler and queue, when both are still held.
    bool heldHandler(APMProductsHandler* handler, std::shared_ptr<platform::dispatch::Queue>* queue);

    std::mutex mutex_;
    std::shared_ptr<platform::ProductsRequest> productsRequest_;
    APMProductsHandler completionHandler_;
    std::shared_ptr<platform::dispatch::Queue> queue_;
};

// The products the store returned and the identifiers it called invalid,
// at most 100 entries together, touched only on the cache's own serial
// queue.
class APMInAppPurchaseProductCache : public std::enable_shared_from_this<APMInAppPurchaseProductCache> {
public:
    static constexpr std::size_t kMaxEntries = 100;

    APMInAppPurchaseProductCache();

    std::optional<platform::StoreProduct> cachedProductForProductIdentifier(const std::string& productIdentifier);
    // Asks the store and, once the cache has taken the answer, calls the
    // handler on the queue with the answer as received. Nothing without a
    // queue or a handler.
    void requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                               std::shared_ptr<platform::dispatch::Queue> queue,
                                               APMProductsHandler completionHandler);
    // For inspection.
    std::set<std::string> invalidProductIdentifiers();
    std::size_t entryCount();

private:
    void takeAnswer(const std::map<std::string, platform::StoreProduct>& products, const std::set<std::string>& invalid);

    std::shared_ptr<platform::dispatch::Queue> lockQueue_;
    std::map<std::string, platform::StoreProduct> validProducts_;
    std::set<std::string> invalidProductIdentifiers_;
};

}  // namespace measurement
