#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// What a program learns about its surroundings from outside the process:
// its launch arguments, the device model, the OS version, the user's
// preferred languages and the application-support folder. Every answer has
// a default and can be set, so that programs and tests decide what the
// engine sees. Safe to use from any thread.
class ProcessInfo {
public:
    // The arguments the program was started with, program name first; empty
    // until a program (or a test) sets them.
    static std::vector<std::string> arguments();
    static void setArguments(std::vector<std::string> arguments);
    static void setArguments(int argc, const char* const* argv);
    static bool hasArgument(const std::string& argument);

    // The hardware model identifier. A phone model by default; never a
    // simulator's, so code that checks for a simulator sees a device.
    static std::string deviceModel();
    static void setDeviceModel(std::string model);
    static const char* defaultDeviceModel();

    static std::string osVersion();
    static void setOSVersion(std::string version);
    static const char* defaultOSVersion();

    // The user's preferred languages, most preferred first ("en-US").
    static std::vector<std::string> preferredLanguages();
    static void setPreferredLanguages(std::vector<std::string> languages);

    // The local time zone's identifier ("Asia/Kolkata", "GMT+05:30"); empty,
    // the default, means the zone the machine is set to.
    static std::string timeZoneName();
    static void setTimeZoneName(std::string name);

    // The device's locale as an identifier ("de_DE", "pt-BR", "zh_Hans_CN").
    // By default the environment's locale, as the launch options took it
    // (LC_ALL, else LC_MESSAGES, else LANG), with any ".encoding" and "@modifier" taken off; "C" and "POSIX"
    // name no language.
    static std::string localeIdentifier();
    static void setLocaleIdentifier(std::string identifier);
    static std::string localeIdentifierFromEnvironment();
    // The language (lower case, two or three letters) and region (upper
    // case, two letters or three digits) of that identifier; none when it
    // names none.
    static std::optional<std::string> languageCode();
    static std::optional<std::string> regionCode();
    // The language of any such identifier, read the same way: "de" of
    // "de_DE.UTF-8"; none for one that names none ("C", "_", "@euro").
    static std::optional<std::string> languageCodeOf(const std::string& identifier);

    // The folder applications keep their support files in. By default
    // "velmora/Application Support" under the user's data home
    // ($XDG_DATA_HOME, else ~/.local/share: $HOME, else the home the
    // system's user database records; each only as an absolute path; else
    // the temporary folder).
    static std::filesystem::path applicationSupportDirectory();
    static void setApplicationSupportDirectory(std::filesystem::path path);
    static std::filesystem::path defaultApplicationSupportDirectory();
    // Where the default's data home came from, for messages: "$XDG_DATA_HOME",
    // "$HOME", "the user's home folder" or "the temporary folder".
    static std::string dataHomeSource();

    // The identifier the platform gives the applications of one vendor on
    // this device, as UUID text. By default the launch options' (from
    // $VELMORA_IDENTIFIER_FOR_VENDOR) when set, else a random one made once per process. None stands for a
    // platform that has none to give (as before the device is unlocked).
    static std::optional<std::string> identifierForVendor();
    static void setIdentifierForVendor(std::optional<std::string> identifier);
    // How often identifierForVendor() was asked, so that callers that cache
    // it can be checked.
    static std::size_t identifierForVendorRequestCount();

    // Restores every default (arguments emptied, no vendor identifier set,
    // the vendor identifier's request count back to 0).
    static void reset();
};

}  // namespace platform
