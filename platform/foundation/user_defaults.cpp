#include "platform/foundation/user_defaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/dispatch/main_loop_turn.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/atomic_file.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/defaults_changes.h"
#include "platform/foundation/file_contents.h"
#include "platform/foundation/file_lock.h"
#include "platform/foundation/launch_options.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/printable_text.h"
#include "platform/foundation/process_info.h"

namespace platform {

namespace {
// Has what waits for the end of a turn written at the process's normal exit.
void writeDeferredAtExit();

// The suite files whose latest write failed, with why: what this process
// set there is not what the next start reads. Kept apart from the stores,
// which go with their last handle, and under a lock of its own, taken
// under a store's.
struct UnsavedRecord {
    std::mutex mutex;
    std::map<std::filesystem::path, std::string> files;
};

UnsavedRecord& unsavedRecord() {
    static UnsavedRecord* instance = new UnsavedRecord;  // outlives every static handle
    return *instance;
}

// What lies at a suite's path, read without following a link there: a
// link planted at it would have another file (another user's, say) read
// in as this one's preferences.
struct SuiteFile {
    enum class Found { nothing, file, link, other };
    Found found = Found::nothing;
    // The file's bytes; none when it is not there, is no file to read, or
    // a read failed (`why` says which).
    std::optional<std::string> bytes;
    std::string why;
};

SuiteFile readSuiteFile(const std::filesystem::path& path) {
    SuiteFile suite;
    // Opened without waiting, so that a fifo without a writer does not hold
    // the reader, then checked before anything is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        const int error = errno;
        struct stat info {};
        const bool there = ::lstat(path.c_str(), &info) == 0;
        suite.found = !there                   ? SuiteFile::Found::nothing
                      : S_ISLNK(info.st_mode) ? SuiteFile::Found::link
                      : S_ISREG(info.st_mode) ? SuiteFile::Found::file
                                              : SuiteFile::Found::other;
        suite.why = suite.found == SuiteFile::Found::link    ? "it is a link, which is not followed"
                    : suite.found == SuiteFile::Found::other ? "it is no regular file"
                                                             : std::string("cannot be read: ") + std::strerror(error);
        return suite;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        suite.found = SuiteFile::Found::other;
        suite.why = "it is no regular file";
        ::close(fd);
        return suite;
    }
    suite.found = SuiteFile::Found::file;
    suite.bytes = readToEnd(fd);
    if (!suite.bytes) suite.why = std::string("cannot be read: ") + std::strerror(errno);
    ::close(fd);
    return suite;
}

void recordWrite(const std::filesystem::path& file, const std::optional<std::string>& failure) {
    auto& record = unsavedRecord();
    std::lock_guard lock(record.mutex);
    if (failure) {
        record.files.insert_or_assign(file, *failure);
    } else {
        record.files.erase(file);
    }
}
}  // namespace

namespace detail {

// The in-memory copy of one suite file. All handles on the file share it; its
// mutex covers both the dictionary and the file. Other processes write the
// same file: a write takes their turn under the lock of "<file>.lock", reads
// the file as it stands, lays this process's changes over it and takes in
// the rest, so that no writer loses another's keys.
class DefaultsStore : public std::enable_shared_from_this<DefaultsStore> {
public:
    explicit DefaultsStore(std::filesystem::path file) : file_(std::move(file)) { load(); }
    // Changes that wait for the end of a turn reach the file all the same.
    ~DefaultsStore() { writeDeferred(); }

    const std::filesystem::path& file() const { return file_; }

    std::optional<Value> get(const std::string& key) {
        std::lock_guard lock(mutex_);
        auto it = values().find(key);
        if (it == values().end()) return std::nullopt;
        return it->second;
    }

    bool read(const std::string& key, const std::function<void(const Value&)>& reader) {
        std::lock_guard lock(mutex_);
        auto it = values().find(key);
        if (it == values().end()) return false;
        reader(it->second);
        return true;
    }

    Value::Dictionary all() {
        std::lock_guard lock(mutex_);
        return values();
    }

    bool set(const std::string& key, Value value) {
        std::lock_guard lock(mutex_);
        auto it = values().find(key);
        if (it != values().end() && it->second == value && isCurrentLocked()) return true;
        values().insert_or_assign(key, std::move(value));
        changes_.keyChanged(key);
        return changedLocked();
    }

    bool setEntries(const std::string& key, Value::Dictionary dictionary, const std::vector<std::string>& entries) {
        std::lock_guard lock(mutex_);
        auto it = values().find(key);
        if (it != values().end() && it->second == Value(dictionary) && isCurrentLocked()) return true;
        values().insert_or_assign(key, Value(std::move(dictionary)));
        changes_.entriesChanged(key, entries);
        return changedLocked();
    }

    bool replace(const std::string& key, const std::function<Value()>& make) {
        std::lock_guard lock(mutex_);
        values().erase(key);
        changes_.keyChanged(key);
        Value value = make();
        if (const auto problem = propertyListProblem(value)) {
            // Not written: the file keeps the old value until the next write.
            reportLocked("refused to store \"" + key + "\": " + *problem);
            return false;
        }
        values().insert_or_assign(key, std::move(value));
        return changedLocked();
    }

    bool remove(const std::string& key) {
        std::lock_guard lock(mutex_);
        if (values().erase(key) == 0 && isCurrentLocked()) return true;
        changes_.keyChanged(key);
        return changedLocked();
    }

    bool clear() {
        std::lock_guard lock(mutex_);
        if (values().empty() && isCurrentLocked()) return true;
        values().clear();
        changes_.cleared();
        return changedLocked();
    }

    bool synchronize() {
        std::lock_guard lock(mutex_);
        deferred_ = false;
        return writeLocked();
    }

    // Whether changes wait for the end of the main loop's turn.
    bool waitsForTurn() {
        std::lock_guard lock(mutex_);
        return deferred_;
    }

    void writeDeferred() {
        std::lock_guard lock(mutex_);
        if (!deferred_) return;
        deferred_ = false;
        writeLocked();
    }

    bool refuse(const std::string& message) {
        std::lock_guard lock(mutex_);
        reportLocked(message);
        return false;
    }

    std::vector<std::string> diagnostics() {
        std::lock_guard lock(mutex_);
        return diagnostics_;
    }

private:
    // The file, or its lock file, as it reads in messages.
    std::string lockPath() const { return file_.string() + kLockSuffix; }
    Value::Dictionary& values() { return root_.asDictionary(); }

    // Memory holds what the file held when last read or written, and
    // nothing of its own that the file lacks: a change that makes memory
    // what it already is then changes nothing.
    bool isCurrentLocked() const { return changes_.empty() && FileStamp::of(file_) == stamp_; }

    void load() {
        std::lock_guard lock(mutex_);
        stamp_ = FileStamp::of(file_);
        std::string why;
        if (auto read = readSuiteLocked(&why)) {
            root_ = Value(std::move(*read));
            return;
        }
        if (why.empty()) return;
        // Set aside in the writers' turn: what looked damaged may be a
        // file another process has written whole since.
        if (!takeTurnLocked([this] {
                std::string again;
                if (!readSuiteLocked(&again) && !again.empty()) setAside(again);
            })) {
            reportLocked("preferences file " + file_.string() + " is damaged (" + why + ") and was left in place");
        }
    }

    // The file's dictionary, its bytes marked as the ones last seen; none
    // when there is no file (`why` left empty) or when it is damaged or
    // none to read, a link among them (`why` says how).
    std::optional<Value::Dictionary> readSuiteLocked(std::string* why) {
        const auto suite = readSuiteFile(file_);
        why->clear();
        if (suite.found == SuiteFile::Found::nothing) return std::nullopt;
        if (suite.bytes) seen_ = ContentMark::of(*suite.bytes);
        return parseSuite(suite, why);
    }

    static std::optional<Value::Dictionary> parseSuite(const SuiteFile& suite, std::string* why) {
        *why = suite.why;
        if (!suite.bytes) return std::nullopt;
        auto parsed = parsePropertyList(*suite.bytes, why);
        if (parsed && parsed->isDictionary()) return std::move(parsed->asDictionary());
        if (parsed) *why = "its root is no dictionary";
        return std::nullopt;
    }

    // In the writers' turn: takes in what other processes wrote since this
    // one last read or wrote the file, this process's changes laid over it.
    // Without a file to go by (none yet, one set aside as damaged, a link
    // there, set aside unread, or something else than a file, which the
    // write replaces or not as it can), this process's own view is what
    // there is.
    void takeInFileLocked() {
        const auto suite = readSuiteFile(file_);
        if (suite.found == SuiteFile::Found::nothing || suite.found == SuiteFile::Found::other) return;
        // As this process left it or read it: memory holds it already.
        if (suite.bytes && ContentMark::of(*suite.bytes) == seen_) return;
        std::string why;
        auto theirs = parseSuite(suite, &why);
        if (!theirs) {
            setAside(why);
            return;
        }
        changes_.applyOnto(*theirs, values());
        root_ = Value(std::move(*theirs));
    }

    // A damaged file is kept beside the suite for inspection rather than
    // overwritten by the next change; the suite starts empty.
    void setAside(const std::string& why) {
        std::string failure;
        auto aside = setFileAside(file_, &failure);
        if (!aside) {
            reportLocked("preferences file " + file_.string() + " is damaged (" + why +
                         ") and could not be set aside: " + failure);
            return;
        }
        reportLocked("preferences file " + file_.string() + " is damaged (" + why + "); moved to " +
                     aside->string() + " and started empty");
    }

    // Runs `work` holding the lock between the processes that write the
    // file. What lies at the lock file's place that is no regular file (a
    // folder, a link) is set aside first, and said; a lock file this user
    // cannot open fails the turn, as a write without the lock could lose
    // another's change. Only where the folder takes no write at all (no
    // lock file can be made there) does the work go ahead without it, and
    // fails as every write there does. A wait is said as it begins; once
    // one has run out, the next writes only try, so that no command waits
    // out the whole bound twice for one stopped holder. False, with why in
    // *failure, when the lock was not taken.
    bool takeTurnLocked(const std::function<void()>& work, std::string* failure = nullptr) {
        std::error_code ec;
        std::filesystem::create_directories(file_.parent_path(), ec);
        FileLock turn(lockPath());
        std::string setAside, unopened;
        if (!turn.openForLocking(&setAside, &unopened)) {
            if (failure) *failure = unopened;
            return false;
        }
        if (!setAside.empty()) reportLocked(setAside);
        if (turn.isOpen()) {
            const bool onlyTry = lockGivenUp_;
            const double limit = onlyTry ? 0 : FileLock::waitLimit();
            const bool taken = turn.lockWithin(FileLock::Kind::exclusive, limit, [&] {
                // One write, so that processes waiting together do not mix
                // their lines.
                if (limit > 0) {
                    std::cerr << "user defaults: " +
                                     printable("waiting for the lock of " + file_.string() + ", held by " +
                                               turn.otherHolders() + ", for up to " +
                                               FileLock::secondsText(limit)) +
                                     '\n';
                }
            });
            if (!taken) {
                if (failure) *failure = lockFailure(turn, limit, onlyTry);
                lockGivenUp_ = lockGivenUp_ || turn.error() == std::errc::timed_out;
                return false;
            }
            lockGivenUp_ = false;
        }
        work();
        return true;
    }

    std::string lockFailure(const FileLock& turn, double limit, bool onlyTried) const {
        if (turn.error() != std::errc::timed_out) return "cannot lock " + turn.path() + ": " + turn.error().message();
        if (onlyTried) {
            return turn.path() + " is still locked by " + turn.otherHolders() +
                   ", for which this process waited in vain before";
        }
        return turn.path() + " stayed locked by " + turn.otherHolders() + " for " + FileLock::secondsText(limit);
    }

    // A change the main thread makes during a turn of the main loop waits
    // for the turn's end, where every change of the turn is written at
    // once; any other is written now. Answers false only for a write that
    // failed.
    bool changedLocked() {
        if (!dispatch::isMainThread() || !dispatch::MainLoopTurn::isOpen()) return writeLocked();
        if (!deferred_) {
            deferred_ = true;
            writeDeferredAtExit();
            dispatch::MainLoopTurn::atEnd([weak = weak_from_this()] {
                if (auto store = weak.lock()) store->writeDeferred();
            });
        }
        return true;
    }

    bool writeLocked() {
        if (changes_.empty()) return true;
        std::string why;
        bool written = false;
        if (takeTurnLocked([&] { written = mergeAndWriteLocked(&why); }, &why) && written) {
            recordWrite(file_, std::nullopt);
            return true;
        }
        reportLocked("cannot save preferences: " + why);
        recordWrite(file_, why);
        return false;
    }

    // In the writers' turn: this process's changes laid over the file as it
    // stands, and the result written whole. Memory takes in what the others
    // wrote, whether the write succeeds or not; the changes stay for the
    // next write when it fails.
    bool mergeAndWriteLocked(std::string* why) {
        takeInFileLocked();
        // Each value was checked as it was set; together they may still be
        // more than a reader takes, and the file would be set aside whole.
        if (auto problem = propertyListProblem(root_)) {
            *why = *problem;
            return false;
        }
        const std::string bytes = writePropertyListBinary(root_);
        if (!writeFileAtomically(file_, bytes, 0644, why)) return false;
        changes_.reset();
        seen_ = ContentMark::of(bytes);
        stamp_ = FileStamp::of(file_);
        return true;
    }

    // Said once for as long as it stays the same: a folder that takes no
    // write fails every change of a run in the same words.
    void reportLocked(const std::string& message) {
        // What it quotes (a path, a holder's name) is escaped: one line,
        // nothing for the terminal.
        if (diagnostics_.empty() || diagnostics_.back() != message) {
            std::cerr << "user defaults: " + printable(message) + '\n';
        }
        diagnostics_.push_back(message);
    }

    static constexpr const char* kLockSuffix = ".lock";

    std::mutex mutex_;
    const std::filesystem::path file_;
    Value root_{Value::Dictionary{}};
    std::vector<std::string> diagnostics_;
    // What this process changed since its last write: memory holds what the
    // file does not, a change not written yet or one whose write failed.
    DefaultsChanges changes_;
    // The file as last read or written, and its bytes.
    FileStamp stamp_;
    ContentMark seen_;
    // A wait for the writers' lock ran out and no write has taken it since.
    bool lockGivenUp_ = false;
    // A write waits for the end of the turn in which a change was made.
    bool deferred_ = false;
};

}  // namespace detail

namespace {

struct Registry {
    std::mutex mutex;
    std::optional<std::filesystem::path> directory;
    std::map<std::filesystem::path, std::weak_ptr<detail::DefaultsStore>> stores;
};

Registry& registry() {
    static Registry* instance = new Registry;  // outlives every static handle
    return *instance;
}

// A process that ends normally inside a turn (exit() from a command) writes
// what waited for the turn's end.
void writeEveryDeferredStore() {
    std::vector<std::shared_ptr<detail::DefaultsStore>> live;
    {
        auto& reg = registry();
        std::lock_guard lock(reg.mutex);
        for (const auto& [file, weak] : reg.stores) {
            if (auto store = weak.lock()) live.push_back(std::move(store));
        }
    }
    for (const auto& store : live) store->writeDeferred();
}

void writeDeferredAtExit() {
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(writeEveryDeferredStore); });
}

// Beside the application-support folder, in the default data folder.
std::filesystem::path defaultDataDirectory() {
    const auto options = LaunchOptions::current();
    if (options.preferencesFolder) return *options.preferencesFolder;
    return ProcessInfo::defaultApplicationSupportDirectory().parent_path() / "Preferences";
}

// Suite names become file names: anything but letters, digits, '-', '_' and
// an inner '.' is percent-encoded, so no name can leave the data directory.
std::string fileNameForSuite(const std::string& suiteName) {
    std::string name = suiteName;
    if (name.empty()) name = Bundle::main().bundleIdentifier();
    if (name.empty()) name = "standard";
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        bool plain = std::isalnum(c) || c == '-' || c == '_' || (c == '.' && i > 0);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out + ".plist";
}

std::shared_ptr<detail::DefaultsStore> openStore(const std::filesystem::path& file) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    for (auto it = reg.stores.begin(); it != reg.stores.end();) {
        it = it->second.expired() ? reg.stores.erase(it) : std::next(it);
    }
    auto& slot = reg.stores[file];
    if (auto existing = slot.lock()) return existing;
    auto store = std::make_shared<detail::DefaultsStore>(file);
    slot = store;
    return store;
}


template <class T>
std::optional<T> parseWhole(const std::string& text) {
    T result{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return result;
}

std::optional<std::int64_t> truncated(double d) {
    if (std::isnan(d)) return std::nullopt;
    if (d >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (d < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}

}  // namespace

UserDefaults::UserDefaults() : UserDefaults(std::string()) {}

UserDefaults::UserDefaults(const std::string& suiteName)
    : suiteName_(suiteName), store_(openStore(fileForSuite(suiteName))) {}

void UserDefaults::setDataDirectory(const std::filesystem::path& directory) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    if (directory.empty()) {
        reg.directory.reset();
    } else {
        reg.directory = directory;
    }
}

ScopedDataDirectory::ScopedDataDirectory(const std::filesystem::path& directory) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    previous_ = std::exchange(reg.directory, directory);
}

ScopedDataDirectory::~ScopedDataDirectory() {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    reg.directory = previous_;
}

std::filesystem::path UserDefaults::dataDirectory() {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    return reg.directory ? *reg.directory : defaultDataDirectory();
}

std::filesystem::path UserDefaults::fileForSuite(const std::string& suiteName) {
    auto file = dataDirectory() / fileNameForSuite(suiteName);
    std::error_code ec;
    auto absolute = std::filesystem::absolute(file, ec);  // fails only without a working directory
    return (ec ? file : absolute).lexically_normal();
}

const std::filesystem::path& UserDefaults::filePath() const { return store_->file(); }

std::optional<Value> UserDefaults::objectForKey(const std::string& key) const { return store_->get(key); }

bool UserDefaults::boolForKey(const std::string& key) const {
    auto value = objectForKey(key);
    return value ? defaultsBool(*value).value_or(false) : false;
}

std::int64_t UserDefaults::integerForKey(const std::string& key) const {
    auto value = objectForKey(key);
    return value ? defaultsInteger(*value).value_or(0) : 0;
}

double UserDefaults::doubleForKey(const std::string& key) const {
    auto value = objectForKey(key);
    return value ? defaultsDouble(*value).value_or(0) : 0;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    auto value = objectForKey(key);
    return value ? defaultsString(*value) : std::nullopt;
}

std::optional<Value::Array> UserDefaults::arrayForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value || !value->isArray()) return std::nullopt;
    return std::move(value->asArray());
}

std::optional<Value::Dictionary> UserDefaults::dictionaryForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value || !value->isDictionary()) return std::nullopt;
    return std::move(value->asDictionary());
}

std::optional<Data> UserDefaults::dataForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value || !value->isData()) return std::nullopt;
    return value->asData();
}

std::optional<Date> UserDefaults::dateForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value || !value->isDate()) return std::nullopt;
    return value->asDate();
}

Value::Dictionary UserDefaults::dictionaryRepresentation() const { return store_->all(); }

bool UserDefaults::setObject(Value value, const std::string& key) {
    if (value.isNull()) return removeObjectForKey(key);
    if (const auto problem = propertyListProblem(value)) {
        return store_->refuse("refused to store \"" + key + "\": " + *problem);
    }
    return store_->set(key, std::move(value));
}

bool UserDefaults::setDictionaryEntries(Value::Dictionary dictionary, const std::vector<std::string>& changedEntries,
                                        const std::string& key) {
    if (const auto problem = propertyListProblem(Value(dictionary))) {
        return store_->refuse("refused to store \"" + key + "\": " + *problem);
    }
    return store_->setEntries(key, std::move(dictionary), changedEntries);
}

bool UserDefaults::replaceObject(const std::string& key, const std::function<Value()>& make) {
    return store_->replace(key, make);
}

bool UserDefaults::readObject(const std::string& key, const std::function<void(const Value&)>& read) const {
    return store_->read(key, read);
}

bool UserDefaults::synchronize() { return store_->synchronize(); }

std::vector<UserDefaults::UnsavedSuite> UserDefaults::unsavedSuites() {
    writeEveryDeferredStore();
    // Every suite file of the current data directory lies in one folder.
    const auto folder = fileForSuite("standard").parent_path();
    std::vector<UnsavedSuite> unsaved;
    auto& record = unsavedRecord();
    std::lock_guard lock(record.mutex);
    for (const auto& [file, why] : record.files) {
        if (file.parent_path() == folder) unsaved.push_back({file, why});
    }
    return unsaved;
}

void UserDefaults::whenWritten(std::function<void(bool written)> done) {
    if (!store_->waitsForTurn()) {
        done(store_->synchronize());
        return;
    }
    // Put off after the store's own write at the turn's end.
    dispatch::MainLoopTurn::atEnd([store = std::weak_ptr(store_), done = std::move(done)] {
        auto alive = store.lock();
        done(alive && alive->synchronize());
    });
}

bool UserDefaults::removeObjectForKey(const std::string& key) { return store_->remove(key); }

bool UserDefaults::removeAllObjects() { return store_->clear(); }

std::vector<std::string> UserDefaults::diagnostics() const { return store_->diagnostics(); }

std::optional<bool> defaultsBool(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Bool:
        case Value::Kind::Int: return value.boolValue();
        case Value::Kind::Real:
            if (std::isnan(value.realValue())) return std::nullopt;
            return value.boolValue();
        case Value::Kind::String: {
            const auto& s = value.asString();
            if (s == "YES" || s == "yes" || s == "true" || s == "TRUE") return true;
            if (s == "NO" || s == "no" || s == "false" || s == "FALSE") return false;
            if (auto i = defaultsInteger(value)) return *i != 0;
            return std::nullopt;
        }
        default: return std::nullopt;
    }
}

std::optional<std::int64_t> defaultsInteger(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Bool:
        case Value::Kind::Int: return value.intValue();
        case Value::Kind::Real: return truncated(value.realValue());
        case Value::Kind::String: {
            if (auto i = parseWhole<std::int64_t>(value.asString())) return i;
            if (auto d = parseWhole<double>(value.asString())) return truncated(*d);
            return std::nullopt;
        }
        default: return std::nullopt;
    }
}

std::optional<double> defaultsDouble(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Bool:
        case Value::Kind::Int:
        case Value::Kind::Real: return value.realValue();
        case Value::Kind::String: return parseWhole<double>(value.asString());
        default: return std::nullopt;
    }
}

std::optional<std::string> defaultsString(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::String: return value.asString();
        case Value::Kind::Bool:
        case Value::Kind::Int: return std::to_string(value.intValue());
        case Value::Kind::Real: {
            char buffer[32];
            auto result = std::to_chars(buffer, buffer + sizeof buffer, value.realValue());
            return std::string(buffer, result.ptr);
        }
        default: return std::nullopt;
    }
}

}  // namespace platform
