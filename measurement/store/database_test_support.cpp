// A database on a temporary folder for tests.
#include "measurement/store/database_test_support.h"

#include <dlfcn.h>
#include <doctest/doctest.h>

#include <cerrno>

namespace measurement::testing {

std::string refusedRenameSource;
std::function<void(const std::string& from, const std::string& to)> beforeRename;

}  // namespace measurement::testing

extern "C" int rename(const char* from, const char* to) noexcept(true) {
    using namespace measurement::testing;
    if (!refusedRenameSource.empty() && refusedRenameSource == from) {
        errno = EACCES;
        return -1;
    }
    if (beforeRename) beforeRename(from, to);
    static const auto real = reinterpret_cast<int (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "rename"));
    return real(from, to);
}

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
