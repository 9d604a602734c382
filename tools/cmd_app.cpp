// `velmora app`: the application on the platform stand-in, driven by a
// script or at a prompt; what it shows printed as text.
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <system_error>
#include <vector>

#include "measurement/control/engine_control.h"
#include "measurement/control/store_control.h"
#include "measurement/foundation/printable_text.h"
#include "platform/foundation/file_lock.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/url.h"
#include "platform/frameworks/remote_config/vez_remote_config.h"
#include "tools/command_registry.h"
#include "tools/data_folder.h"
#include "tools/kept_preferences.h"
#include "tools/lock_waits.h"
#include "tools/option_values.h"
#include "tools/path_options.h"
#include "tools/command_summaries.h"
#include "velmora/runner/app_session.h"
#include "velmora/runner/runner.h"

namespace {

constexpr const char* kCommand = "velmora app";
// What --screen takes, in points, and the size without it.
constexpr int kSmallestScreen = 100;
constexpr int kLargestScreen = 4096;
constexpr const char* kDefaultScreen = "390x844";
// In the data folder and in the preferences folder: the file whose lock a
// session holds while it runs.
constexpr const char* kSessionLockName = "app.lock";
// What a script that cannot be read is refused with, after the reason.
constexpr const char* kScriptHint = "(leave --script out to read the commands from standard input)";

struct AppOptions {
    std::string script;
    std::string dataDirectory;
    std::string language;
    std::string remoteConfig;
    std::string installedSchemes;
    std::string screen;
    std::string style;
    std::string openURL;
};

std::vector<std::string> commaList(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

// Where remote configuration comes from: a file, which must be there and
// hold a document the application can read, or an http address on this
// machine, whether the option or the environment gave it.
std::string remoteConfigSource(const AppOptions& options, const platform::LaunchOptions& launch) {
    const bool fromOption = !options.remoteConfig.empty();
    const std::string source = fromOption ? options.remoteConfig : launch.remoteConfigSource.value_or("");
    if (source.empty()) return source;
    const std::string given = fromOption ? "--remote-config" : "$VELMORA_REMOTE_CONFIG_SOURCE";
    const bool address = source.find("://") != std::string::npos;
    const std::string instead = address ? " (give a loopback http address, such as a running collector's "
                                          "http://127.0.0.1:PORT/remote-values, or a file)"
                                        : " (a file holds a JSON document {\"entries\": {...}})";
    if (!address) {
        tools::requireName(kCommand, given, source);
        std::error_code error;
        if (!std::filesystem::is_regular_file(source, error)) {
            tools::refuse(kCommand, given + " names no file: " + source + " (give a file or a loopback http address)");
        }
    }
    if (const auto why = platform::unusableRemoteConfigSource(source)) {
        tools::refuse(kCommand, given + " cannot be used: " + *why + instead);
    }
    return source;
}

// The data folder, made when it is not there yet.
std::filesystem::path dataFolder(const AppOptions& options, const platform::LaunchOptions& launch) {
    const auto folder = tools::requireDataFolder(kCommand, options.dataDirectory, launch);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        tools::refuse(kCommand, "the data folder " + tools::shownPath(folder) + " cannot be made: " + error.message());
    }
    return folder;
}

// A language given is one: a value that names none (empty, "C", "_",
// "@euro", "../x": no language of two or three letters before its region)
// would be taken for the environment's locale, or for no language, in
// silence, and is refused as the platform reads it.
CLI::Validator languageGiven() {
    return CLI::Validator(
        [](std::string& text) {
            constexpr const char* kInstead = "give a language of two or three letters, alone or with its region (de, "
                                             "fr_FR, pt-BR), or leave the option out for the environment's locale";
            if (text.empty()) return std::string("an empty value names no language: ") + kInstead;
            if (platform::ProcessInfo::languageCodeOf(text)) return std::string();
            return "\"" + text + "\" names no language: " + kInstead;
        },
        "LANGUAGE");
}

// Why the link given to launch with cannot be one; none when it is, or
// none is given (an empty one given is refused as any other that is no URL).
std::optional<std::string> refusedLaunchLink(const AppOptions& options, const CLI::App& command) {
    std::string why;
    if (command.count("--open-url") == 0 || platform::URL::parse(options.openURL, &why)) return std::nullopt;
    return "--open-url \"" + options.openURL + "\" is no URL: " + why;
}

// What `velmora app` refuses before anything runs, help asked for or not:
// a launch link that is no URL, a remote-configuration source it cannot
// use, a script it cannot read, a bundle or a data folder that cannot
// serve. Only checks: nothing is made.
std::optional<std::string> refusedAppWords(const AppOptions& options, const CLI::App& command,
                                           const platform::LaunchOptions& launch) {
    if (auto why = refusedLaunchLink(options, command)) return why;
    remoteConfigSource(options, launch);
    if (!options.script.empty()) tools::requireFileContents(kCommand, "--script", options.script, kScriptHint);
    tools::requireBundle(kCommand, launch);
    tools::requireDataFolder(kCommand, options.dataDirectory, launch);
    return std::nullopt;
}

// Why a session is refused whose lock in `place` another holds.
std::string sessionHeld(const std::filesystem::path& folder, const std::filesystem::path& place,
                        const std::string& holders) {
    if (place == folder) {
        return "another app session runs on the data folder " + tools::shownPath(folder) + " (" + holders +
               "); the application runs once per data folder, as on a phone: quit that session first, or give "
               "another --data";
    }
    std::error_code error;
    const auto real = std::filesystem::canonical(place, error);
    return "another app session uses the preferences folder " + tools::shownPath(error ? place : real) + " (" +
           holders + "), where this data folder's history lives too; the application runs once per preferences "
           "folder: quit that session first, or give another --data";
}

// The application is one per data folder, as on a phone, and one per
// preferences folder wherever that lies (two data folders may share one
// through a link): a second session would write the history, the clock
// and the preferences the first one holds in memory, and one's changes
// would be lost to the other's. A session holds the lock of "app.lock" in
// its data folder, where the clock lives, and of "app.lock" in its
// preferences folder's real place, where the history lives, until it
// ends; one that finds either held is refused before it starts, naming the
// holder, and so is one that cannot hold it (a lock file this user cannot
// open, something there that is no regular file and cannot be set aside).
// What lies at a lock file's place that is no regular file is set aside,
// and said. Only where a folder takes no write at all (no lock file can be
// made there) does the session go ahead without that lock: nothing it
// would write there could be kept either.
std::vector<std::unique_ptr<platform::FileLock>> holdSession(const std::filesystem::path& folder) {
    const auto preferences = folder / tools::kPreferencesFolderName;
    std::error_code error;
    std::filesystem::create_directories(preferences, error);
    std::vector<std::unique_ptr<platform::FileLock>> held;
    for (const auto& place : {folder, preferences}) {
        auto lock = std::make_unique<platform::FileLock>((place / kSessionLockName).string());
        std::string setAside, why;
        if (!lock->openForLocking(&setAside, &why)) tools::refuse(kCommand, why);
        if (!setAside.empty()) tools::sayError(kCommand, "warning: " + setAside);
        if (lock->isOpen() && !lock->tryLock(platform::FileLock::Kind::exclusive)) {
            if (lock->error() != std::errc::resource_unavailable_try_again) {
                tools::refuse(kCommand, "cannot lock " + lock->path() + ": " + lock->error().message());
            }
            tools::refuse(kCommand, sessionHeld(folder, place, lock->otherHolders()));
        }
        held.push_back(std::move(lock));
    }
    return held;
}

// The device's language: the option's, else the environment's locale ("C"
// and "POSIX" name none); what to tell about it, under the name of where
// it came from.
void printLanguageNotice(const AppOptions& options, const platform::LaunchOptions& launch) {
    const bool fromOption = !options.language.empty();
    const std::string language = fromOption ? options.language : launch.locale.value_or("");
    // The value is quoted from outside: escaped as every refusal's.
    if (auto notice = velmora::runner::languageNotice(language)) {
        std::cout << measurement::printable((fromOption ? "--lang" : "locale " + language) + ": " + *notice) << "\n";
    }
}

int runApp(const AppOptions& options, const platform::LaunchOptions& launch) {
    velmora::runner::SessionOptions session;
    session.language = options.language;
    session.remoteConfigSource = remoteConfigSource(options, launch);
    session.installedSchemes = commaList(options.installedSchemes);
    // The parser has checked both: a size given is one it reads.
    if (const auto size = tools::readPointSize(options.screen, kSmallestScreen, kLargestScreen)) {
        session.screenSize = platform::gfx::Size{size->width, size->height};
    }
    session.darkStyle = options.style == "dark";
    // The command line's check has taken the link.
    session.launchURL = options.openURL;
    // Read whole before the launch: a script that cannot be read is refused
    // before anything runs, never played as an empty session.
    std::istringstream script;
    if (!options.script.empty()) {
        script.str(tools::requireFileContents(kCommand, "--script", options.script, kScriptHint));
    }
    tools::requireBundle(kCommand, launch);
    session.dataDirectory = dataFolder(options, launch);
    const auto sessionLocks = holdSession(session.dataDirectory);
    // English is the only language the interface has: say so rather than
    // let another language look accepted.
    printLanguageNotice(options, launch);
    velmora::runner::AppSession app(session);
    velmora::runner::Runner runner(app, velmora::runner::CommandTable(), std::cout);
    measurement::control::EventWriteRecorder writes;
    app.launch();
    const bool interactive = options.script.empty() && isatty(STDIN_FILENO);
    if (options.script.empty()) {
        runner.run(std::cin, !interactive, interactive);
    } else {
        runner.run(script, true, false);
    }
    // The application goes on without its database, as it must on a phone;
    // the command does not end as if what it did was kept. So for a lock
    // another process kept past the wait.
    int status = 0;
    if (const auto failure = measurement::control::databaseFailure()) {
        tools::sayError(kCommand,
                        "the measurement database could not be opened, so no analytics event was stored: " + *failure);
        status = 1;
    } else {
        // Refused by the database (one found damaged and held by another
        // process, say): said, and the command fails as well.
        for (const auto& write : measurement::control::writesNotStored(writes.writes())) {
            tools::sayError(kCommand, "event " + write.name + " was not stored: " + *write.failure);
            status = 1;
        }
    }
    // A source named and not fetched from: the session ran on what was held
    // before, not on what was asked for.
    if (const auto failure = app.remoteConfigFailure(); failure && status == 0) {
        tools::sayError(kCommand, "remote configuration was not fetched from the source given: " + *failure);
        status = 1;
    }
    return tools::reportUnkeptPreferences(
        kCommand, tools::reportGivenUpLockWaits(kCommand, status, {tools::SharedFile::measurementDatabase}));
}

std::string commandHelp() {
    return "Starts the application on the platform stand-in and drives it with the commands of the script, or\n"
           "of a prompt when there is none. The clock moves only with the clock command, and goes on where the\n"
           "last run on the same data folder left it. Commands:\n" +
           velmora::runner::CommandTable().help();
}

const tools::CommandRegistration registration([](CLI::App& app, int& status, const platform::LaunchOptions& launch) {
    auto options = std::make_shared<AppOptions>();
    auto* command = app.add_subcommand("app", tools::summaries::kApp);
    command->footer(commandHelp());
    command->add_option("--script", options->script, "Commands to play, one a line (\"#\" starts a comment)")
        ->check(tools::pathGiven("the script's file (or leave the option out for a prompt)"));
    command->add_option("--data,--data-dir", options->dataDirectory,
                        "Data folder (default: $VELMORA_DATA, else velmora under the user's data home)")
        ->check(tools::pathGiven("a folder (or leave the option out for the default)"));
    command
        ->add_option("--lang", options->language,
                     "The device's language or locale (de, fr_FR); the interface's texts are English only")
        ->check(languageGiven());
    command->add_option("--remote-config", options->remoteConfig,
                        "Remote configuration source: a file or a loopback http address "
                        "(default: $VELMORA_REMOTE_CONFIG_SOURCE, else none)")
        ->check(tools::pathGiven("a file or a loopback http address (or leave the option out for the default)"));
    command->add_option("--installed-schemes", options->installedSchemes,
                        "Address schemes of installed applications, comma separated (velmora-mathsuite-pro)");
    command
        ->add_option("--screen", options->screen,
                     "Screen size in points, WIDTHxHEIGHT: " + std::to_string(kSmallestScreen) + " to " +
                         std::to_string(kLargestScreen) + " each; default " + kDefaultScreen)
        ->check(tools::pointSize(kSmallestScreen, kLargestScreen, kDefaultScreen));
    command->add_option("--style", options->style, "Interface style: dark or light (default light)")
        ->check(tools::oneOf({"dark", "light"}));
    command->add_option("--open-url", options->openURL,
                        "Launch the application with this link, an absolute URL (bern://open?utm_source=mail), as the "
                        "system hands it over in the launch options");
    tools::runCheckedWords(
        *command, [options, command, &launch] { return refusedAppWords(*options, *command, launch); },
        [options, &status, &launch] { status = runApp(*options, launch); });
});

}  // namespace
