// Where the measurement engine keeps its files, and whether its database
// opened.
#include "measurement/control/store_control.h"

#include <vector>

#include "measurement/core/measurement.h"
#include "measurement/experiments/experiments_database.h"
#include "measurement/store/database.h"
#include "measurement/store/files.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/upload/uploader.h"

namespace measurement::control {

namespace {

static_assert(kSetAsideCopiesRoom >= kAPMSqliteStoreSetAsideLastNumber,
              "the paths leave room for the name of every set-aside copy the store makes");

// What the store makes beside any database: SQLite's companions, the lock
// and the mark of damage; and a set-aside copy, with the same beside it.
std::vector<std::string> storeSuffixes() {
    std::vector<std::string> beside(std::begin(kAPMSqliteStoreCompanionSuffixes),
                                    std::end(kAPMSqliteStoreCompanionSuffixes));
    beside.push_back(kAPMSqliteStoreLockSuffix);
    beside.push_back(kAPMSqliteStoreDamageMarkSuffix);
    const std::string aside = kAPMSqliteStoreSetAsideSuffix + ("-" + std::to_string(kSetAsideCopiesRoom));
    std::vector<std::string> suffixes{"", aside};
    for (const auto& suffix : beside) {
        suffixes.push_back(suffix);
        suffixes.push_back(aside + suffix);
    }
    return suffixes;
}

}  // namespace

DeepestDatabaseFile deepestDatabaseFile() {
    struct Database {
        const char* name;
        const char* words;
        std::vector<std::string> ownSuffixes;
    };
    const Database databases[] = {{kAPMDatabaseFileName, "the measurement database", {kAPMUploadLockSuffix}},
                                  {kAPMEDatabaseFileName, "the experiments database", {}}};
    std::string deepest;
    const char* owner = "";
    for (const auto& database : databases) {
        auto suffixes = storeSuffixes();
        suffixes.insert(suffixes.end(), database.ownSuffixes.begin(), database.ownSuffixes.end());
        for (const auto& suffix : suffixes) {
            if (std::string(database.name).size() + suffix.size() <= deepest.size()) continue;
            deepest = database.name + suffix;
            owner = database.words;
        }
    }
    return {std::filesystem::path(kAPMApplicationSupportFolder) / deepest, APMSqliteStoreLongestPath(), owner};
}

std::optional<std::string> databaseFailure() {
    auto engine = APMMeasurement::sharedInstance();
    std::optional<std::string> failure;
    engine->scheduler().workerQueue()->sync([&] {
        const auto& error = engine->databaseError();
        if (engine->database() || !error) return;
        failure = error->localizedDescription();
        const auto context = error->monitorContext();
        if (context.isString() && !context.asString().empty()) *failure += " (" + context.asString() + ")";
    });
    return failure;
}

}  // namespace measurement::control
