// The campaign-link test fixture.
#include "measurement/upload/attribution/attribution_test_support.h"

#include <chrono>
#include <thread>

namespace attribution_test {

identity_test::BundleFiles deferredLinkBundle() {
    identity_test::BundleFiles files;
    files.info[kAPMDeferredDeepLinkEnabledKey] = true;
    return files;
}

LinksFixture::LinksFixture(identity_test::BundleFiles files)
    : IdentityFixture(std::move(files)), preferences_(folder() / "Preferences") {
    host->config = [this] { return config(); };
}

LinksFixture::~LinksFixture() {
    links_.reset();
    time().settle();
}

APMDeepLinks& LinksFixture::links() {
    if (!links_) {
        APMDeepLinkInputs inputs;
        inputs.host = host;
        inputs.persistedConfig = persistedConfig();
        inputs.consent = consent();
        inputs.identity = make();
        inputs.openURL = [this](const std::string& url, const platform::Value::Dictionary& options) {
            delegateRequests.emplace_back(url, options);
            return delegateTakes;
        };
        links_ = std::make_shared<APMDeepLinks>(std::move(inputs));
    }
    return *links_;
}

void LinksFixture::onWorker(const std::function<void(APMDeepLinks&)>& call) {
    auto& links = this->links();
    host->queue->async([&links, call] { call(links); });
    time().settle();
}

bool LinksFixture::completeRequest(double timeoutSeconds) {
    auto* worker = dynamic_cast<platform::dispatch::ManualQueue*>(host->queue.get());
    if (!worker) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (worker->pendingCount() == 0 && host->pending) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    time().settle();
    return true;
}

}  // namespace attribution_test
