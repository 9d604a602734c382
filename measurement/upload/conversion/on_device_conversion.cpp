// Starting on-device conversion measurement: the user data in its order,
// the checks and the making of the client.
#include "measurement/upload/conversion/on_device_conversion.h"

#include <cmath>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/upload/conversion/conversion_codes.h"
#include "platform/dispatch/clock.h"

namespace measurement {

namespace {

constexpr const char* kInitWithEmailAddress = "initWithEmailAddress:appID:";
constexpr const char* kInitWithEmailAddressPrefix = "initWithEmailAddress:appID:prefixBitLength:";
constexpr const char* kInitWithPhoneNumber = "initWithPhoneNumber:appID:";
constexpr const char* kInitWithPhoneNumberPrefix = "initWithPhoneNumber:appID:prefixBitLength:";
constexpr const char* kInitWithHashedEmailAddress = "initWithHashedEmailAddress:appID:prefixBitLength:";
constexpr const char* kInitWithHashedPhoneNumber = "initWithHashedPhoneNumber:appID:prefixBitLength:";
constexpr double kSecondsPerDay = 86400;

void logError(long code, const std::string& message) {
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, code, message);
}

// The text of a string input; anything else counts as empty.
std::string textInput(const platform::Value& value) { return value.isString() ? value.asString() : std::string(); }

std::vector<std::uint8_t> bytesInput(const platform::Value& value) {
    return value.isData() ? value.asData().bytes : std::vector<std::uint8_t>();
}

}  // namespace

APMOnDeviceConversion::APMOnDeviceConversion(APMConversionInputs inputs) : inputs_(std::move(inputs)) {}

APMOnDeviceConversion::~APMOnDeviceConversion() {
    if (retryAlarm_) retryAlarm_->cancel();
}

void APMOnDeviceConversion::setUserData(const platform::Value::Dictionary& userData) {
    std::weak_ptr<APMOnDeviceConversion> weak = weak_from_this();
    inputs_.host->scheduleOnWorkerQueue("APMMeasurement:3190", [weak, userData] {
        if (auto self = weak.lock()) self->setUserDataOnWorkerQueue(userData);
    });
}

// The e-mail address first; each later input only while no client is held,
// since a held client is still an earlier request's, waiting for its retry.
// Only a client made in this call starts a request: a call whose every check
// failed leaves the earlier request and its retry count as they are.
void APMOnDeviceConversion::setUserDataOnWorkerQueue(const platform::Value::Dictionary& userData) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("setUserDataOnWorkerQueue:");
    bool made = false;
    auto take = [&](std::shared_ptr<APMPSMClient> client) {
        if (!client) return;
        client_ = std::move(client);
        made = true;
    };
    const auto input = [&](const char* key) -> const platform::Value* {
        const auto found = userData.find(key);
        return found == userData.end() ? nullptr : &found->second;
    };
    if (const auto* email = input(kAPMUserDataEmailAddressKey)) {
        const auto text = textInput(*email);
        if (shouldRetrievePSMResponseWithEmailAddress(text)) take(PSMClientWithEmailAddress(text));
    }
    if (const auto* phone = input(kAPMUserDataPhoneNumberKey); phone && !client_) {
        const auto text = textInput(*phone);
        if (shouldRetrievePSMResponseWithPhoneNumber(text)) take(PSMClientWithPhoneNumber(text));
    }
    if (const auto* hashed = input(kAPMUserDataHashedEmailAddressKey); hashed && !client_) {
        const auto bytes = bytesInput(*hashed);
        if (shouldRetrievePSMResponseWithHashedIdentifier(bytes)) take(PSMClientWithHashedEmailAddress(bytes));
    }
    if (const auto* hashed = input(kAPMUserDataHashedPhoneNumberKey); hashed && !client_) {
        const auto bytes = bytesInput(*hashed);
        if (shouldRetrievePSMResponseWithHashedIdentifier(bytes)) take(PSMClientWithHashedPhoneNumber(bytes));
    }
    if (!made) return;
    ++startCount_;
    retryCount_ = 0;
    retrievePSMResponse();
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelDebug, kAPMPSMInitiatedCode,
                                      "Initiated on-device conversion measurement");
}

std::optional<APMPSMClientClass> APMOnDeviceConversion::PSMClientClass() { return APMPSMClientClass::lookUp(); }

// ---- the checks ----------------------------------------------------------------

bool APMOnDeviceConversion::shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress) {
    if (emailAddress.empty()) {
        logError(kAPMPSMEmptyEmailCode,
                 "Failed to initiate on-device conversion measurement. Email address was empty.");
        return false;
    }
    return shouldRetrievePSMResponse();
}

bool APMOnDeviceConversion::shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber) {
    if (phoneNumber.empty()) {
        logError(kAPMPSMEmptyPhoneCode,
                 "Failed to initiate on-device conversion measurement. Phone number was empty.");
        return false;
    }
    const auto type = PSMClientClass();
    if (!type || !type->respondsToSelector(kInitWithPhoneNumber)) {
        logError(kAPMPSMPhoneUnsupportedCode,
                 "Failed to initiate on-device conversion measurement. Linked "
                 "RozedaDozUrerizaroriOnDeviceConversion dependency does not support phone numbers.");
        return false;
    }
    return shouldRetrievePSMResponse();
}

bool APMOnDeviceConversion::shouldRetrievePSMResponseWithHashedIdentifier(
    const std::vector<std::uint8_t>& hashedIdentifier) {
    if (hashedIdentifier.empty()) {
        logError(kAPMPSMEmptyHashedIdentifierCode,
                 "Failed to initiate on-device conversion measurement. Hashed identifier was empty.");
        return false;
    }
    const auto type = PSMClientClass();
    if (!type || (!type->respondsToSelector(kInitWithHashedEmailAddress) &&
                  !type->respondsToSelector(kInitWithHashedPhoneNumber))) {
        logError(kAPMPSMHashedUnsupportedCode,
                 "Failed to initiate on-device conversion measurement. Linked "
                 "RozedaDozUrerizaroriOnDeviceConversion dependency does not support hashed identifiers.");
        return false;
    }
    return shouldRetrievePSMResponse();
}

// The first failing step decides.
bool APMOnDeviceConversion::shouldRetrievePSMResponse() {
    if (!PSMClientClass()) {
        logError(kAPMPSMNotLinkedCode, "Failed to initiate on-device conversion measurement. "
                                       "RozedaDozUrerizaroriOnDeviceConversion dependency not linked in.");
        return false;
    }
    const auto config = this->config();
    if (!config->PSMFeatureEnabled()) return false;
    const double now = platform::dispatch::currentClock()->now();
    const auto firstOpenMillis = inputs_.persistedConfig->firstOpenTimestampMilliseconds();
    const double firstOpen = firstOpenMillis != 0 ? static_cast<double>(firstOpenMillis) / 1000
                                                  : inputs_.host->initTimestamp();
    if (std::fabs(now - firstOpen) > static_cast<double>(config->maxSignInDelayInDays()) * kSecondsPerDay) {
        logError(kAPMPSMOutsideFirstOpenWindowCode, "Failed to initiate on-device conversion measurement. "
                                                    "Attempted to initiate outside the first open window.");
        return false;
    }
    if (inProgress_) {
        logError(kAPMPSMInProgressCode,
                 "Failed to initiate on-device conversion measurement. Request to query data set for on-device "
                 "conversion measurement already in progress.");
        return false;
    }
    if (startCount_ >= config->maxPSMStartCount()) {
        logError(kAPMPSMStartLimitCode, "Failed to initiate on-device conversion measurement. Exceeded limit per app run.");
        return false;
    }
    if (storedProperty(kAPMPSMValueProperty)) {
        logError(kAPMPSMExistingMatchCode, "Failed to initiate on-device conversion measurement. Found existing match.");
        return false;
    }
    if (retryCount_ >= config->maxPSMRetryCount()) {
        logError(kAPMPSMRetryLimitCode, "Failed to initiate on-device conversion measurement. Exceeded retry limit.");
        return false;
    }
    return true;
}

// ---- making the client -------------------------------------------------------------

std::shared_ptr<APMPSMClient> APMOnDeviceConversion::makeClient(const char* selector, const char* prefixSelector,
                                                                platform::Value input,
                                                                std::optional<std::int64_t> prefixBitLength) {
    const auto type = PSMClientClass();
    if (!type) return nullptr;
    const platform::Value appID(inputs_.identity->appID());
    if (prefixSelector && prefixBitLength && type->respondsToSelector(prefixSelector)) {
        return type->make(prefixSelector, {std::move(input), appID, platform::Value(*prefixBitLength)});
    }
    if (!selector) return nullptr;
    return type->make(selector, {std::move(input), appID});
}

std::shared_ptr<APMPSMClient> APMOnDeviceConversion::PSMClientWithEmailAddress(const std::string& emailAddress) {
    return makeClient(kInitWithEmailAddress, kInitWithEmailAddressPrefix, platform::Value(emailAddress),
                      config()->hashPrefixBitLengthEmail());
}

std::shared_ptr<APMPSMClient> APMOnDeviceConversion::PSMClientWithPhoneNumber(const std::string& phoneNumber) {
    return makeClient(kInitWithPhoneNumber, kInitWithPhoneNumberPrefix, platform::Value(phoneNumber),
                      config()->hashPrefixBitLengthPhone());
}

std::shared_ptr<APMPSMClient> APMOnDeviceConversion::PSMClientWithHashedEmailAddress(
    const std::vector<std::uint8_t>& hashed) {
    return makeClient(nullptr, kInitWithHashedEmailAddress, platform::Value(platform::Data{hashed}),
                      config()->hashPrefixBitLengthEmail());
}

std::shared_ptr<APMPSMClient> APMOnDeviceConversion::PSMClientWithHashedPhoneNumber(
    const std::vector<std::uint8_t>& hashed) {
    return makeClient(nullptr, kInitWithHashedPhoneNumber, platform::Value(platform::Data{hashed}),
                      config()->hashPrefixBitLengthPhone());
}

std::optional<APMUserAttribute> APMOnDeviceConversion::storedProperty(const std::string& name) const {
    if (!inputs_.database) return std::nullopt;
    return inputs_.database->userAttributeWithName(name, nullptr);
}

}  // namespace measurement
