#pragma once

// The settings a program takes from its environment, in one value: read
// once where the program starts, then handed to the process, so that no
// library reads an environment variable of its own.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct LaunchOptions {
    // VELMORA_DATA: the data folder of the commands that are given none.
    std::optional<std::filesystem::path> dataFolder;
    // VELMORA_PREFERENCES: the preferences folder of programs that set none.
    std::optional<std::filesystem::path> preferencesFolder;
    // XDG_DATA_HOME and HOME, as given: the user's data home lies under them.
    std::optional<std::string> xdgDataHome;
    std::optional<std::string> home;
    // LC_ALL, else LC_MESSAGES, else LANG: the device's locale.
    std::optional<std::string> locale;
    // VELMORA_RESOURCES: the application bundle's folder.
    std::optional<std::filesystem::path> resourcesFolder;
    // The services' addresses; none: the built-in default (mostly none).
    std::optional<std::string> measurementServiceURL;
    std::optional<std::string> remoteConfigSource;
    std::optional<std::string> connectionProbeURL;
    std::optional<std::string> attributionServiceURL;
    std::optional<std::string> experimentsServiceURL;
    std::optional<std::string> deepLinkServiceURL;
    std::optional<std::string> onDeviceConversionURL;
    // VELMORA_NETWORK_REACHABLE: false makes the network unreachable for the
    // whole process.
    bool networkReachable = true;
    // VELMORA_IDENTIFIER_FOR_VENDOR: the device's vendor identifier.
    std::optional<std::string> identifierForVendor;
    // VELMORA_LOCK_WAIT_SECONDS: the longest a wait for the lock of a file
    // that processes share lasts; none: the engine's own bound.
    std::optional<double> lockWaitSeconds;
    // "NAME ...", saying what it must be, for each variable whose value
    // could not be taken: a program refuses to start with one (status 2).
    std::vector<std::string> refused;

    // How a program looks a variable up: the C library's lookup in a main,
    // a table in tests. Null or empty text counts as not set, but for the
    // variables that name a file, folder or address, and those that take
    // values of a form (the lock wait, reachability, the vendor
    // identifier), which refuse empty text; an address (the *_URL
    // variables) that is no http or https URL, and a value of another form,
    // is refused too.
    using Lookup = std::function<const char*(const char* name)>;
    static LaunchOptions fromVariables(const Lookup& lookup);

    // Every environment variable of the project, in the order of README.md's
    // table: its names, who reads it and what it sets. The few that the
    // build rather than a program reads take no part in fromVariables().
    struct Variable {
        std::vector<const char*> names;
        const char* readBy;
        const char* sets;
        void (*read)(LaunchOptions& options, const Lookup& lookup);
    };
    static const std::vector<Variable>& variables();
    // That table as README.md shows it, one line a row.
    static std::vector<std::string> markdownRows();

    // The options in force in this process: those its entry point installed,
    // the defaults above until then. Safe from any thread.
    static LaunchOptions current();
    static void install(LaunchOptions options);
};

}  // namespace platform
