// The names of a database's set-aside copies, and the deletion of all but the newest few.
#include "measurement/store/set_aside_copies.h"

#include <iterator>
#include <string_view>

#include "measurement/foundation/monitor.h"
#include "measurement/store/beside_names.h"
#include "measurement/store/sqlite_store.h"
#include "platform/foundation/set_aside_copies.h"

namespace measurement {

// The copies are named and bounded as every file's the platform sets aside.
static_assert(std::string_view(kAPMSqliteStoreSetAsideSuffix) == platform::kSetAsideSuffix);
static_assert(kAPMSqliteStoreSetAsideCopiesKept == platform::kSetAsideCopiesKept);
static_assert(kAPMSqliteStoreSetAsideLastNumber == platform::kSetAsideLastNumber);

namespace {

// A copy goes with its log, index and journal; a name is taken by anything
// set aside under it (those, and a name beside the database that was no
// regular file, its lock file's included).
const platform::SetAsideCompanions& databaseCompanions() {
    static const auto& companions = *new platform::SetAsideCompanions{
        {std::begin(kAPMSqliteStoreCompanionSuffixes), std::end(kAPMSqliteStoreCompanionSuffixes)},
        APMSetAsideNameSuffixes()};
    return companions;
}

}  // namespace

std::optional<std::string> APMNextSetAsideName(const std::string& path, std::string* why) {
    return platform::nextSetAsideName(path, databaseCompanions(), why);
}

void APMDeleteOlderSetAsideCopies(const std::string& path) {
    for (const auto& kept : platform::deleteOlderSetAsideCopies(path, databaseCompanions())) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMSqliteStoreOldCopyKeptCode,
                                          "Unable to delete an older set-aside copy of the database. Copy, error",
                                          platform::Value(kept.copy), platform::Value(kept.why));
    }
}

}  // namespace measurement
