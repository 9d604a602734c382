#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform {

// The application bundle: a folder of resources, its Info.plist, and string
// tables per language ("<lang>.lproj/<table>.strings").
class Bundle {
public:
    explicit Bundle(std::filesystem::path resourcePath, std::string language = "en");

    // The process's main bundle. Its folder is, in order: the last
    // setMainResourcePath, the launch options' ($VELMORA_RESOURCES), the
    // resources folder of the source tree this program was built from.
    static Bundle& main();
    static void setMainResourcePath(const std::filesystem::path& path);

    // Copies: another thread may change either at any time.
    std::filesystem::path resourcePath() const;
    std::string language() const;
    void setLanguage(std::string language);
    // The languages the bundle has texts in: the names of its "<lang>.lproj"
    // folders, sorted.
    std::vector<std::string> localizations() const;

    // "name.type" in the language folder first, then at the top; none when absent.
    std::optional<std::filesystem::path> pathForResource(const std::string& name, const std::string& type) const;
    std::optional<std::string> contentsOfResource(const std::string& name, const std::string& type) const;
    std::optional<Value> jsonResource(const std::string& name) const;
    std::optional<Value> propertyListResource(const std::string& name) const;

    // Info.plist; an empty dictionary when the bundle has none.
    Value infoDictionary() const;
    Value objectForInfoDictionaryKey(const std::string& key) const;
    std::string bundleIdentifier() const;

    // The translation of key in the table; without one, value when it is not
    // empty, else the key itself.
    std::string localizedString(const std::string& key, const std::string& value = {},
                                const std::string& table = "Localizable") const;

private:
    const std::map<std::string, std::string>& table(const std::string& name) const;

    std::filesystem::path resourcePath_;
    std::string language_;
    mutable std::mutex mutex_;
    mutable std::map<std::string, std::map<std::string, std::string>> tables_;
    mutable std::optional<Value> info_;
};

// Parses the text of a ".strings" table: "key" = "value"; entries with
// C-style comments. Malformed input gives no table.
std::optional<std::map<std::string, std::string>> parseStringsTable(const std::string& text);

// The bytes of a regular file; none for a missing or unreadable one, and
// for anything else in its place (a folder, a fifo, a device), whose read
// could block or never end.
std::optional<std::string> readFile(const std::filesystem::path& path);
// The same for a file a process keeps of its own (its settings, its state):
// a link at the path is not followed either, so that another file's
// contents are never taken in as the process's own.
std::optional<std::string> readOwnFile(const std::filesystem::path& path);

}  // namespace platform
