#pragma once

// APMUserDefaults: the engine's view of one preferences suite.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/user_defaults.h"
#include "platform/foundation/value.h"

namespace measurement {

// The engine's view of one preferences suite. The suite lives in the
// platform's preferences, one file per suite shared with every other handle
// on it in the process (the application's own code included), so a write
// through one handle is seen by all the others at once; another process's
// writes to the file keep the keys this one changes, and this one's keep
// theirs (see platform::UserDefaults). Safe to use from any thread.
class APMUserDefaults {
public:
    // The application's own preferences (the standard suite). Handles are
    // cheap; every one reaches the same store.
    static APMUserDefaults sharedUserDefaults();
    // One named suite (the engine's TCF suite, the experiments suite).
    explicit APMUserDefaults(const std::string& suiteName);

    const std::string& suiteName() const { return defaults_.suiteName(); }

    std::optional<platform::Value> objectForKey(const std::string& key) const;
    // The stored object when it is a number (a Boolean counts as one), else
    // none.
    std::optional<platform::Value> numberForKey(const std::string& key) const;
    // The stored object when it is a string, else none.
    std::optional<std::string> stringForKey(const std::string& key) const;
    // 0 when absent or not a number (a Boolean reads 0 or 1).
    double doubleForKey(const std::string& key) const;

    // A null value removes the key. Each answers whether the change reached
    // the file; it is kept in memory either way.
    bool setObject(const platform::Value& value, const std::string& key);
    bool setBool(bool value, const std::string& key);
    bool setDouble(double value, const std::string& key);
    bool removeObjectForKey(const std::string& key);
    // Removes every key of the suite.
    bool clearAllData();

private:
    APMUserDefaults() = default;

    platform::UserDefaults defaults_;
};

}  // namespace measurement
