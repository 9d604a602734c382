#pragma once

#include <cstdint>
#include <filesystem>
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
// handle. Every change rewrites the whole file through a temporary file and a
// rename, so the file on disk is always a complete property list.
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

    // Writes. Each answers whether the change reached the file; the change is
    // kept in memory either way. A null value removes the key; a value that
    // holds a null anywhere inside cannot be a property list and is refused.
    bool setObject(const Value& value, const std::string& key);
    bool setBool(bool value, const std::string& key) { return setObject(Value(value), key); }
    bool setInteger(std::int64_t value, const std::string& key) { return setObject(Value(static_cast<long long>(value)), key); }
    bool setDouble(double value, const std::string& key) { return setObject(Value(value), key); }
    bool removeObjectForKey(const std::string& key);
    // Removes every key of the suite.
    bool removeAllObjects();

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
