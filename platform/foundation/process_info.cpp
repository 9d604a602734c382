#include "platform/foundation/process_info.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>

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

std::filesystem::path dataHome() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return xdg;
    if (const char* home = std::getenv("HOME"); home && *home) return std::filesystem::path(home) / ".local/share";
    return std::filesystem::temp_directory_path();
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

std::filesystem::path ProcessInfo::applicationSupportDirectory() {
    auto configured = read<std::optional<std::filesystem::path>>([](State& s) { return s.applicationSupport; });
    return configured ? *configured : defaultApplicationSupportDirectory();
}

void ProcessInfo::setApplicationSupportDirectory(std::filesystem::path path) {
    std::lock_guard lock(state().mutex);
    state().applicationSupport = std::move(path);
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
}

}  // namespace platform
