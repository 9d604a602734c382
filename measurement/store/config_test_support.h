#pragma once

// Helpers of the configuration tests: an in-memory configuration storage
// with real transaction semantics, and a builder of configuration messages.

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/foundation/messages.h"
#include "measurement/store/config_storage.h"
#include "measurement/store/remote_config.h"

namespace config_test {

using namespace measurement;

inline constexpr const char* kAppID = "velmora-bernoulli-ios";

// Keeps the configuration and the update time in memory. A transaction
// keeps a copy of both and puts it back when it rolls back, as the
// database does.
class MemoryConfigStorage : public APMMeasurementConfigStorage {
public:
    NANOBytes data;
    double lastUpdate = 0;
    bool failReads = false;
    bool failWrites = false;
    int writes = 0;

    std::optional<NANOBytes> measurementConfigData(APMErrorOut error) override {
        if (failReads) return fail<NANOBytes>(error);
        return data;
    }
    bool updateMeasurementConfigData(const NANOBytes& bytes, APMErrorOut error) override {
        if (failWrites) {
            APMSetError(error, 99, "storage failure");
            return false;
        }
        data = bytes;
        ++writes;
        return true;
    }
    std::optional<double> remoteConfigSuccessfulTimestamp(APMErrorOut error) override {
        if (failReads) return fail<double>(error);
        return lastUpdate;
    }

protected:
    bool performDatabaseTransaction(const std::function<bool()>& block) override {
        const auto saved = std::make_pair(data, lastUpdate);
        bool committed = false;
        try {
            committed = block();
        } catch (...) {
            std::tie(data, lastUpdate) = saved;
            throw;
        }
        if (!committed) std::tie(data, lastUpdate) = saved;
        return committed;
    }

private:
    template <class T>
    static std::optional<T> fail(APMErrorOut error) {
        APMSetError(error, 99, "storage failure");
        return std::nullopt;
    }
};

// Builds an APMPBMeasurementConfig field by field through the generic
// accessors, as a server would fill it.
class ConfigBuilder {
public:
    explicit ConfigBuilder(std::optional<std::string> appID = kAppID) {
        if (appID) NANOSetString(config_, index(2), *appID);
    }

    ConfigBuilder& version(std::int64_t version) {
        NANOSetInt64(config_, index(1), version);
        return *this;
    }
    ConfigBuilder& setting(const std::string& name, const std::string& value) {
        APMPBSetting setting;
        NANOSetString(setting, 0, name);
        NANOSetString(setting, 1, value);
        settings_.push_back(setting);
        NANOSetArray(config_, index(3), settings_);
        return *this;
    }
    ConfigBuilder& event(const std::string& name, std::optional<bool> blocked, std::optional<bool> conversion,
                         std::optional<std::int32_t> samplingRate) {
        APMPBEventConfig entry;
        NANOSetString(entry, 0, name);
        if (blocked) NANOSetBool(entry, 1, *blocked);
        if (conversion) NANOSetBool(entry, 2, *conversion);
        if (samplingRate) NANOSetInt32(entry, 3, *samplingRate);
        events_.push_back(entry);
        NANOSetArray(config_, index(4), events_);
        return *this;
    }
    ConfigBuilder& uploadSubdomain(const std::string& subdomain) {
        NANOSetString(config_, index(5), subdomain);
        return *this;
    }
    ConfigBuilder& dmaRegion(bool region) {
        NANOSetBool(config_, index(7), region);
        return *this;
    }
    // Entries are (type, status) for defaults and regional defaults, (type,
    // delegated type) for delegations.
    using Pairs = std::vector<std::pair<std::int32_t, std::int32_t>>;
    ConfigBuilder& consent(const Pairs& defaults, const Pairs& delegations, const Pairs& regional) {
        APMPBConsentSection section;
        NANOSetArray(section, 0, pairs<APMPBConsentDefault>(defaults));
        NANOSetArray(section, 1, pairs<APMPBConsentDelegation>(delegations));
        NANOSetArray(section, 2, pairs<APMPBConsentDefault>(regional));
        NANOSetMessage(config_, index(8), section);
        return *this;
    }
    ConfigBuilder& audiences(const std::vector<APMPBAudience>& audiences) {
        NANOSetArray(config_, index(nano_APMPBMeasurementConfig_audiences_tag), audiences);
        return *this;
    }
    ConfigBuilder& programs(std::size_t count) { return programs(std::vector<APMPBProgram>(count)); }
    ConfigBuilder& programs(const std::vector<APMPBProgram>& programs) {
        NANOSetArray(config_, index(nano_APMPBMeasurementConfig_programs_tag), programs);
        return *this;
    }
    ConfigBuilder& dataControls(const std::vector<std::string>& names) {
        NANOSetArray(config_, index(10), names);
        return *this;
    }
    ConfigBuilder& corePlatformServices(const std::vector<std::string>& names) {
        NANOSetArray(config_, index(11), names);
        return *this;
    }

    const APMPBMeasurementConfig& config() const { return config_; }
    NANOBytes bytes() const { return config_.protoBuffer(); }

private:
    static int index(int tag) { return NANOFieldIndexForTag<APMPBMeasurementConfig>(tag); }

    template <class M>
    static std::vector<M> pairs(const Pairs& entries) {
        std::vector<M> result;
        for (auto [first, second] : entries) {
            M entry;
            NANOSetInt32(entry, 0, first);
            NANOSetInt32(entry, 1, second);
            result.push_back(entry);
        }
        return result;
    }

    APMPBMeasurementConfig config_;
    std::vector<APMPBSetting> settings_;
    std::vector<APMPBEventConfig> events_;
};

inline APMRemoteConfigEnvironment testEnvironment(std::optional<std::string> baseURL = std::nullopt) {
    APMRemoteConfigEnvironment environment;
    environment.appID = kAppID;
    environment.serviceBaseURL = std::move(baseURL);
    environment.bundleIdentifier = "com.velmora.bernoulli";
    environment.libraryVersion = 10000000;
    environment.appVersion = [] { return std::optional<std::string>("2.4.1"); };
    return environment;
}

}  // namespace config_test
