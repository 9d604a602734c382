#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform {

namespace detail {
class DefaultsStore;
}

// Preferences: a dictionary of property-list values kept in one file per
// suite under the data directory. A UserDefaults object is a cheap handle;
// every handle on the same file in this process shares one store, so a write
// through one is seen by all the others at once. Any thread may use any
// handle. The file is rewritten whole through a temporary file and a rename,
// so the file on disk is always a complete property list. Processes that
// share the file take turns under an exclusive lock of "<file>.lock": a
// write reads the file as it stands, lays over it only the keys this
// process set or removed since its last write, and takes in the rest, so
// that no process loses another's change. What lies at the lock file's
// place that is no regular file (a folder, a link) is set aside and said; a
// lock file this process cannot open fails the write, which never goes
// ahead without the lock but in a folder that takes no write at all. A
// wait for that lock lasts up to FileLock::waitLimit(), after which the
// write fails (and the next ones of the process only try it, until one
// takes it). The changes the main thread makes during a turn of the main loop
// (platform::dispatch::MainLoopTurn: a block of the main queue, a command
// of the application) are written together, once, when the turn ends, or
// sooner by synchronize(); the process's normal exit writes them too. A
// change made outside a turn (by another thread, or by a process that runs
// no loop) is written at once.
class UserDefaults {
public:
    // The standard suite: the application's own preferences.
    UserDefaults();
    // A named suite; the empty name is the standard suite.
    explicit UserDefaults(const std::string& suiteName);
    static UserDefaults standard() { return UserDefaults(); }

    // The folder that holds the suite files, process-wide. Its default is, in
    // order: the launch options' preferences folder ($VELMORA_PREFERENCES),
    // $XDG_DATA_HOME/velmora/Preferences, ~/.local/share/velmora/Preferences.
    // An empty path restores the default. Handles made before a change keep
    // their file.
    static void setDataDirectory(const std::filesystem::path& directory);
    static std::filesystem::path dataDirectory();
    // The file a suite lives in under the current data directory.
    static std::filesystem::path fileForSuite(const std::string& suiteName);

    const std::string& suiteName() const { return suiteName_; }
    const std::filesystem::path& filePath() const;

    // Reads. The typed reads convert between numbers, Booleans and their
    // texts as preferences usually do; the container reads answer only a
    // value of their own kind.
    std::optional<Value> objectForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;             // false when absent
    std::int64_t integerForKey(const std::string& key) const;  // 0 when absent
    double doubleForKey(const std::string& key) const;         // 0 when absent
    std::optional<std::string> stringForKey(const std::string& key) const;
    std::optional<Value::Array> arrayForKey(const std::string& key) const;
    std::optional<Value::Dictionary> dictionaryForKey(const std::string& key) const;
    std::optional<Data> dataForKey(const std::string& key) const;
    std::optional<Date> dateForKey(const std::string& key) const;
    Value::Dictionary dictionaryRepresentation() const;

    // Writes. The change is kept in memory at once. Each answers false when
    // the value is refused or the change was written and the write failed;
    // a change left for the end of the turn answers true (synchronize() and
    // whenWritten() tell whether it reached the file). A null value removes
    // the key; a value that holds a null anywhere inside cannot be a
    // property list and is refused.
    bool setObject(Value value, const std::string& key);
    bool setBool(bool value, const std::string& key) { return setObject(Value(value), key); }
    bool setInteger(std::int64_t value, const std::string& key) { return setObject(Value(static_cast<long long>(value)), key); }
    bool setDouble(double value, const std::string& key) { return setObject(Value(value), key); }
    bool removeObjectForKey(const std::string& key);
    // Removes every key of the suite, those other processes wrote before
    // the write included.
    bool removeAllObjects();
    // Sets a dictionary under the key of which only the entries named
    // changed (one named and absent from the dictionary was removed): a
    // write lays those entries over the dictionary the file holds under the
    // key then, so that the entries another process changed meanwhile stay;
    // where the file holds no dictionary there, the whole one is written.
    // For a dictionary that processes change entry by entry (consent).
    bool setDictionaryEntries(Value::Dictionary dictionary, const std::vector<std::string>& changedEntries,
                              const std::string& key);
    // Puts a new value under the key, letting the old one go before `make`
    // makes the new one, so that a large value is never held twice. `make`
    // runs under the suite's lock and must not use the suite. A made value
    // that is no property list is refused and leaves the key without one.
    bool replaceObject(const std::string& key, const std::function<Value()>& make);
    // Reads the value under the key where it is kept, without a copy: `read`
    // runs under the suite's lock and must not use the suite. Answers
    // whether the key holds a value.
    bool readObject(const std::string& key, const std::function<void(const Value&)>& read) const;

    // Writes now the changes that wait for the end of the turn, and tries
    // again one whose write failed; answers whether the file holds every
    // change made so far.
    bool synchronize();
    // Calls `done` with what synchronize() answers once the changes made so
    // far are written: right after the write at the end of the turn when
    // they wait for it, else at once.
    void whenWritten(std::function<void(bool written)> done);

    // The suite files of the current data directory whose latest write
    // failed, with why, once what waits for the end of a turn is written:
    // what this process set there is not what the next start reads. A
    // program says so before it reports success.
    struct UnsavedSuite {
        std::filesystem::path file;
        std::string why;
    };
    static std::vector<UnsavedSuite> unsavedSuites();

    // What went wrong with this suite's file so far (a damaged file set aside,
    // a write that failed), oldest first. Each is also printed to stderr.
    std::vector<std::string> diagnostics() const;

private:
    std::string suiteName_;
    std::shared_ptr<detail::DefaultsStore> store_;
};

// Points the preferences at another folder for as long as it lives, then
// restores the folder that was set before; tests and tools use it.
class ScopedDataDirectory {
public:
    explicit ScopedDataDirectory(const std::filesystem::path& directory);
    ~ScopedDataDirectory();
    ScopedDataDirectory(const ScopedDataDirectory&) = delete;
    ScopedDataDirectory& operator=(const ScopedDataDirectory&) = delete;

private:
    std::optional<std::filesystem::path> previous_;
};

// Conversions behind the typed reads, shared with the typed keys.
std::optional<bool> defaultsBool(const Value& value);
std::optional<std::int64_t> defaultsInteger(const Value& value);
std::optional<double> defaultsDouble(const Value& value);
std::optional<std::string> defaultsString(const Value& value);

}  // namespace platform
