#pragma once

// What the audience tests share: builders of definitions, a measurement
// database in a temporary folder used on a worker queue, and readers of the
// stored results.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/audience/audience.h"
#include "measurement/audience/audience_fields.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/store/database.h"
#include "testsupport/temp_dir.h"

namespace measurement::audience_test {

// ---- definitions ----
APMPBNumberFilter numberFilter(std::uint32_t type, const std::string& value);
APMPBNumberFilter betweenFilter(const std::string& min, const std::string& max);
APMPBStringFilter stringFilter(std::uint32_t type, const std::optional<std::string>& expression,
                               std::optional<bool> caseSensitive = std::nullopt);
APMPBStringFilter listFilter(const std::vector<std::string>& entries, std::optional<bool> caseSensitive = std::nullopt);
// A value filter; the parameter name only for event parameter filters.
APMPBFilter valueFilter(const APMPBNumberFilter& number, bool complement = false,
                        const std::optional<std::string>& parameter = std::nullopt);
APMPBFilter valueFilter(const APMPBStringFilter& string, bool complement = false,
                        const std::optional<std::string>& parameter = std::nullopt);

struct Flags {
    bool dynamic = false;
    bool sequence = false;
    bool sessionScoped = false;
};
APMPBEventFilter eventFilter(std::int32_t filterID, const std::string& eventName,
                             std::vector<APMPBFilter> parameters = {},
                             const std::optional<APMPBNumberFilter>& count = std::nullopt, Flags flags = {});
APMPBPropertyFilter propertyFilter(std::int32_t filterID, const std::string& propertyName,
                                   const std::optional<APMPBFilter>& filter, Flags flags = {});
APMPBAudience audience(std::optional<std::int32_t> audienceID, std::vector<APMPBEventFilter> eventFilters,
                       std::vector<APMPBPropertyFilter> propertyFilters = {});

// The stored records of a definition, as updateAudiences makes them (no
// name mapping).
APMEventFilter eventRecord(std::int32_t audienceID, const APMPBEventFilter& filter);
APMPropertyFilter propertyRecord(std::int32_t audienceID, const APMPBPropertyFilter& filter);

APMPBUserAttribute nanoProperty(const std::string& name, const APMValue& value, double setSeconds);

// ---- results as plain values ----
// Which filters are evaluated and which are true, by filter ID, and the
// stored times.
struct Bits {
    std::vector<std::int32_t> evaluated;
    std::vector<std::int32_t> trueFilters;
    std::map<std::int32_t, std::int64_t> dynamicTimes;
    std::map<std::int32_t, std::vector<std::int64_t>> sequenceTimes;
    bool operator==(const Bits&) const = default;
};
Bits bitsOf(const APMPBResultData& data);
Bits bitsOf(const NANOBytes& encoded);
std::string describe(const Bits& bits);

// ---- the database ----
class AudienceFixture {
public:
    AudienceFixture();
    ~AudienceFixture();

    std::filesystem::path path() const { return dir_ / "measurement.sql"; }
    APMDatabase& database() { return *database_; }
    APMAudience& audience() { return *audience_; }
    APMAudienceLimits limits;

    // Runs the block on the worker queue, as the engine does.
    void onWorker(const std::function<void()>& block);
    // The block inside one database transaction, kept when it answers true.
    bool inTransaction(const std::function<bool()>& block);
    // A statement through a second connection (breaking tables, triggers).
    void execute(const std::string& sql);
    // The stored result rows, by audience ID.
    std::map<std::int32_t, APMFilterResult> storedResults();
    void storeFilters(const std::vector<APMEventFilter>& events, const std::vector<APMPropertyFilter>& properties);

    APMMonitorCapture capture;

private:
    testsupport::TempDir dir_;
    APMScheduler scheduler_;
    std::unique_ptr<APMDatabase> database_;
    std::unique_ptr<APMAudience> audience_;
};

}  // namespace measurement::audience_test
