// Deleting, setting aside and reopening database files, never under another process that has them open.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/damage_mark.h"
#include "measurement/store/files.h"
#include "measurement/store/set_aside_copies.h"
#include "measurement/store/sqlite_statement.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/store/sqlite_store_shared_state.h"

namespace measurement {

namespace {

namespace fs = std::filesystem;

using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;

// Beside the file: what SQLite keeps with it, renamed along so that a new
// file made at the path never takes the old one's log.
constexpr auto& kCompanionSuffixes = kAPMSqliteStoreCompanionSuffixes;

FileIdentity identityOf(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

std::optional<FileIdentity> identityAt(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return identityOf(info);
}

bool present(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Moves the companions present beside `path` to the same names beside
// `aside`, stopping at the first that will not move; `moved` lists those
// that did, for a failure to put back.
void moveCompanions(const std::string& path, const std::string& aside, std::vector<std::string>* moved,
                    std::error_code& ec) {
    for (const char* suffix : kCompanionSuffixes) {
        if (!present(path + suffix)) continue;
        fs::rename(path + suffix, aside + suffix, ec);
        if (ec) return;
        moved->push_back(suffix);
    }
}

// Renames the file with its companions, which go first: while the file is
// still at the path, nothing opening the path can take the old log into a
// new file. A failure puts back the companions already moved. The mark of
// damage was the old file's and goes.
bool renameAside(const std::string& path, std::string* aside, std::string* why) {
    const auto name = APMNextSetAsideName(path, why);
    if (!name) return false;
    *aside = *name;
    std::vector<std::string> moved;
    std::error_code ec;
    moveCompanions(path, *aside, &moved, ec);
    if (!ec) fs::rename(path, *aside, ec);
    if (ec) {
        *why = ec.message();
        for (const auto& suffix : moved) fs::rename(*aside + suffix, path + suffix, ec);
        return false;
    }
    fs::remove(path + kAPMSqliteStoreDamageMarkSuffix, ec);
    APMDeleteOlderSetAsideCopies(path);
    return true;
}

// Puts the carried file in the damaged one's place. The damaged file's
// companions go aside first, so that nothing opening the path takes its log
// into the carried file; then the damaged file takes its aside name as a
// second link, and the carried one the path in one rename. The path thus
// never names no file: a process that ends meanwhile leaves the damaged
// file there (for the next open to carry again) or the carried one. A file
// system without links renames the damaged file first. A failure puts back
// what was moved.
bool replaceWithCarried(const std::string& path, const std::string& carried, std::string* aside, std::string* why) {
    const auto name = APMNextSetAsideName(path, why);
    if (!name) return false;
    *aside = *name;
    std::vector<std::string> moved;
    std::error_code ec;
    moveCompanions(path, *aside, &moved, ec);
    bool linked = false, renamed = false;
    if (!ec) {
        linked = ::link(path.c_str(), aside->c_str()) == 0;
        if (!linked) fs::rename(path, *aside, ec);
        renamed = !linked && !ec;
    }
    if (!ec) fs::rename(carried, path, ec);
    if (ec) {
        *why = ec.message();
        std::error_code ignored;
        if (linked) fs::remove(*aside, ignored);
        if (renamed) fs::rename(*aside, path, ignored);
        for (const auto& suffix : moved) fs::rename(*aside + suffix, path + suffix, ignored);
        return false;
    }
    fs::remove(path + kAPMSqliteStoreDamageMarkSuffix, ec);
    APMDeleteOlderSetAsideCopies(path);
    return true;
}

// Deletes a database file together with the files SQLite keeps beside it:
// its log and journal first, so that a new file made in its place never
// replays the old one's log, and the mark of damage last. True when none
// of them is left.
bool deleteDatabaseFiles(const std::string& path, APMErrorOut error) {
    for (const char* suffix : kCompanionSuffixes) {
        std::error_code ec;
        fs::remove(path + suffix, ec);
        if (ec) {
            if (error) *error = apm_errorWithCode(2, "Failed to delete database journal", platform::Value(ec.message()));
            return false;
        }
    }
    if (!APMDeleteFileAtPath(path, error)) return false;
    std::error_code ec;
    fs::remove(path + kAPMSqliteStoreDamageMarkSuffix, ec);
    return true;
}

constexpr const char* kInUseReason = "another process has it open";

void logSetAside(bool setAside, const std::string& path, const std::string& aside, const std::string& reason,
                 const std::string& why) {
    if (setAside) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSqliteStoreSetAsideCode,
                                          "Database cannot be used. Set aside as, reason", platform::Value(aside),
                                          platform::Value(reason));
    } else {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSqliteStoreSetAsideFailedCode,
                                          "Database cannot be used and could not be set aside. Path, reason",
                                          platform::Value(path), platform::Value(reason + "; " + why));
    }
}

}  // namespace

// Without a lock file of its own (one that cannot be opened: no permission,
// or something other than a regular file that could not be set aside) the
// path is used all the same; nothing is then deleted or set aside, since
// nothing tells whether another process has it open (whileAlone says why).
// A store that only reads changes nothing beside the file.
bool APMSqliteStore::holdPath(bool create, APMErrorOut error) {
    if (create) setAsideOddLock();
    pathLock_ = std::make_unique<APMFileLock>(path_ + kAPMSqliteStoreLockSuffix, create);
    if (!pathLock_->isOpen() || takePathShared()) return true;
    return pathHeld(error);
}

bool APMSqliteStore::takePathShared() {
    const std::string purpose = "the database " + std::filesystem::path(path_).filename().string();
    return pathLock_->lockOrGiveUp(APMFileLock::Kind::shared, purpose, &pathHoldFailure_);
}

bool APMSqliteStore::pathHeld(APMErrorOut error) {
    if (!pathLock_ || !pathLock_->isOpen() || pathLock_->held()) return true;
    fail(error, kAPMSqliteStoreOpenCode, "Failed to open database", kAPMSqliteStoreOpenFailedCode,
         path_ + ": " + pathHoldFailure_);
    return false;
}

std::optional<bool> APMSqliteStore::fileMoved() {
    int moved = 0;
    if (!db_ || sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK) return std::nullopt;
    return moved != 0;
}

// A refused try gives up the shared lock, so that two processes that both
// wait never wait for each other; a path that meanwhile names another file
// ends the wait, so that a process never waits for those using the new
// file. The shared lock is taken again afterwards (pathHeld() tells whether
// it was).
APMSqliteStore::FileOutcome APMSqliteStore::whileAlone(double waitSeconds, const std::function<bool()>& unchanged,
                                                       const std::function<bool()>& action, std::string* whyNot) {
    if (!pathLock_ || !pathLock_->isOpen()) {
        if (whyNot) *whyNot = pathLock_ ? pathLock_->whyUnlockable() : kInUseReason;
        return FileOutcome::inUse;
    }
    auto outcome = FileOutcome::inUse;
    std::string reason = kInUseReason;
    for (int attempt = 0; outcome == FileOutcome::inUse; ++attempt) {
        // Looked at after the lock is had: no one changes the path then.
        const bool alone = pathLock_->tryLock(APMFileLock::Kind::exclusive);
        const auto refusal = pathLock_->error();
        if (!alone && refusal != std::errc::resource_unavailable_try_again) {
            reason = "its lock file " + pathLock_->path() + " cannot be locked: " + refusal.message();
            break;
        }
        if (!unchanged()) {
            outcome = FileOutcome::replacedMeanwhile;
        } else if (alone) {
            outcome = action() ? FileOutcome::done : FileOutcome::failed;
        } else {
            if (attempt == 0) {
                const std::string holders = pathLock_->otherHolders();
                reason = std::string(kInUseReason) + " (" + holders + ")";
                if (waitSeconds > 0) {
                    APMMonitor::shared().logWithLevel(
                        kAPMMonitorLevelWarning, kAPMFileLockWaitingCode,
                        "Waiting for the other processes that have the database open to close it, for up to " +
                            APMFileLock::secondsText(waitSeconds) + ". Path, held by",
                        platform::Value(path_), platform::Value(holders));
                }
            }
            if (waitSeconds <= 0) break;
            double waited = 0;
            if (!pauseWithin(attempt, waitSeconds, &waited)) {
                reason = "another process kept it open for " + APMFileLock::secondsText(waitSeconds) + " (" +
                         pathLock_->otherHolders() + ")";
                APMMonitor::shared().logWithLevel(
                    kAPMMonitorLevelError, kAPMFileLockGaveUpCode,
                    "Gave up waiting for the other processes that have the database open to close it. Path, reason",
                    platform::Value(path_), platform::Value(reason));
                break;
            }
        }
    }
    if (whyNot) *whyNot = reason;
    takePathShared();
    return outcome;
}

bool APMSqliteStore::openChecked(APMErrorOut error) {
    setAsideWhatIsNoFile();
    const auto odd = setAsideOddNamesBeside();
    carriedLoss_.reset();
    if (!pathHeld(error) || !open(error)) return false;
    // Damage met while the file was last in use may lie anywhere in it; so
    // may damage that something else at the mark's name stood for.
    const bool wholeFile = APMDamageMarkPresent(path_ + kAPMSqliteStoreDamageMarkSuffix) ||
                           std::any_of(odd.begin(), odd.end(), [](const APMOddName& name) {
                               return name.suffix == kAPMSqliteStoreDamageMarkSuffix;
                           });
    std::string problem;
    if (wholeFile ? checkMarkedFile(&problem) : checkIntegrity(false, &problem)) return true;
    // Found damaged by the others already: they were told.
    damageMarked_ = wholeFile;
    if (problem.empty()) {
        // Not damage (an I/O or permission failure): the file is kept.
        fail(error, kAPMSqliteStoreOpenCode, "Failed to open database", kAPMSqliteStoreOpenFailedCode,
             sqlite3_errmsg(db_));
        close();
        return false;
    }
    return replaceDamaged(problem, true, error);
}

// Another process that has the damaged file open would go on writing into
// a file that no one reads any more: it is waited for, and while it keeps
// the file, the file is kept, read as far as it goes and written no more
// (the mark beside it tells the others, which replace it before their next
// write). The rows are carried before the damaged file leaves the path,
// under the exclusive lock: no other process uses the path until the new
// file, rows and all, is in place.
bool APMSqliteStore::replaceDamaged(const std::string& problem, bool wait, APMErrorOut error, bool unusable) {
    // The check leaves its read transaction open on damage.
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    if (!unusable) keepDamaged(problem);
    const std::string carryPath = path_ + kAPMSqliteStoreCarrySuffix;
    Carried carried;
    std::string aside, why, whyNot;
    const auto outcome = whileAlone(
        wait ? APMFileLock::waitLimit() : 0, [this] { return fileMoved() == false; },
        [&] {
            if (!carryReadableRows(carryPath, &carried, &why)) {
                why = "its rows could not be carried into a new file: " + why;
                return false;
            }
            // Damage the rows may read past without a word: the check's,
            // of the tables whose rows SQLite read.
            auto named = carried.skipped;
            for (const auto& table : carried.readFromPages) named.push_back({table, std::nullopt, std::nullopt, ""});
            for (auto& table : damageInSmallTables(named)) carried.skipped.push_back(std::move(table));
            // The log goes along with the file: closing must not delete it.
            int persist = 1;
            sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
            close();
            if (replaceWithCarried(path_, carryPath, &aside, &why)) return true;
            std::error_code ec;
            fs::remove(carryPath, ec);
            why = "it could not be set aside: " + why;
            return false;
        },
        &whyNot);
    if (outcome == FileOutcome::inUse || outcome == FileOutcome::failed) {
        const bool inUse = outcome == FileOutcome::inUse;
        // A file the engine cannot use is not kept: the open fails.
        if (unusable) {
            logSetAside(false, path_, "", problem, inUse ? whyNot : why);
            close();
            pathLock_->unlock();
            APMSetError(error, kAPMSqliteStoreOpenCode, "Failed to set aside a database that cannot be used");
            return false;
        }
        damageWaitRanOut_ = damageWaitRanOut_ || (inUse && wait);
        if (!std::exchange(damageKeptSaid_, true)) {
            APMMonitor::shared().logWithLevel(
                kAPMMonitorLevelError, inUse ? kAPMSqliteStoreDamagedInUseCode : kAPMSqliteStoreSetAsideFailedCode,
                "Database is damaged, but it cannot be replaced now: " + (inUse ? whyNot : why) +
                    ". Kept for reading; nothing is written into it. Path, problem",
                platform::Value(path_), platform::Value(problem));
        }
        // Still open when the carry failed or the others kept it; put back
        // when the rename failed.
        if (!pathHeld(error) || (!db_ && !open(error))) {
            close();
            return false;
        }
        keepDamaged(problem);
        damageKeptBecause_ = inUse ? whyNot : why;
        return true;
    }
    close();
    // Replaced here, or by another process that made the file at the path.
    if (!pathHeld(error) || !open(error)) return false;
    if (outcome == FileOutcome::replacedMeanwhile) return true;
    carriedLoss_ = carried.skipped;
    APMMonitor::shared().logWithLevel(
        kAPMMonitorLevelError, unusable ? kAPMSqliteStoreSetAsideCode : kAPMSqliteStoreDamagedFileCode,
        std::string(unusable ? "Database cannot be used" : "Database is damaged") +
            ". Set aside, and the rows that still read carried into a new file. Set aside as, problem",
        platform::Value(aside), platform::Value(problem));
    std::string skipped;
    for (const auto& stretch : carried.skipped) {
        skipped += (skipped.empty() ? "" : "; ") + stretch.table +
                   (stretch.afterRowID ? " after row " + std::to_string(*stretch.afterRowID) : " from the first row") +
                   (stretch.beforeRowID ? " before row " + std::to_string(*stretch.beforeRowID) : " to the last") +
                   ": " + stretch.error;
    }
    if (carried.refused > 0) {
        skipped += (skipped.empty() ? "" : "; ") + std::to_string(carried.refused) +
                   " rows that read but that the tables' constraints refused" +
                   (carried.firstRefusal.empty() ? "" : " (" + carried.firstRefusal + ")");
    }
    APMMonitor::shared().logWithLevel(skipped.empty() ? kAPMMonitorLevelNotice : kAPMMonitorLevelWarning,
                                      kAPMSqliteStoreCarriedRowsCode,
                                      "Rows carried from the damaged database. Rows, rows that did not read",
                                      platform::Value(carried.rows), platform::Value(skipped.empty() ? "none" : skipped));
    std::string still;
    if (!checkIntegrity(true, &still)) {
        fail(error, kAPMSqliteStoreDamagedCode, "Database is damaged after opening it again",
             kAPMSqliteStoreStillDamagedCode, still.empty() ? sqlite3_errmsg(db_) : still);
        close();
        return false;
    }
    return true;
}

// Damage another process marked is taken as this connection's own once the
// whole file, read afresh, shows it: a mark left for damage already carried
// away by a process that stopped midway goes.
bool APMSqliteStore::readyForWrite(APMErrorOut error) {
    if (!reopenIfReplaced(error)) return false;
    if (reopening_ || !db_ || sqlite3_db_readonly(db_, "main") == 1) return true;
    if (!damage_) {
        if (!knownDamage()) return true;
        std::string problem;
        if (checkMarkedFile(&problem)) return true;
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        damage_ = problem.empty() ? "another process found it damaged, and it could not be checked" : problem;
        damageMarked_ = true;
    }
    reopening_ = true;
    const std::string problem = *damage_;
    bool ready = replaceDamaged(problem, !damageWaitRanOut_, error);
    if (ready && !damage_ && reopenHandler_ && !reopenHandler_()) {
        APMSetError(error, kAPMSqliteStoreOpenCode, "Failed to prepare the database file at the path");
        ready = false;
    }
    reopening_ = false;
    if (!db_) pathLock_->unlock();
    if (!ready || !damage_) return ready;
    fail(error, kAPMSqliteStoreDamagedCode, "Database is damaged and cannot be replaced now: nothing is written into it",
         std::exchange(damageRefusalSaid_, true) ? 0L : long{kAPMSqliteStoreDamagedWriteRefusedCode},
         path_ + ": " + *damage_ + "; " + damageKeptBecause_);
    return false;
}

std::optional<std::vector<APMUnreadableStretch>> APMSqliteStore::takeCarriedLoss() {
    std::lock_guard lock(mutex_);
    return std::exchange(carriedLoss_, std::nullopt);
}


// SQLite cannot open a folder or a fifo as a database, and never will.
void APMSqliteStore::setAsideWhatIsNoFile() {
    struct stat info {};
    if (::stat(path_.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return;
    const auto examined = identityOf(info);
    std::string aside, why;
    const auto outcome = whileAlone(
        kAPMSqliteStoreBusyTimeoutSeconds, [&] { return identityAt(path_) == examined; },
        [&] { return renameAside(path_, &aside, &why); }, &why);
    if (outcome == FileOutcome::replacedMeanwhile) return;
    logSetAside(outcome == FileOutcome::done, path_, aside,
                S_ISDIR(info.st_mode) ? "it is a folder" : "it is no regular file", why);
}

bool APMSqliteStore::setAsideAndReopen(const std::string& reason, APMErrorOut error) {
    std::lock_guard lock(mutex_);
    if (!requireOpen(error)) return false;
    return replaceDamaged(reason, !damageWaitRanOut_, error, true);
}

bool APMSqliteStore::closeAndDeleteDatabase(APMErrorOut deleteError) {
    std::lock_guard lock(mutex_);
    const bool connected = db_ != nullptr;
    std::optional<APMError> error;
    std::string whyNot;
    const auto outcome = whileAlone(
        0, [&] { return !connected || fileMoved() == false; },
        [&] {
            close();
            return deleteDatabaseFiles(path_, &error);
        },
        &whyNot);
    close();
    if (pathLock_) pathLock_->unlock();
    if (outcome == FileOutcome::done || outcome == FileOutcome::replacedMeanwhile) return true;
    if (outcome == FileOutcome::inUse) {
        error = apm_errorWithCode(kAPMSqliteStoreNotOpenCode, "Failed to delete database: " + whyNot,
                                  platform::Value(whyNot));
    }
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSqliteStoreDeleteFailedCode,
                                      "Failed to delete database. Error",
                                      error ? error->asContext() : platform::Value());
    if (deleteError) *deleteError = error;
    return false;
}

bool APMSqliteStore::deleteDatabaseAtPath(const std::string& path, APMErrorOut error) {
    APMSqliteStore store(path);
    if (!store.holdPath(true, error)) return false;
    return store.closeAndDeleteDatabase(error);
}

void APMSqliteStore::setReopenHandler(std::function<bool()> prepare) {
    std::lock_guard lock(mutex_);
    reopenHandler_ = std::move(prepare);
}

std::atomic<bool>& detail::layoutChangesExamined() {
    static std::atomic<bool> examined{true};
    return examined;
}

void APMSqliteStore::setLayoutHandler(std::function<bool()> examine) {
    std::lock_guard lock(mutex_);
    layoutHandler_ = std::move(examine);
}

std::optional<std::int64_t> APMSqliteStore::schemaVersionQuietly() {
    if (!db_) return std::nullopt;
    sqlite_statement::Statement statement(db_, "PRAGMA schema_version");
    if (!statement || !statement.step()) return std::nullopt;
    return statement.integer(0);
}

// Kept prepared: it runs at every write transaction's start.
bool APMSqliteStore::layoutMoved() {
    if (!layoutHandler_ || examiningLayout_ || reopening_ || !layoutVersion_ ||
        !detail::layoutChangesExamined().load()) {
        return false;
    }
    auto statement = prepare("PRAGMA schema_version", nullptr);
    return statement && sqlite3_step(statement.get()) == SQLITE_ROW &&
           sqlite3_column_int64(statement.get(), 0) != *layoutVersion_;
}

void APMSqliteStore::examineLayout() {
    examiningLayout_ = true;
    const bool ready = layoutHandler_();
    examiningLayout_ = false;
    if (ready) layoutVersion_ = schemaVersionQuietly();
}

// A store opened for reading only never writes, so it has nothing to lose.
bool APMSqliteStore::reopenIfReplaced(APMErrorOut error) {
    if (reopening_ || fileMoved() != true || sqlite3_db_readonly(db_, "main") == 1) return true;
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSqliteStoreReplacedCode,
                                      "Database file was replaced or deleted by another program. Opening the file at "
                                      "the path. Path",
                                      platform::Value(path_));
    reopening_ = true;
    close();
    bool ready = openChecked(error);
    if (ready && reopenHandler_ && !reopenHandler_()) {
        APMSetError(error, kAPMSqliteStoreOpenCode, "Failed to prepare the database file at the path");
        ready = false;
    }
    reopening_ = false;
    if (!db_) pathLock_->unlock();
    return ready;
}

std::optional<std::string> APMSqliteStore::refusalOfWrites(const std::vector<std::string>& statements,
                                                           APMErrorOut error) {
    std::lock_guard lock(mutex_);
    std::optional<std::string> refusal;
    std::optional<APMError> failure, transactionFailure;
    bool tried = false;
    performTransactionWithError(&transactionFailure, [&] {
        tried = true;
        for (const auto& text : statements) {
            sqlite_statement::Statement statement(db_, text);
            statement.step();
            const int rc = statement.code();
            const int primary = rc & 0xff;
            if (rc == SQLITE_DONE && sqlite3_changes(db_) == 0) {
                refusal = "it stores nothing for \"" + text + "\"";
            } else if (primary == SQLITE_CONSTRAINT || primary == SQLITE_ERROR) {
                refusal = "it refuses \"" + text + "\": " + sqlite3_errmsg(db_);
            } else if (rc != SQLITE_DONE) {
                failure = apm_errorWithCode(kAPMSqliteStoreStatementCode, "Failed to execute statement",
                                            platform::Value(text + ": " + sqlite3_errmsg(db_)));
            }
            if (refusal || failure) break;
        }
        return false;  // tried, never kept
    });
    if (!tried) failure = transactionFailure;
    if (!refusal && failure && error) *error = failure;
    return refusal;
}

bool APMSqliteStore::answersTrue(const std::string& query, const APMBindings& parameterValues) {
    return integerAnswer(query, parameterValues).value_or(0) != 0;
}

std::optional<std::int64_t> APMSqliteStore::integerAnswer(const std::string& query, const APMBindings& parameterValues) {
    std::lock_guard lock(mutex_);
    if (!db_) return std::nullopt;
    sqlite_statement::Statement statement(db_, query);
    if (!statement || !sqlite3_stmt_readonly(statement.get()) || !bind(statement.get(), parameterValues, nullptr) ||
        !statement.step() || sqlite3_column_type(statement.get(), 0) != SQLITE_INTEGER) {
        return std::nullopt;
    }
    return statement.integer(0);
}

}  // namespace measurement
