// A database on a temporary folder for tests.
#include "measurement/store/database_test_support.h"

#include <doctest/doctest.h>

namespace measurement::testing {

DatabaseFixture::DatabaseFixture() { reopen(); }

DatabaseFixture::~DatabaseFixture() {
    if (database_) onWorker([&] { database_.reset(); });
}

void DatabaseFixture::onWorker(const std::function<void()>& block) { scheduler_.workerQueue()->sync(block); }

void DatabaseFixture::reopen() {
    onWorker([&] {
        database_.reset();
        std::optional<APMError> error;
        database_ = APMDatabase::makeWithPath(path().string(), &error);
        REQUIRE_MESSAGE(database_, (error ? error->description() : std::string("no error")));
    });
}

APMRows tableRows(const std::filesystem::path& path, const std::string& table) {
    auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
    REQUIRE(store);
    auto rows = store->recordsForQuery("SELECT rowid, * FROM " + APMSqliteStore::quoteIdentifier(table) + " ORDER BY rowid",
                                       {}, nullptr);
    REQUIRE(rows);
    return *rows;
}

APMPBMeasurementBundle makeBundle(const std::string& appID, std::int64_t endMillis) {
    APMPBMeasurementBundle bundle;
    NANOSetString(bundle, APMPBMeasurementBundleFieldIndex(14), appID);
    NANOSetInt64(bundle, APMPBMeasurementBundleFieldIndex(6), endMillis);
    return bundle;
}

}  // namespace measurement::testing
