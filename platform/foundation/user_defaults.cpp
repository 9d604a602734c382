#include "platform/foundation/user_defaults.h"


#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/foundation/atomic_file.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/launch_options.h"
#include "platform/foundation/plist_codec.h"

namespace platform {

namespace detail {

// The in-memory copy of one suite file. All handles on the file share it; its
// mutex covers both the dictionary and the file, so the file always holds the
// result of the latest change.
class DefaultsStore {
public:
    explicit DefaultsStore(std::filesystem::path file) : file_(std::move(file)) { load(); }

    const std::filesystem::path& file() const { return file_; }

    std::optional<Value> get(const std::string& key) {
        std::lock_guard lock(mutex_);
        auto it = values_.find(key);
        if (it == values_.end()) return std::nullopt;
        return it->second;
    }

    Value::Dictionary all() {
        std::lock_guard lock(mutex_);
        return values_;
    }

    bool set(const std::string& key, const Value& value) {
        std::lock_guard lock(mutex_);
        auto it = values_.find(key);
        if (it != values_.end() && it->second == value && onDisk_) return true;
        values_[key] = value;
        return persistLocked();
    }

    bool remove(const std::string& key) {
        std::lock_guard lock(mutex_);
        if (values_.erase(key) == 0 && onDisk_) return true;
        return persistLocked();
    }

    bool clear() {
        std::lock_guard lock(mutex_);
        if (values_.empty() && onDisk_) return true;
        values_.clear();
        return persistLocked();
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
    void load() {
        std::error_code ec;
        if (!std::filesystem::exists(file_, ec)) return;
        std::string why = std::filesystem::is_regular_file(file_, ec) ? "cannot be read" : "it is no regular file";
        if (auto bytes = readFile(file_)) {
            auto parsed = parsePropertyList(*bytes, &why);
            if (parsed && parsed->isDictionary()) {
                values_ = std::move(parsed->asDictionary());
                return;
            }
            if (parsed) why = "its root is no dictionary";
        }
        setAside(why);
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

    bool persistLocked() {
        onDisk_ = writeAtomically(writePropertyListBinary(Value(values_)));
        return onDisk_;
    }

    bool writeAtomically(const std::string& bytes) {
        std::string why;
        if (writeFileAtomically(file_, bytes, 0644, &why)) return true;
        reportLocked("cannot save preferences: " + why);
        return false;
    }

    void reportLocked(const std::string& message) {
        std::cerr << "user defaults: " << message << '\n';
        diagnostics_.push_back(message);
    }

    std::mutex mutex_;
    const std::filesystem::path file_;
    Value::Dictionary values_;
    std::vector<std::string> diagnostics_;
    bool onDisk_ = true;
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

std::filesystem::path defaultDataDirectory() {
    const auto options = LaunchOptions::current();
    if (options.preferencesFolder) return *options.preferencesFolder;
    if (options.xdgDataHome && options.xdgDataHome->front() == '/') {
        return std::filesystem::path(*options.xdgDataHome) / "velmora" / "Preferences";
    }
    if (options.home) return std::filesystem::path(*options.home) / ".local" / "share" / "velmora" / "Preferences";
    return std::filesystem::temp_directory_path() / "velmora" / "Preferences";
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

bool UserDefaults::setObject(const Value& value, const std::string& key) {
    if (value.isNull()) return removeObjectForKey(key);
    if (const auto problem = propertyListProblem(value)) {
        return store_->refuse("refused to store \"" + key + "\": " + *problem);
    }
    return store_->set(key, value);
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
