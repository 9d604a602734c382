#include "measurement/upload/upload_seams.h"

#include <mutex>

namespace measurement {

namespace {

// One slot per seam: the plugged-in implementation or the default.
template <class Seam>
class SeamSlot {
public:
    std::shared_ptr<Seam> get() {
        std::lock_guard lock(mutex_);
        return seam_ ? seam_ : fallback_;
    }
    void set(std::shared_ptr<Seam> seam) {
        std::lock_guard lock(mutex_);
        seam_ = std::move(seam);
    }

private:
    std::mutex mutex_;
    std::shared_ptr<Seam> seam_;
    const std::shared_ptr<Seam> fallback_ = std::make_shared<Seam>();
};

SeamSlot<APMUploadConsentSeam>& consentSlot() {
    static SeamSlot<APMUploadConsentSeam> slot;
    return slot;
}
SeamSlot<APMUploadIdentitySeam>& identitySlot() {
    static SeamSlot<APMUploadIdentitySeam> slot;
    return slot;
}
SeamSlot<APMBundlingEngineSeam>& engineSlot() {
    static SeamSlot<APMBundlingEngineSeam> slot;
    return slot;
}

}  // namespace

bool APMBundlingEngineSeam::setUserPropertyInDatabaseOnWorkerQueue(APMDatabase& database,
                                                                   const APMUserAttribute& attribute) {
    return database.updateUserAttribute(attribute, nullptr);
}

std::shared_ptr<APMUploadConsentSeam> APMUploadSeams::consent() { return consentSlot().get(); }
std::shared_ptr<APMUploadIdentitySeam> APMUploadSeams::identity() { return identitySlot().get(); }
std::shared_ptr<APMBundlingEngineSeam> APMUploadSeams::engine() { return engineSlot().get(); }

void APMUploadSeams::setConsent(std::shared_ptr<APMUploadConsentSeam> seam) { consentSlot().set(std::move(seam)); }
void APMUploadSeams::setIdentity(std::shared_ptr<APMUploadIdentitySeam> seam) { identitySlot().set(std::move(seam)); }
void APMUploadSeams::setEngine(std::shared_ptr<APMBundlingEngineSeam> seam) { engineSlot().set(std::move(seam)); }

void APMUploadSeams::resetAll() {
    setConsent(nullptr);
    setIdentity(nullptr);
    setEngine(nullptr);
}

}  // namespace measurement
