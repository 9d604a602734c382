// Product requests behind a completion handler, and the cache of their answers.
#include "measurement/audience/product_cache.h"

namespace measurement {

// ---- One request ---------------------------------------------------------------------

void APMProductsRequest::requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                                               std::shared_ptr<platform::dispatch::Queue> queue,
                                                               APMProductsHandler completionHandler) {
    if (!queue || !completionHandler) return;
    auto request = make(productIdentifiers);
    if (!request) {
        const auto error = apm_errorWithCode(kAPMProductsRequestInvalidCode, "Invalid product identifiers.");
        queue->async([completionHandler, error] { completionHandler({}, {}, error); });
        return;
    }
    // The handler holds the request until the answer is delivered.
    request->requestWithQueue(queue, [request, completionHandler](const auto& products, const auto& invalid,
                                                                  const auto& error) {
        completionHandler(products, invalid, error);
    });
}

std::shared_ptr<APMProductsRequest> APMProductsRequest::make(const std::set<std::string>& productIdentifiers) {
    auto request = platform::ProductsRequest::make(productIdentifiers);
    if (!request) return nullptr;
    return std::make_shared<APMProductsRequest>(std::move(request));
}

APMProductsRequest::APMProductsRequest(std::shared_ptr<platform::ProductsRequest> request)
    : productsRequest_(std::move(request)) {}

void APMProductsRequest::requestWithQueue(std::shared_ptr<platform::dispatch::Queue> queue,
                                          APMProductsHandler completionHandler) {
    if (!queue || !completionHandler) return;
    std::shared_ptr<platform::ProductsRequest> request;
    {
        std::lock_guard lock(mutex_);
        queue_ = std::move(queue);
        completionHandler_ = std::move(completionHandler);
        request = productsRequest_;
    }
    if (!request) return;
    request->setDelegate(shared_from_this());
    request->start();
}

bool APMProductsRequest::heldHandler(APMProductsHandler* handler, std::shared_ptr<platform::dispatch::Queue>* queue) {
    std::lock_guard lock(mutex_);
    if (!completionHandler_ || !queue_) return false;
    *handler = completionHandler_;
    *queue = queue_;
    return true;
}

void APMProductsRequest::productsRequestDidReceiveResponse(platform::ProductsRequest&,
                                                           const platform::ProductsResponse& response) {
    APMProductsHandler handler;
    std::shared_ptr<platform::dispatch::Queue> queue;
    if (!heldHandler(&handler, &queue)) return;
    std::map<std::string, platform::StoreProduct> products;
    for (const auto& product : response.products) {
        if (!product.productIdentifier.empty()) products.insert_or_assign(product.productIdentifier, product);
    }
    const std::set<std::string> invalid(response.invalidProductIdentifiers.begin(),
                                        response.invalidProductIdentifiers.end());
    std::weak_ptr<APMProductsRequest> weak = weak_from_this();
    queue->async([weak, handler, products, invalid] {
        handler(products, invalid, std::nullopt);
        if (auto self = weak.lock()) self->clearInstance();
    });
}

void APMProductsRequest::requestDidFailWithError(platform::ProductsRequest&, const platform::StoreError& error) {
    APMProductsHandler handler;
    std::shared_ptr<platform::dispatch::Queue> queue;
    if (!heldHandler(&handler, &queue)) return;
    const auto failure = apm_errorWithCode(error.code, error.message);
    std::weak_ptr<APMProductsRequest> weak = weak_from_this();
    queue->async([weak, handler, failure] {
        handler({}, {}, failure);
        if (auto self = weak.lock()) self->clearInstance();
    });
}

void APMProductsRequest::clearInstance() {
    std::shared_ptr<platform::ProductsRequest> request;
    APMProductsHandler handler;
    std::shared_ptr<platform::dispatch::Queue> queue;
    {
        std::lock_guard lock(mutex_);
        request.swap(productsRequest_);
        handler.swap(completionHandler_);
        queue.swap(queue_);
    }
    // Released here, outside the lock: the handler may hold the last
    // reference to this request.
}

// ---- The cache ------------------------------------------------------------------------

APMInAppPurchaseProductCache::APMInAppPurchaseProductCache()
    : lockQueue_(platform::dispatch::makeSerialQueue("com.rozeda.measurement.productcache")) {}

std::optional<platform::StoreProduct> APMInAppPurchaseProductCache::cachedProductForProductIdentifier(
    const std::string& productIdentifier) {
    std::optional<platform::StoreProduct> product;
    lockQueue_->sync([&] {
        if (auto found = validProducts_.find(productIdentifier); found != validProducts_.end()) product = found->second;
    });
    return product;
}

std::set<std::string> APMInAppPurchaseProductCache::invalidProductIdentifiers() {
    std::set<std::string> invalid;
    lockQueue_->sync([&] { invalid = invalidProductIdentifiers_; });
    return invalid;
}

std::size_t APMInAppPurchaseProductCache::entryCount() {
    std::size_t count = 0;
    lockQueue_->sync([&] { count = validProducts_.size() + invalidProductIdentifiers_.size(); });
    return count;
}

void APMInAppPurchaseProductCache::requestProductsWithProductIdentifiers(
    const std::set<std::string>& productIdentifiers, std::shared_ptr<platform::dispatch::Queue> queue,
    APMProductsHandler completionHandler) {
    if (!queue || !completionHandler) return;
    std::weak_ptr<APMInAppPurchaseProductCache> weak = weak_from_this();
    APMProductsRequest::requestProductsWithProductIdentifiers(
        productIdentifiers, lockQueue_,
        [weak, queue, completionHandler](const auto& products, const auto& invalid, const auto& error) {
            auto cache = weak.lock();
            if (!cache) return;
            cache->takeAnswer(products, invalid);
            queue->async([completionHandler, products, invalid, error] { completionHandler(products, invalid, error); });
        });
}

// Runs on the cache's queue.
void APMInAppPurchaseProductCache::takeAnswer(const std::map<std::string, platform::StoreProduct>& products,
                                              const std::set<std::string>& invalid) {
    for (const auto& [identifier, product] : products) validProducts_.insert_or_assign(identifier, product);
    for (const auto& identifier : invalid) validProducts_.erase(identifier);
    invalidProductIdentifiers_.insert(invalid.begin(), invalid.end());
    for (const auto& entry : products) invalidProductIdentifiers_.erase(entry.first);
    if (validProducts_.size() + invalidProductIdentifiers_.size() > kMaxEntries) {
        validProducts_ = products;
        invalidProductIdentifiers_ = invalid;
    }
}

}  // namespace measurement
