#include "platform/foundation/process_info.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <mutex>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "platform/foundation/launch_options.h"

namespace platform {

namespace {

struct State {
    std::mutex mutex;
    std::vector<std::string> arguments;
    std::optional<std::string> deviceModel;
    std::optional<std::string> osVersion;
    std::optional<std::vector<std::string>> languages;
    std::string timeZoneName;
    std::optional<std::filesystem::path> applicationSupport;
    std::optional<std::string> locale;
    // Set by a test or tool: the identifier, or none for a platform without.
    std::optional<std::optional<std::string>> identifierForVendor;
    std::size_t identifierForVendorRequests = 0;
};

State& state() {
    static State s;
    return s;
}

template <class T, class F>
T read(F&& get) {
    std::lock_guard lock(state().mutex);
    return get(state());
}

// The first size tried for the user database's entry, and the largest: an
// entry of more is taken for none.
constexpr std::size_t kUserEntryBytes = 1024;
constexpr std::size_t kLongestUserEntryBytes = 1 << 20;

// The home folder the system's user database records for this user, as a
// shell takes `~` without $HOME; none when it records none, or a relative one.
std::optional<std::filesystem::path> recordedHome() {
    std::vector<char> buffer(kUserEntryBytes);
    passwd entry{};
    passwd* found = nullptr;
    int error = 0;
    while ((error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < kLongestUserEntryBytes) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr) return std::nullopt;
    const std::filesystem::path home(found->pw_dir);
    if (!home.is_absolute()) return std::nullopt;
    return home;
}

enum class DataHomeOrigin { xdgDataHome, home, recordedHome, temporaryFolder };

// A relative XDG_DATA_HOME or HOME is no data home: it would move with the
// working folder. Without either, the home the user database records: the
// temporary folder, shared by every user of the machine, only where there is
// none.
std::pair<std::filesystem::path, DataHomeOrigin> dataHomeAndOrigin() {
    const auto options = LaunchOptions::current();
    if (options.xdgDataHome && std::filesystem::path(*options.xdgDataHome).is_absolute()) {
        return {*options.xdgDataHome, DataHomeOrigin::xdgDataHome};
    }
    if (options.home && std::filesystem::path(*options.home).is_absolute()) {
        return {std::filesystem::path(*options.home) / ".local/share", DataHomeOrigin::home};
    }
    if (const auto home = recordedHome()) return {*home / ".local/share", DataHomeOrigin::recordedHome};
    return {std::filesystem::temp_directory_path(), DataHomeOrigin::temporaryFolder};
}

std::filesystem::path dataHome() { return dataHomeAndOrigin().first; }

bool allOf(const std::string& text, int (*test)(int)) {
    return std::all_of(text.begin(), text.end(), [test](char c) { return test(static_cast<unsigned char>(c)) != 0; });
}

std::string cased(std::string text, int (*change)(int)) {
    for (char& c : text) c = static_cast<char>(change(static_cast<unsigned char>(c)));
    return text;
}

// The pieces of a locale identifier: language, then an optional four-letter
// script, then an optional region; encoding and modifier dropped.
std::vector<std::string> localeParts(const std::string& identifier) {
    const std::string bare = identifier.substr(0, identifier.find_first_of(".@"));
    std::vector<std::string> parts;
    std::string part;
    for (char c : bare) {
        if (c == '_' || c == '-') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

bool isLanguage(const std::string& part) {
    return (part.size() == 2 || part.size() == 3) && allOf(part, std::isalpha);
}

// A version-4 UUID in upper-case text, as the platform writes identifiers.
std::string randomUUIDText() {
    std::random_device source;
    unsigned char bytes[16];
    for (auto& byte : bytes) byte = static_cast<unsigned char>(source() & 0xFF);
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

// The device's vendor identifier when nothing was set: the launch options',
// or one made for the life of the process.
const std::string& defaultIdentifierForVendor() {
    static const std::string identifier = [] {
        return LaunchOptions::current().identifierForVendor.value_or(randomUUIDText());
    }();
    return identifier;
}

}  // namespace

std::vector<std::string> ProcessInfo::arguments() {
    return read<std::vector<std::string>>([](State& s) { return s.arguments; });
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
    std::lock_guard lock(state().mutex);
    state().arguments = std::move(arguments);
}

void ProcessInfo::setArguments(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc && argv; ++i) {
        if (argv[i]) arguments.emplace_back(argv[i]);
    }
    setArguments(std::move(arguments));
}

bool ProcessInfo::hasArgument(const std::string& argument) {
    return read<bool>([&](State& s) {
        return std::find(s.arguments.begin(), s.arguments.end(), argument) != s.arguments.end();
    });
}

const char* ProcessInfo::defaultDeviceModel() { return "iPhone15,2"; }

std::string ProcessInfo::deviceModel() {
    return read<std::string>([](State& s) { return s.deviceModel.value_or(defaultDeviceModel()); });
}

void ProcessInfo::setDeviceModel(std::string model) {
    std::lock_guard lock(state().mutex);
    state().deviceModel = std::move(model);
}

const char* ProcessInfo::defaultOSVersion() { return "17.4.1"; }

std::string ProcessInfo::osVersion() {
    return read<std::string>([](State& s) { return s.osVersion.value_or(defaultOSVersion()); });
}

void ProcessInfo::setOSVersion(std::string version) {
    std::lock_guard lock(state().mutex);
    state().osVersion = std::move(version);
}

std::vector<std::string> ProcessInfo::preferredLanguages() {
    return read<std::vector<std::string>>(
        [](State& s) { return s.languages.value_or(std::vector<std::string>{"en-US"}); });
}

void ProcessInfo::setPreferredLanguages(std::vector<std::string> languages) {
    std::lock_guard lock(state().mutex);
    state().languages = std::move(languages);
}

std::string ProcessInfo::timeZoneName() {
    return read<std::string>([](State& s) { return s.timeZoneName; });
}

void ProcessInfo::setTimeZoneName(std::string name) {
    std::lock_guard lock(state().mutex);
    state().timeZoneName = std::move(name);
}

std::filesystem::path ProcessInfo::defaultApplicationSupportDirectory() {
    return dataHome() / "velmora" / "Application Support";
}

std::string ProcessInfo::dataHomeSource() {
    switch (dataHomeAndOrigin().second) {
        case DataHomeOrigin::xdgDataHome:
            return "$XDG_DATA_HOME";
        case DataHomeOrigin::home:
            return "$HOME";
        case DataHomeOrigin::recordedHome:
            return "the user's home folder";
        case DataHomeOrigin::temporaryFolder:
            break;
    }
    return "the temporary folder";
}

std::filesystem::path ProcessInfo::applicationSupportDirectory() {
    auto configured = read<std::optional<std::filesystem::path>>([](State& s) { return s.applicationSupport; });
    return configured ? *configured : defaultApplicationSupportDirectory();
}

void ProcessInfo::setApplicationSupportDirectory(std::filesystem::path path) {
    std::lock_guard lock(state().mutex);
    state().applicationSupport = std::move(path);
}

std::string ProcessInfo::localeIdentifierFromEnvironment() {
    return LaunchOptions::current().locale.value_or("C");
}

std::string ProcessInfo::localeIdentifier() {
    auto configured = read<std::optional<std::string>>([](State& s) { return s.locale; });
    return configured ? *configured : localeIdentifierFromEnvironment();
}

void ProcessInfo::setLocaleIdentifier(std::string identifier) {
    std::lock_guard lock(state().mutex);
    state().locale = std::move(identifier);
}

std::optional<std::string> ProcessInfo::languageCode() { return languageCodeOf(localeIdentifier()); }

std::optional<std::string> ProcessInfo::languageCodeOf(const std::string& identifier) {
    const auto parts = localeParts(identifier);
    if (!isLanguage(parts.front())) return std::nullopt;
    return cased(parts.front(), std::tolower);
}

std::optional<std::string> ProcessInfo::regionCode() {
    const auto parts = localeParts(localeIdentifier());
    if (!isLanguage(parts.front())) return std::nullopt;
    std::size_t index = 1;
    if (index < parts.size() && parts[index].size() == 4 && allOf(parts[index], std::isalpha)) ++index;
    if (index >= parts.size()) return std::nullopt;
    const std::string& region = parts[index];
    if (region.size() == 2 && allOf(region, std::isalpha)) return cased(region, std::toupper);
    if (region.size() == 3 && allOf(region, std::isdigit)) return region;
    return std::nullopt;
}

std::optional<std::string> ProcessInfo::identifierForVendor() {
    std::optional<std::optional<std::string>> configured;
    {
        std::lock_guard lock(state().mutex);
        ++state().identifierForVendorRequests;
        configured = state().identifierForVendor;
    }
    return configured ? *configured : std::optional<std::string>(defaultIdentifierForVendor());
}

void ProcessInfo::setIdentifierForVendor(std::optional<std::string> identifier) {
    std::lock_guard lock(state().mutex);
    state().identifierForVendor = std::move(identifier);
}

std::size_t ProcessInfo::identifierForVendorRequestCount() {
    return read<std::size_t>([](State& s) { return s.identifierForVendorRequests; });
}

void ProcessInfo::reset() {
    std::lock_guard lock(state().mutex);
    auto& s = state();
    s.arguments.clear();
    s.deviceModel.reset();
    s.osVersion.reset();
    s.languages.reset();
    s.timeZoneName.clear();
    s.applicationSupport.reset();
    s.locale.reset();
    s.identifierForVendor.reset();
    s.identifierForVendorRequests = 0;
}

}  // namespace platform
