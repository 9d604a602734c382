// The SQLite store's write groups: many small writes, one commit.
#include <sqlite3.h>

#include <utility>

#include "measurement/foundation/monitor.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/store/sqlite_written_rows.h"

namespace measurement {

bool APMSqliteStore::openWriteGroup(std::function<void(bool committed)> closed, APMErrorOut error) {
    std::lock_guard lock(mutex_);
    if (!requireOpen(error)) return false;
    if (groupOpen_ || !sqlite3_get_autocommit(db_)) {
        APMSetError(error, kAPMSqliteStoreTransactionCode, "A transaction or write group is already open");
        return false;
    }
    if (!beginTransaction(error)) return false;
    groupOpen_ = true;
    groupKept_ = 0;
    groupClosed_ = std::move(closed);
    return true;
}

bool APMSqliteStore::isWriteGroupOpen() const {
    std::lock_guard lock(mutex_);
    return groupOpen_;
}

bool APMSqliteStore::performGroupedTransactionWithError(APMErrorOut error, const std::function<bool()>& block) {
    if (!block) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Received nil transaction block");
        return false;
    }
    std::lock_guard lock(mutex_);
    if (!requireOpen(error)) return false;
    if (!groupOpen_ || joinedBlocks_ > 0) {
        APMSetError(error, kAPMSqliteStoreTransactionCode,
                    groupOpen_ ? "A transaction runs inside the write group" : "No write group is open");
        return false;
    }
    ++groupedBlocks_;
    bool done = false;
    try {
        done = runInGroup(error, block);
    } catch (...) {
        --groupedBlocks_;
        groupSurvived();
        throw;
    }
    --groupedBlocks_;
    done = groupSurvived() && done;
    if (done) ++groupKept_;
    return done;
}

bool APMSqliteStore::runJoinedTransaction(APMErrorOut error, const std::function<bool()>& block) {
    joinedWrote_ = false;
    const auto changesBefore = sqlite3_total_changes64(db_);
    ++joinedBlocks_;
    bool done = false;
    try {
        done = runInGroup(error, block);
    } catch (...) {
        --joinedBlocks_;
        joinedWrote_ = false;
        groupSurvived();
        throw;
    }
    --joinedBlocks_;
    if (done) ++groupKept_;
    // A delete that found nothing changed nothing: the group stays open.
    const bool wrote = std::exchange(joinedWrote_, false) || (db_ && sqlite3_total_changes64(db_) != changesBefore);
    if (!groupSurvived() || !done || !wrote) return done;
    if (closeWriteGroup()) return true;
    fail(error, kAPMSqliteStoreTransactionCode, "Failed to end transaction", 0, "the write group did not commit");
    return false;
}

// Damage met before a table's first write, while the group kept nothing
// yet: the group begins again in the file that replaces the damaged one,
// and the block runs again there, once. With work kept, the group cannot
// go on in the damaged file: its commit fails, and its owner writes again.
bool APMSqliteStore::runInGroup(APMErrorOut error, const std::function<bool()>& block) {
    for (int attempt = 0;; ++attempt) {
        appendDamageMet_ = false;
        const bool done = runTransaction(error, block);
        if (done || !std::exchange(appendDamageMet_, false) || attempt > 0 || groupKept_ > 0) return done;
        if (!restartGroup(error)) return false;
        if (error) error->reset();
    }
}

// The group is closed meanwhile, so that what makes the new file ready
// runs as any other work would.
bool APMSqliteStore::restartGroup(APMErrorOut error) {
    written_->forget();
    if (db_ && !sqlite3_get_autocommit(db_)) runPlain("ROLLBACK TRANSACTION", nullptr);
    ++undoCount_;
    groupOpen_ = false;
    const bool begun = beginTransaction(error);
    groupOpen_ = true;
    if (!begun) endWriteGroup(false);
    return begun;
}

// SQLite ends the whole transaction on some failures (a full disk, an I/O
// error): the group is gone with it.
bool APMSqliteStore::groupSurvived() {
    if (!groupOpen_ || (db_ && !sqlite3_get_autocommit(db_))) return true;
    endWriteGroup(false);
    return false;
}

bool APMSqliteStore::closeWriteGroup() {
    std::lock_guard lock(mutex_);
    if (!groupOpen_) return true;
    // Work still running inside the group keeps it until that work ends.
    if (groupedBlocks_ > 0) return false;
    if (joinedBlocks_ > 0) {
        joinedWrote_ = true;
        return false;
    }
    const bool inTransaction = db_ && !sqlite3_get_autocommit(db_);
    const bool replaced = inTransaction && fileMoved() == true;
    // As a transaction's commit: every row read back first, and none into a
    // file known damaged.
    const auto unread = inTransaction && !replaced ? rowsNotReadBack() : std::nullopt;
    const auto damaged = inTransaction && !replaced ? knownDamage() : std::nullopt;
    const bool committed = inTransaction && !replaced && !damaged && !unread && runPlain("COMMIT TRANSACTION", nullptr);
    written_->forget();
    if (!committed) {
        const std::string reason = replaced  ? kReplacedReason
                                   : damaged ? "the file is damaged (" + *damaged + ")"
                                   : unread  ? *unread
                                   : db_     ? sqlite3_errmsg(db_)
                                             : "database closed";
        if (db_ && !sqlite3_get_autocommit(db_)) runPlain("ROLLBACK TRANSACTION", nullptr);
        fail(nullptr, 0, "Failed to commit write group", kAPMSqliteStoreWriteGroupFailedCode, reason);
    }
    endWriteGroup(committed);
    return committed;
}

void APMSqliteStore::closeWriteGroupForOtherWork(bool changesRowsOnly) {
    if (!groupOpen_ || groupedBlocks_ > 0) return;
    // Inside a transaction that joined the group, the rows a statement
    // changes show in the connection's change count, read when it ends.
    if (joinedBlocks_ > 0) {
        if (!changesRowsOnly) joinedWrote_ = true;
        return;
    }
    closeWriteGroup();
}

// The handler is taken before it runs: it may write (alone) at once.
void APMSqliteStore::endWriteGroup(bool committed) {
    if (!groupOpen_) return;
    groupOpen_ = false;
    if (!committed) ++undoCount_;
    auto closed = std::move(groupClosed_);
    groupClosed_ = nullptr;
    if (closed) closed(committed);
}

}  // namespace measurement
