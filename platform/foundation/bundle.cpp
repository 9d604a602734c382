#include "platform/foundation/bundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/foundation/file_contents.h"
#include "platform/foundation/json_codec.h"
#include "platform/foundation/launch_options.h"
#include "platform/foundation/plist_codec.h"

#ifndef VELMORA_DEFAULT_RESOURCES
#define VELMORA_DEFAULT_RESOURCES "velmora/resources"
#endif

namespace platform {

namespace {

std::mutex gMainMutex;
std::optional<std::filesystem::path> gMainOverride;

std::filesystem::path defaultMainPath() {
    std::lock_guard lock(gMainMutex);
    if (gMainOverride) return *gMainOverride;
    if (auto configured = LaunchOptions::current().resourcesFolder) return *configured;
    return VELMORA_DEFAULT_RESOURCES;
}

class StringsScanner {
public:
    explicit StringsScanner(const std::string& text) : s_(text) {}

    std::optional<std::map<std::string, std::string>> parse() {
        std::map<std::string, std::string> table;
        for (;;) {
            if (!skipSpaceAndComments()) return std::nullopt;
            if (pos_ >= s_.size()) return table;
            auto key = token();
            if (!key || !skipSpaceAndComments() || !consume('=') || !skipSpaceAndComments()) return std::nullopt;
            auto value = token();
            if (!value || !skipSpaceAndComments() || !consume(';')) return std::nullopt;
            table[*key] = *value;
        }
    }

private:
    bool consume(char c) {
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    // False on an unterminated block comment.
    bool skipSpaceAndComments() {
        while (pos_ < s_.size()) {
            char c = s_[pos_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                ++pos_;
            } else if (s_.compare(pos_, 2, "//") == 0) {
                while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;
            } else if (s_.compare(pos_, 2, "/*") == 0) {
                auto end = s_.find("*/", pos_ + 2);
                if (end == std::string::npos) return false;
                pos_ = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    std::optional<std::string> token() {
        if (consume('"')) return quoted();
        std::string bare;
        while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_' || s_[pos_] == '.')) {
            bare += s_[pos_++];
        }
        if (bare.empty()) return std::nullopt;
        return bare;
    }

    std::optional<std::string> quoted() {
        std::string out;
        while (pos_ < s_.size()) {
            char c = s_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= s_.size()) return std::nullopt;
            char e = s_[pos_++];
            switch (e) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                default: out += e; break;
            }
        }
        return std::nullopt;
    }

    const std::string& s_;
    std::size_t pos_ = 0;
};

std::optional<std::string> readRegularFile(const std::filesystem::path& path, int flags) {
    // Opened without waiting, so that a fifo without a writer does not hold
    // the caller, then checked before anything is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    std::optional<std::string> bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        bytes = readToEnd(fd);
    }
    ::close(fd);
    return bytes;
}

}  // namespace

std::optional<std::string> readFile(const std::filesystem::path& path) { return readRegularFile(path, 0); }

std::optional<std::string> readOwnFile(const std::filesystem::path& path) {
    return readRegularFile(path, O_NOFOLLOW);
}

std::optional<std::map<std::string, std::string>> parseStringsTable(const std::string& text) {
    return StringsScanner(text).parse();
}

Bundle::Bundle(std::filesystem::path resourcePath, std::string language)
    : resourcePath_(std::move(resourcePath)), language_(std::move(language)) {}

Bundle& Bundle::main() {
    static Bundle* bundle = new Bundle(defaultMainPath());
    return *bundle;
}

void Bundle::setMainResourcePath(const std::filesystem::path& path) {
    {
        std::lock_guard lock(gMainMutex);
        gMainOverride = path;
    }
    Bundle& bundle = main();
    std::lock_guard lock(bundle.mutex_);
    bundle.resourcePath_ = path;
    bundle.tables_.clear();
    bundle.info_.reset();
}

std::filesystem::path Bundle::resourcePath() const {
    std::lock_guard lock(mutex_);
    return resourcePath_;
}

std::string Bundle::language() const {
    std::lock_guard lock(mutex_);
    return language_;
}

std::vector<std::string> Bundle::localizations() const {
    std::vector<std::string> languages;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(resourcePath(), error)) {
        if (entry.path().extension() == ".lproj" && entry.is_directory(error)) {
            languages.push_back(entry.path().stem().string());
        }
    }
    std::sort(languages.begin(), languages.end());
    return languages;
}

void Bundle::setLanguage(std::string language) {
    std::lock_guard lock(mutex_);
    language_ = std::move(language);
    tables_.clear();
}

std::optional<std::filesystem::path> Bundle::pathForResource(const std::string& name, const std::string& type) const {
    std::string file = type.empty() ? name : name + "." + type;
    std::filesystem::path localized;
    std::filesystem::path root;
    {
        std::lock_guard lock(mutex_);
        localized = resourcePath_ / (language_ + ".lproj") / file;
        root = resourcePath_ / file;
    }
    std::error_code ec;
    if (std::filesystem::is_regular_file(localized, ec)) return localized;
    if (std::filesystem::is_regular_file(root, ec)) return root;
    return std::nullopt;
}

std::optional<std::string> Bundle::contentsOfResource(const std::string& name, const std::string& type) const {
    auto path = pathForResource(name, type);
    if (!path) return std::nullopt;
    return readFile(*path);
}

std::optional<Value> Bundle::jsonResource(const std::string& name) const {
    auto text = contentsOfResource(name, "json");
    if (!text) return std::nullopt;
    return parseJSON(*text);
}

std::optional<Value> Bundle::propertyListResource(const std::string& name) const {
    auto bytes = contentsOfResource(name, "plist");
    if (!bytes) return std::nullopt;
    return parsePropertyList(*bytes);
}

Value Bundle::infoDictionary() const {
    {
        std::lock_guard lock(mutex_);
        if (info_) return *info_;
    }
    auto parsed = propertyListResource("Info");
    Value info = (parsed && parsed->isDictionary()) ? *parsed : Value(Value::Dictionary{});
    std::lock_guard lock(mutex_);
    info_ = info;
    return info;
}

Value Bundle::objectForInfoDictionaryKey(const std::string& key) const {
    return infoDictionary()[key];
}

std::string Bundle::bundleIdentifier() const {
    return infoDictionary()["CFBundleIdentifier"].stringValue();
}

const std::map<std::string, std::string>& Bundle::table(const std::string& name) const {
    // Called with mutex_ held.
    auto it = tables_.find(name);
    if (it != tables_.end()) return it->second;
    std::map<std::string, std::string> entries;
    auto path = resourcePath_ / (language_ + ".lproj") / (name + ".strings");
    if (auto text = readFile(path)) {
        if (auto parsed = parseStringsTable(*text)) entries = std::move(*parsed);
    }
    return tables_.emplace(name, std::move(entries)).first->second;
}

std::string Bundle::localizedString(const std::string& key, const std::string& value, const std::string& tableName) const {
    std::lock_guard lock(mutex_);
    const auto& entries = table(tableName);
    auto it = entries.find(key);
    if (it != entries.end()) return it->second;
    return value.empty() ? key : value;
}

}  // namespace platform
