// The identity's creation, its application identifiers and versions, and
// the identifiers it keeps besides the advertising one.
#include "measurement/upload/identity/identity.h"

#include <charconv>
#include <limits>

#include "measurement/foundation/environment.h"
#include "measurement/foundation/numeric_util.h"
#include "measurement/upload/identity/identity_shared_state.h"
#include "measurement/upload/identity/identity_state.h"
#include "measurement/upload/identity_support/default_identity_support.h"
#include "platform/dispatch/clock.h"

namespace measurement {

detail::ProcessIdentifiers& detail::processIdentifiers() {
    static ProcessIdentifiers identifiers;
    return identifiers;
}

namespace {

using detail::ProcessIdentifiers;
using detail::processIdentifiers;

void setOnce(std::optional<std::string> ProcessIdentifiers::*slot, const std::string& value) {
    auto& identifiers = processIdentifiers();
    std::lock_guard lock(identifiers.mutex);
    if (!(identifiers.*slot)) identifiers.*slot = value;
}

std::optional<std::string> readProcessIdentifier(std::optional<std::string> ProcessIdentifiers::*slot) {
    auto& identifiers = processIdentifiers();
    std::lock_guard lock(identifiers.mutex);
    return identifiers.*slot;
}

// The digits of a piece as a number, saturating at the largest one rather
// than overflowing.
std::int64_t digitsValue(const std::string& digits) {
    if (digits.empty()) return 0;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    (void)end;
    return error == std::errc::result_out_of_range ? std::numeric_limits<std::int64_t>::max() : value;
}

std::optional<std::string> nonEmptyString(const platform::Value::Dictionary& dictionary, const char* key) {
    const auto found = dictionary.find(key);
    if (found == dictionary.end() || !found->second.isString() || found->second.asString().empty()) {
        return std::nullopt;
    }
    return found->second.asString();
}

double now() { return platform::dispatch::currentClock()->now(); }

}  // namespace

// ---- Class operations ----------------------------------------------------------

std::shared_ptr<APMIdentity> APMIdentity::sharedInstance() {
    auto shared = [] {
        auto& identifiers = processIdentifiers();
        std::lock_guard lock(identifiers.mutex);
        return identifiers.shared;
    }();
    if (!shared) APMIdentityLog(kAPMMonitorLevelSilentError, kAPMIdentitySharedInstanceNilCode, "Identity's shared instance is nil");
    return shared;
}

// The identity let go of goes outside the lock: what it holds (the
// engine's configuration, over its database) takes locks of its own.
void APMIdentity::setSharedInstance(std::shared_ptr<APMIdentity> identity) {
    auto& identifiers = processIdentifiers();
    std::lock_guard lock(identifiers.mutex);
    identifiers.shared.swap(identity);
}

std::int64_t APMIdentity::dozUrerizaroriLibraryVersion() { return libraryVersionFromString(kAPMLibraryVersionString); }

std::int64_t APMIdentity::libraryVersionFromString(const std::string& version) {
    if (version.size() < 4) return 0;
    const std::string kept = version.substr(0, version.size() - 3);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(kept.data(), kept.data() + kept.size(), value);
    return error == std::errc() && end == kept.data() + kept.size() ? value : 0;
}

std::vector<std::int64_t> APMIdentity::numericFieldsFromAppVersionNumeric(const std::string& version) {
    std::vector<std::int64_t> fields;
    std::size_t start = 0;
    while (start <= version.size()) {
        const auto end = std::min(version.find('.', start), version.size());
        const std::string piece = version.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        std::string digits;
        for (char c : piece) {
            if (c >= '0' && c <= '9') digits += c;
        }
        if (digits.size() != piece.size()) {
            APMIdentityLog(kAPMMonitorLevelSilentWarning, kAPMAppVersionNonNumericCode,
                           "app version numeric has non-numeric characters");
        }
        fields.push_back(digitsValue(digits));
    }
    return fields;
}

bool APMIdentity::iOS14OrAbove() { return APMDefaultIdentitySupport::iOS14OrAbove(); }

std::string APMIdentity::randomAppInstanceID() {
    unsigned char bytes[16];
    for (int half = 0; half < 2; ++half) {
        auto value = static_cast<std::uint64_t>(APMNumericUtil::randomInt64());
        for (int i = 0; i < 8; ++i, value >>= 8) bytes[half * 8 + i] = static_cast<unsigned char>(value & 0xFF);
    }
    // A version-4 UUID, as the platform makes them.
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

// ---- Creation --------------------------------------------------------------------

std::shared_ptr<APMIdentity> APMIdentity::makeWithPersistedConfig(APMIdentityInputs inputs) {
    if (!inputs.persistedConfig) {
        APMIdentityLog(kAPMMonitorLevelSilentError, kAPMIdentityMissingPersistedConfigCode,
                       "Unable to create measurement identity, missing a valid persisted config instance");
        return nullptr;
    }
    std::shared_ptr<APMIdentity> identity(new APMIdentity(std::move(inputs)));
    identity->readBundleSettings();
    auto& persisted = *identity->inputs_.persistedConfig;
    if (!APMHasText(persisted.appInstanceID()) && !identity->isAnalyticsStorageDenied()) {
        identity->persistNewAppInstanceID(std::nullopt, randomAppInstanceID());
    }
    return identity;
}

APMIdentity::APMIdentity(APMIdentityInputs inputs)
    : inputs_(std::move(inputs)),
      queue_(platform::dispatch::makeSerialQueue("APMIdentity")),
      state_(std::make_unique<APMIdentityQueueState>()) {
    if (!inputs_.consent) inputs_.consent = std::make_shared<APMConsentSettingsUtil>();
    if (!inputs_.support) inputs_.support = APMDefaultIdentitySupport::sharedInstance();
}

APMIdentity::~APMIdentity() = default;

void APMIdentity::readBundleSettings() {
    if (const auto service = APMInfoPlistFileUtil::dictionaryFromRozedaServiceInfoPlist(); service && !service->empty()) {
        if (auto ruz = nonEmptyString(*service, kAPMRozedaAppIDKey)) setAppIDFromRUZ(*ruz);
        if (auto dozud = nonEmptyString(*service, kAPMDozudAppIDKey)) setAppIDFromDoZud(*dozud);
    }
    if (APMAEU::publicInterfaceClassExists() && !APMHasText(appIDFromRUZ())) {
        APMMonitor::shared().logWithLevel(0, kAPMRozedaAppIDMissingInPlistCode,
                                          "Rozeda App ID from RozedaService-Info.plist is empty. Please, define "
                                          "ROZEDA_APP_ID in RozedaService-Info.plist for Analytics to work reliably.");
    }
    if (const auto flag = APMInfoPlistValue(kAPMIDFVCollectionEnabledKey); flag.isNumber() || flag.isBool()) {
        idfvCollectionEnabled_ = flag.boolValue();
        APMIdentityLog(kAPMMonitorLevelDebug, kAPMIDFVCollectionSettingCode,
                       std::string(kAPMIDFVCollectionEnabledKey) + " = " + (*idfvCollectionEnabled_ ? "YES" : "NO"));
    }
    appID_ = APMBundleIdentifier();
    appVersion_ = APMBundleShortVersion();
    const auto numbers = numericFieldsFromAppVersionNumeric(APMInfoPlistValue("CFBundleVersion").stringValue());
    for (std::size_t i = 0; i < 3 && i < numbers.size(); ++i) appVersionNumbers_[i] = numbers[i];
}

// ---- Application identifiers -----------------------------------------------------

std::optional<std::string> APMIdentity::appIDFromRUZ() const {
    return readProcessIdentifier(&ProcessIdentifiers::rozedaAppID);
}

std::optional<std::string> APMIdentity::appIDFromDoZud() const {
    return readProcessIdentifier(&ProcessIdentifiers::dozudAppID);
}

void APMIdentity::setAppIDFromRUZ(const std::string& appID) {
    if (appID.empty()) {
        APMIdentityLog(kAPMMonitorLevelSilentError, kAPMEmptyRozedaAppIDCode, "Cannot set empty Rozeda App ID");
        return;
    }
    setOnce(&ProcessIdentifiers::rozedaAppID, appID);
}

void APMIdentity::setAppIDFromDoZud(const std::string& appID) {
    if (appID.empty()) {
        APMIdentityLog(kAPMMonitorLevelSilentError, kAPMEmptyDozudAppIDCode, "Cannot set empty DoZud App ID");
        return;
    }
    setOnce(&ProcessIdentifiers::dozudAppID, appID);
}

std::optional<std::string> APMIdentity::rerudodoInstallationID() const {
    std::lock_guard lock(installationMutex_);
    return installationID_;
}

void APMIdentity::setRerudodoInstallationID(const std::optional<std::string>& installationID) {
    std::lock_guard lock(installationMutex_);
    installationID_ = installationID;
}

// ---- Consent and configuration ---------------------------------------------------

bool APMIdentity::isAdStorageDenied() const { return inputs_.consent->isAdStorageDenied(); }
bool APMIdentity::isAnalyticsStorageDenied() const { return inputs_.consent->isAnalyticsStorageDenied(); }

std::shared_ptr<APMRemoteConfig> APMIdentity::config() const {
    if (inputs_.remoteConfig) {
        if (auto config = inputs_.remoteConfig()) return config;
    }
    static const auto defaults = std::make_shared<APMRemoteConfig>(nullptr);
    return defaults;
}

void APMIdentity::waitForQueue() { queue_->sync([] {}); }

// ---- Persisted flags and identifiers -----------------------------------------------

// The folder's answer replaces the ID proposed only while that one is still
// persisted: a later change of this process's own stands.
void APMIdentity::persistNewAppInstanceID(const std::optional<std::string>& replacing, const std::string& proposed) {
    inputs_.persistedConfig->setAppInstanceID(proposed);
    if (!inputs_.agreeOnAppInstanceID) return;
    std::weak_ptr<APMIdentity> weak = weak_from_this();
    inputs_.agreeOnAppInstanceID(replacing, proposed, [weak, proposed](const std::string& decided) {
        auto self = weak.lock();
        if (!self || decided == proposed || decided.empty()) return;
        self->queue_->async([weak, proposed, decided] {
            auto identity = weak.lock();
            if (!identity) return;
            auto& persisted = *identity->inputs_.persistedConfig;
            if (persisted.appInstanceID() == proposed) persisted.setAppInstanceID(decided);
        });
    });
}

void APMIdentity::setAppInstanceID(const std::string& appInstanceID) {
    auto persisted = inputs_.persistedConfig;
    queue_->async([persisted, appInstanceID] { persisted->setAppInstanceID(appInstanceID); });
}

bool APMIdentity::shouldSetLastAdvertisingIDResetUserProperty() const {
    bool value = false;
    queue_->sync([&] { value = inputs_.persistedConfig->shouldSetLastAdvertisingIDResetUserProperty(); });
    return value;
}

void APMIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
    auto persisted = inputs_.persistedConfig;
    queue_->async([persisted, value] { persisted->setShouldSetLastAdvertisingIDResetUserProperty(value); });
}

// ---- Session stitching token, diversion key, ephemeral ID --------------------------

std::optional<std::string> APMIdentity::sessionStitchingToken(std::int64_t sessionNumber, bool sessionExpired,
                                                                bool userIDAvailable) {
    if (isAnalyticsStorageDenied()) return std::nullopt;
    if (auto token = publishedSessionStitchingToken(sessionNumber, sessionExpired, userIDAvailable)) return token;
    std::optional<std::string> token;
    queue_->sync([&] {
        if (isAnalyticsStorageDenied()) return;
        auto& state = *state_;
        const bool sameRequest = sessionNumber == state.lastSessionNumber && sessionExpired == state.lastIsSessionExpired;
        // The session after an expired one continues the same visitor.
        const bool nextAfterExpired = state.lastSessionNumber < std::numeric_limits<std::int64_t>::max() &&
                                      sessionNumber == state.lastSessionNumber + 1 && state.lastIsSessionExpired &&
                                      !sessionExpired;
        if (!sameRequest && !nextAfterExpired) {
            state.sessionStitchingToken.reset();
            state.sessionStitchingTokenExpirationTime.reset();
        }
        state.lastSessionNumber = sessionNumber;
        state.lastIsSessionExpired = sessionExpired;
        const double current = now();
        if (!userIDAvailable && state.sessionStitchingTokenExpirationTime &&
            *state.sessionStitchingTokenExpirationTime <= current) {
            state.sessionStitchingToken.reset();
            state.sessionStitchingTokenExpirationTime.reset();
        }
        if (!state.sessionStitchingToken) {
            state.sessionStitchingToken = randomAppInstanceID();
            if (!userIDAvailable) state.sessionStitchingTokenExpirationTime = current + kAPMSessionStitchingTokenLifetime;
        }
        token = state.sessionStitchingToken;
        publishSessionStitchingToken(resetsRun_);
    });
    return token;
}

// The answer the queue would give without changing anything: the same
// session as the last request, a token, not lapsed, and no reset since.
std::optional<std::string> APMIdentity::publishedSessionStitchingToken(std::int64_t sessionNumber, bool sessionExpired,
                                                                       bool userIDAvailable) const {
    const auto resets = resetsPosted_.load(std::memory_order_acquire);
    std::lock_guard lock(publishedTokenMutex_);
    if (!publishedToken_ || publishedToken_->resetsRun < resets || !publishedToken_->token) return std::nullopt;
    const auto& published = *publishedToken_;
    if (published.sessionNumber != sessionNumber || published.sessionExpired != sessionExpired) return std::nullopt;
    if (!userIDAvailable && published.expirationTime && *published.expirationTime <= now()) return std::nullopt;
    return published.token;
}

void APMIdentity::publishSessionStitchingToken(std::uint64_t resetsRun) {
    const auto& state = *state_;
    PublishedToken published{resetsRun, state.lastSessionNumber, state.lastIsSessionExpired,
                             state.sessionStitchingToken, state.sessionStitchingTokenExpirationTime};
    std::lock_guard lock(publishedTokenMutex_);
    publishedToken_ = std::move(published);
}

void APMIdentity::resetSessionStitchingToken() {
    std::weak_ptr<APMIdentity> weak = weak_from_this();
    std::lock_guard lock(resetPostMutex_);
    const auto number = resetsPosted_.load(std::memory_order_relaxed) + 1;
    queue_->async([weak, number] {
        auto self = weak.lock();
        if (!self) return;
        self->state_->sessionStitchingToken.reset();
        self->state_->sessionStitchingTokenExpirationTime.reset();
        self->resetsRun_ = number;
        self->publishSessionStitchingToken(number);
    });
    resetsPosted_.store(number, std::memory_order_release);
}

std::string APMIdentity::diversionKey() {
    std::string key;
    queue_->sync([&] {
        auto& persisted = *inputs_.persistedConfig;
        const auto stored = persisted.diversionKey();
        if (stored && stored->size() == kAPMDiversionKeyLength) {
            key = *stored;
            return;
        }
        key = randomAppInstanceID().substr(0, kAPMDiversionKeyLength);
        persisted.setDiversionKey(key);
    });
    return key;
}

std::string APMIdentity::ephemeralAppInstanceID() {
    std::string identifier;
    queue_->sync([&] {
        if (!state_->ephemeralAppInstanceID) state_->ephemeralAppInstanceID = randomAppInstanceID();
        identifier = *state_->ephemeralAppInstanceID;
    });
    return identifier;
}

void APMIdentity::resetEphemeralAppInstanceID() {
    std::weak_ptr<APMIdentity> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) self->state_->ephemeralAppInstanceID.reset();
    });
}

}  // namespace measurement
