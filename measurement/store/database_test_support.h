#pragma once

// What the database tests share: a database in a temporary folder, opened
// and used on the worker queue of a scheduler under manual time.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/store/database.h"
#include "platform/dispatch/timer.h"
#include "testsupport/temp_dir.h"

namespace measurement::testing {

class DatabaseFixture {
public:
    DatabaseFixture();
    ~DatabaseFixture();

    std::filesystem::path path() const { return dir_ / "measurement.sql"; }
    APMDatabase& database() { return *database_; }
    // Runs the block on the worker queue, as the engine does.
    void onWorker(const std::function<void()>& block);
    // Closes the database and opens the file again.
    void reopen();
    void close() { database_.reset(); }

    platform::dispatch::ManualTime time;
    APMMonitorCapture capture;

private:
    testsupport::TempDir dir_;
    APMScheduler scheduler_;
    std::unique_ptr<APMDatabase> database_;
};

// Every rename of the test process goes through the test's own: one whose
// source is refusedRenameSource fails, as a file system that refuses it
// would; beforeRename, when set, runs before each one that goes ahead.
extern std::string refusedRenameSource;
extern std::function<void(const std::string& from, const std::string& to)> beforeRename;

// Every row of a table, in row order, as the store reads it.
APMRows tableRows(const std::filesystem::path& path, const std::string& table);

// A bundle with the given application identifier and end time (ms).
APMPBMeasurementBundle makeBundle(const std::string& appID, std::int64_t endMillis);

}  // namespace measurement::testing
