// The product catalogue and its asynchronously answered requests.
#include "platform/frameworks/product_catalogue/product_catalogue.h"

#include <algorithm>

namespace platform {

std::shared_ptr<ProductsRequest> ProductsRequest::make(std::set<std::string> productIdentifiers) {
    if (productIdentifiers.empty() || ProductCatalogue::shared().takeRefusal()) return nullptr;
    return std::make_shared<ProductsRequest>(std::move(productIdentifiers));
}

ProductsRequest::ProductsRequest(std::set<std::string> productIdentifiers) : identifiers_(std::move(productIdentifiers)) {}

void ProductsRequest::setDelegate(const std::shared_ptr<ProductsRequestDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

// The queued block holds the request, so that it lives until answered;
// the delegate is asked for when the answer is given.
void ProductsRequest::start() {
    {
        std::lock_guard lock(mutex_);
        if (started_) return;
        started_ = true;
    }
    auto& catalogue = ProductCatalogue::shared();
    auto self = shared_from_this();
    catalogue.answerQueue()->async([self] {
        ProductsResponse response;
        const auto failure = ProductCatalogue::shared().answer(self->identifiers_, &response);
        std::shared_ptr<ProductsRequestDelegate> delegate;
        {
            std::lock_guard lock(self->mutex_);
            delegate = self->delegate_.lock();
        }
        if (!delegate) return;
        if (failure) {
            delegate->requestDidFailWithError(*self, *failure);
        } else {
            delegate->productsRequestDidReceiveResponse(*self, response);
        }
    });
}

ProductCatalogue& ProductCatalogue::shared() {
    static ProductCatalogue catalogue;
    return catalogue;
}

void ProductCatalogue::setProduct(StoreProduct product) {
    std::lock_guard lock(mutex_);
    std::erase_if(products_, [&](const StoreProduct& held) { return held.productIdentifier == product.productIdentifier; });
    products_.push_back(std::move(product));
}

void ProductCatalogue::removeProduct(const std::string& productIdentifier) {
    std::lock_guard lock(mutex_);
    std::erase_if(products_, [&](const StoreProduct& held) { return held.productIdentifier == productIdentifier; });
}

void ProductCatalogue::refuseNextRequests(int count) {
    std::lock_guard lock(mutex_);
    refusals_ = std::max(count, 0);
}

void ProductCatalogue::failNextRequests(int count, StoreError error) {
    std::lock_guard lock(mutex_);
    failures_ = std::max(count, 0);
    failure_ = std::move(error);
}

std::vector<std::set<std::string>> ProductCatalogue::startedRequests() const {
    std::lock_guard lock(mutex_);
    return started_;
}

std::shared_ptr<dispatch::Queue> ProductCatalogue::answerQueue() {
    std::lock_guard lock(mutex_);
    if (!queue_) queue_ = dispatch::makeSerialQueue("platform.store.products");
    return queue_;
}

void ProductCatalogue::reset() {
    std::lock_guard lock(mutex_);
    products_.clear();
    refusals_ = 0;
    failures_ = 0;
    failure_ = {};
    started_.clear();
    queue_.reset();
}

bool ProductCatalogue::takeRefusal() {
    std::lock_guard lock(mutex_);
    if (refusals_ == 0) return false;
    --refusals_;
    return true;
}

std::optional<StoreError> ProductCatalogue::answer(const std::set<std::string>& identifiers,
                                                   ProductsResponse* response) {
    std::lock_guard lock(mutex_);
    started_.push_back(identifiers);
    if (failures_ > 0) {
        --failures_;
        return failure_;
    }
    for (const auto& identifier : identifiers) {
        auto found = std::find_if(products_.begin(), products_.end(),
                                  [&](const StoreProduct& product) { return product.productIdentifier == identifier; });
        if (found != products_.end()) {
            response->products.push_back(*found);
        } else {
            response->invalidProductIdentifiers.push_back(identifier);
        }
    }
    return std::nullopt;
}

}  // namespace platform
