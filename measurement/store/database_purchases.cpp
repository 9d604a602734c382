// The database's purchase fingerprints.
#include "measurement/store/database.h"

#include "measurement/store/database_rows.h"

namespace measurement {

using namespace database_detail;

std::optional<bool> APMDatabase::insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                                         APMErrorOut error) {
    checkWorkerQueue("insertIfNotDuplicatePurchaseFingerprint:error:");
    if (fingerprint.empty()) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received empty purchase fingerprint");
        return std::nullopt;
    }
    bool inserted = false;
    const bool done = transaction(error, [&](APMErrorOut inner) {
        auto duplicate =
            queryExists("SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1", {fingerprint}, inner);
        if (!duplicate) return false;
        if (*duplicate) return true;
        inserted = store_->upsertRecord({{"fingerprint", fingerprint}}, "purchase_transactions", inner) &&
                   store_->deleteRecordsFromTableWithName(
                       "purchase_transactions",
                       "rowid IN (SELECT rowid FROM purchase_transactions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
                       {kAPMPurchaseFingerprintLimit}, inner);
        return inserted;
    });
    if (!done) return std::nullopt;
    return inserted;
}

}  // namespace measurement
