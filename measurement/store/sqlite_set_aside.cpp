// Setting aside a database file that can never be used, and telling one.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/sqlite_store.h"

namespace measurement {

namespace {

using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;

// Beside the file: what SQLite keeps with it, renamed along so that a new
// file made at the path never takes the old one's log.
constexpr const char* kCompanionSuffixes[] = {"-wal", "-shm", "-journal"};

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

// The first of "<path>.corrupt", "<path>.corrupt-2"... free for the file and
// each of its companions.
std::string asideName(const std::string& path) {
    for (int n = 1;; ++n) {
        const std::string aside = path + kAPMSqliteStoreSetAsideSuffix + (n == 1 ? "" : "-" + std::to_string(n));
        bool free = !present(aside);
        for (const char* suffix : kCompanionSuffixes) free = free && !present(aside + suffix);
        if (free) return aside;
    }
}

enum class Outcome { setAside, replacedMeanwhile, failed };

// Renames the file with its companions, when the path still names the one
// examined. Every process that sets a file aside holds an exclusive lock on
// it from the check to the rename, so one that comes second finds another
// file at the path (or none) and leaves it. Something that cannot be opened
// at all (a socket) is only compared.
Outcome renameAside(const std::string& path, const FileIdentity& examined, std::string* aside, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT) return Outcome::replacedMeanwhile;
    if (fd >= 0) {
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    struct stat held {};
    const bool same = (fd < 0 || (::fstat(fd, &held) == 0 && identityOf(held) == examined)) &&
                      identityAt(path) == examined;
    Outcome outcome = same ? Outcome::setAside : Outcome::replacedMeanwhile;
    if (same) {
        *aside = asideName(path);
        // The companions first: while the file is still at the path, no
        // one opening the path can take the old log into a new file.
        std::vector<std::string> moved;
        std::error_code ec;
        for (const char* suffix : kCompanionSuffixes) {
            if (!present(path + suffix)) continue;
            std::filesystem::rename(path + suffix, *aside + suffix, ec);
            if (ec) break;
            moved.push_back(suffix);
        }
        if (!ec) std::filesystem::rename(path, *aside, ec);
        if (ec) {
            *why = ec.message();
            outcome = Outcome::failed;
            for (const auto& suffix : moved) std::filesystem::rename(*aside + suffix, path + suffix, ec);
        } else {
            std::filesystem::remove(path + kAPMSqliteStoreDamageMarkSuffix, ec);
        }
    }
    if (fd >= 0) ::close(fd);
    return outcome;
}

// False when the file is still at the path; logged either way.
bool setAsideLogged(const std::string& path, const std::optional<FileIdentity>& examined, const std::string& reason) {
    std::string aside, why = "the file at the path cannot be told apart";
    const Outcome outcome = examined ? renameAside(path, *examined, &aside, &why) : Outcome::failed;
    if (outcome == Outcome::setAside) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSqliteStoreSetAsideCode,
                                          "Database cannot be used. Set aside as, reason", platform::Value(aside),
                                          platform::Value(reason));
    } else if (outcome == Outcome::failed) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSqliteStoreSetAsideFailedCode,
                                          "Database cannot be used and could not be set aside. Path, reason",
                                          platform::Value(path), platform::Value(reason + "; " + why));
    }
    return outcome != Outcome::failed;
}

}  // namespace

// SQLite cannot open a folder or a fifo as a database, and never will.
void APMSqliteStore::setAsideWhatIsNoFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return;
    setAsideLogged(path, identityOf(info), S_ISDIR(info.st_mode) ? "it is a folder" : "it is no regular file");
}

void APMSqliteStore::noteFileIdentity() { fileIdentity_ = identityAt(path_); }

bool APMSqliteStore::setAsideAndReopen(const std::string& reason, APMErrorOut error) {
    std::lock_guard lock(mutex_);
    const auto examined = fileIdentity_;
    // Closing would otherwise delete the log and shared memory by their
    // names, which another process may already have given to a new file.
    if (db_) {
        int persist = 1;
        sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    }
    close();
    if (!setAsideLogged(path_, examined, reason)) {
        APMSetError(error, kAPMSqliteStoreOpenCode, "Failed to set aside a database that cannot be used");
        return false;
    }
    return open(error);
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
            sqlite3_stmt* statement = nullptr;
            int rc = sqlite3_prepare_v2(db_, text.c_str(), static_cast<int>(text.size()), &statement, nullptr);
            if (rc == SQLITE_OK) rc = sqlite3_step(statement);
            const int primary = rc & 0xff;
            if (rc == SQLITE_DONE && sqlite3_changes(db_) == 0) {
                refusal = "it stores nothing for \"" + text + "\"";
            } else if (primary == SQLITE_CONSTRAINT || primary == SQLITE_ERROR) {
                refusal = "it refuses \"" + text + "\": " + sqlite3_errmsg(db_);
            } else if (rc != SQLITE_DONE) {
                failure = apm_errorWithCode(kAPMSqliteStoreStatementCode, "Failed to execute statement",
                                            platform::Value(text + ": " + sqlite3_errmsg(db_)));
            }
            sqlite3_finalize(statement);
            if (refusal || failure) break;
        }
        return false;  // tried, never kept
    });
    if (!tried) failure = transactionFailure;
    if (!refusal && failure && error) *error = failure;
    return refusal;
}

bool APMSqliteStore::answersTrue(const std::string& query, const APMBindings& parameterValues) {
    std::lock_guard lock(mutex_);
    if (!db_) return false;
    sqlite3_stmt* statement = nullptr;
    bool answer = false;
    if (sqlite3_prepare_v2(db_, query.c_str(), static_cast<int>(query.size()), &statement, nullptr) == SQLITE_OK &&
        statement && sqlite3_stmt_readonly(statement) && bind(statement, parameterValues, nullptr) &&
        sqlite3_step(statement) == SQLITE_ROW) {
        answer = sqlite3_column_type(statement, 0) == SQLITE_INTEGER && sqlite3_column_int64(statement, 0) != 0;
    }
    sqlite3_finalize(statement);
    return answer;
}

}  // namespace measurement
