// The environment variables of the project, read into launch options, and
// the options in force in this process.
#include "platform/foundation/launch_options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <mutex>

#include "platform/foundation/url.h"

namespace platform {

namespace {

std::optional<std::string> textOf(const LaunchOptions::Lookup& lookup, const char* name) {
    const char* value = lookup(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

// A variable that names a file or folder: set but empty it names none, and
// is refused by name rather than taken as not set.
std::optional<std::string> pathOf(LaunchOptions& options, const LaunchOptions::Lookup& lookup, const char* name,
                                  const char* what) {
    const char* value = lookup(name);
    if (value != nullptr && *value == '\0') {
        options.refused.push_back(std::string(name) + " is set but empty, and names no " + what +
                                  ": give one, or unset it for the default");
    }
    return textOf(lookup, name);
}

std::optional<std::filesystem::path> folderOf(LaunchOptions& options, const LaunchOptions::Lookup& lookup,
                                              const char* name) {
    auto text = pathOf(options, lookup, name, "folder");
    if (!text) return std::nullopt;
    return std::filesystem::path(*text);
}

// A variable that names a service's address: an http or https URL with a
// host. Set but empty, or set to anything else, it is refused by name
// rather than taken for no address: what was set would be kept from the
// service in silence.
std::optional<std::string> addressOf(LaunchOptions& options, const LaunchOptions::Lookup& lookup, const char* name) {
    auto text = pathOf(options, lookup, name, "address");
    if (!text) return std::nullopt;
    std::string why;
    const auto url = URL::parse(*text, &why);
    if (url && (url->scheme() == "http" || url->scheme() == "https") && !url->host().empty()) return text;
    if (url) why = url->host().empty() ? "it names no host" : "its scheme is " + url->scheme() + ", not http or https";
    options.refused.push_back(std::string(name) + " names no http or https address (such as http://127.0.0.1:PORT/): \"" +
                              *text + "\": " + why);
    return std::nullopt;
}

// The words VELMORA_NETWORK_REACHABLE takes, each as written: any other
// ("NO", " 0", "maybe", the empty value) would leave the network reachable
// though the person meant otherwise, or the reverse.
constexpr std::array<const char*, 3> kUnreachableWords = {"0", "no", "false"};
constexpr std::array<const char*, 3> kReachableWords = {"1", "yes", "true"};

void readReachable(LaunchOptions& options, const LaunchOptions::Lookup& lookup) {
    const char* value = lookup("VELMORA_NETWORK_REACHABLE");
    if (value == nullptr) return;
    const std::string text(value);
    auto among = [&text](const auto& words) {
        return std::find(words.begin(), words.end(), text) != words.end();
    };
    if (among(kUnreachableWords)) {
        options.networkReachable = false;
    } else if (!among(kReachableWords)) {
        options.refused.push_back("VELMORA_NETWORK_REACHABLE is 0, no or false (unreachable) or 1, yes or true "
                                  "(reachable), not \"" + text + "\"");
    }
}

// A vendor identifier as the engine sends it in every bundle: a UUID, 32
// hexadecimal digits grouped 8-4-4-4-12 by hyphens, in upper case as the
// platform writes one; given in lower case (as uuidgen prints it) it is the
// same UUID. None for anything else, which would go out as the device's
// identifier.
std::optional<std::string> vendorIdentifier(std::string text) {
    constexpr std::size_t kLength = 36;
    constexpr std::array<std::size_t, 4> kHyphens = {8, 13, 18, 23};
    if (text.size() != kLength) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hyphen = std::find(kHyphens.begin(), kHyphens.end(), i) != kHyphens.end();
        char& c = text[i];
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
        if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return std::nullopt;
    }
    return text;
}

void readVendorIdentifier(LaunchOptions& options, const LaunchOptions::Lookup& lookup) {
    const char* value = lookup("VELMORA_IDENTIFIER_FOR_VENDOR");
    if (value == nullptr) return;
    if (auto identifier = vendorIdentifier(value)) {
        options.identifierForVendor = std::move(identifier);
        return;
    }
    options.refused.push_back(std::string("VELMORA_IDENTIFIER_FOR_VENDOR is a UUID as the platform writes one, 32 "
                                          "hexadecimal digits grouped 8-4-4-4-12 by hyphens, in either case (such as "
                                          "0F0E0D0C-0B0A-4908-8706-050403020100), not \"") +
                              value + "\"");
}

// The most a lock wait may be set to: an hour.
constexpr double kMostLockWaitSeconds = 3600;

// A plain decimal number of seconds ("30", "0.5") up to an hour; anything
// else is refused by name, an empty value too: a variable set to nothing
// is a bound asked for and not given, not the default.
void readLockWait(LaunchOptions& options, const LaunchOptions::Lookup& lookup) {
    const char* value = lookup("VELMORA_LOCK_WAIT_SECONDS");
    if (value == nullptr) return;
    const std::string text(value);
    double seconds = -1;
    const bool plain = text.find_first_not_of("0123456789.") == std::string::npos;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (plain && error == std::errc() && end == text.data() + text.size() && std::isfinite(seconds) &&
        seconds >= 0 && seconds <= kMostLockWaitSeconds) {
        options.lockWaitSeconds = seconds;
    } else {
        options.refused.push_back("VELMORA_LOCK_WAIT_SECONDS is a number of seconds from 0 to 3600 (such as 30 or "
                                  "0.5), not \"" + text + "\"");
    }
}

// The build reads these, not a program.
constexpr auto kReadByTheBuild = nullptr;

const std::vector<LaunchOptions::Variable> kVariables = {
    {{"VELMORA_DATA"}, "every command", "the data folder when `--data` is not given",
     [](LaunchOptions& o, const LaunchOptions::Lookup& l) { o.dataFolder = folderOf(o, l, "VELMORA_DATA"); }},
    {{"VELMORA_PREFERENCES"},
     "programs that set no data folder (`velmora script`, `velmora collector`, the tests)",
     "the folder of their preferences; the other commands keep theirs in `Preferences` of the data folder",
     [](LaunchOptions& o, const LaunchOptions::Lookup& l) {
         o.preferencesFolder = folderOf(o, l, "VELMORA_PREFERENCES");
     }},
    {{"XDG_DATA_HOME", "HOME"}, "every command",
     "the user's data home, under which the default data folder `velmora` lies (`$XDG_DATA_HOME` when it is an "
     "absolute path, else `~/.local/share`, `~` being `$HOME` when it is an absolute path, else the home folder the "
     "system's user database gives this user)",
     [](LaunchOptions& o, const LaunchOptions::Lookup& l) {
         o.xdgDataHome = textOf(l, "XDG_DATA_HOME");
         o.home = textOf(l, "HOME");
     }},
    {{"LC_ALL", "LC_MESSAGES", "LANG"}, "every command",
     "the device's language and locale, first set first (`velmora app --lang` overrides them; `velmora app` says, "
     "as for `--lang`, when the bundle has no texts in their language)",
     [](LaunchOptions& o, const LaunchOptions::Lookup& l) {
         for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
             if ((o.locale = textOf(l, name))) return;
         }
     }},
    {{"VELMORA_RESOURCES"}, "every command",
     "the application bundle's folder; `velmora/resources` of the source tree by default. One that is not there, or "
     "holds no strings table (`en.lproj/Localizable.strings`), stops the commands that use it (`velmora app`, "
     "`calc`, `analytics`, `experiments`) with the reason and status 2",
     [](LaunchOptions& o, const LaunchOptions::Lookup& l) { o.resourcesFolder = folderOf(o, l, "VELMORA_RESOURCES"); }},
    {{"VELMORA_MEASUREMENT_SERVICE_URL"}, "the measurement engine",
     "the measurement service's base address; none by default, so nothing leaves the machine",
     [](LaunchOptions& o, const LaunchOptions::Lookup& l) {
         o.measurementServiceURL = addressOf(o, l, "VELMORA_MEASUREMENT_SERVICE_URL");
     }},
    {{"VELMORA_REMOTE_CONFIG_SOURCE"}, "`velmora app`",
     "where remote configuration is fetched from: a file or a loopback http address such as the collector's "
     "`/remote-values` (a file that is not there or holds no document, or an address off this machine, stops "
     "`velmora app` with the reason; a fetch from it that brings no document is said as it fails, and the "
     "session then ends with status 1); none by default, so "
     "every fetch fails and the application bundle's defaults stand in "
     "(`--remote-config` overrides it)",
     [](LaunchOptions& o, const LaunchOptions::Lookup& l) {
         o.remoteConfigSource = pathOf(o, l, "VELMORA_REMOTE_CONFIG_SOURCE", "file or address");
     }},
    {{"VELMORA_CONNECTION_PROBE_URL"}, "`velmora app`",
     "the address the application asks before \"Community\" and \"Rate this app\" (and a rating of four stars or "
     "more) open a page; none by default, so nothing leaves the machine: they say there is no connection, and the "
     "console says that no probe is configured. Without a connection to it they say so too: give a loopback "
     "address that answers, such as a running collector's (`http://127.0.0.1:PORT/`)",
     [](LaunchOptions& o, const LaunchOptions::Lookup& l) {
         o.connectionProbeURL = addressOf(o, l, "VELMORA_CONNECTION_PROBE_URL");
     }},
    {{"VELMORA_NETWORK_REACHABLE"}, "every command",
     "`0`, `no` or `false` make the network count as unreachable for the whole process, and nothing connects: "
     "the engine keeps what it stores and neither uploads nor fetches (uploads and a due experiments fetch wait "
     "for the network); `analytics config` and `experiments --fetch` exit 1 at once, saying the network is "
     "unreachable; `velmora app` asks no remote-configuration address (the fetch fails, and the session ends with "
     "status 1) and its connection test finds no connection; `1`, `yes` or `true`, as by default, leave it "
     "reachable. Each is taken only as written: anything else (`NO`, `maybe`, a space around a word, an empty "
     "value) stops every command with status 2",
     readReachable},
    {{"VELMORA_ATTRIBUTION_SERVICE_URL"}, "the measurement engine",
     "where search-ad attribution tokens go, such as a running collector's address, `http://127.0.0.1:PORT/` (the "
     "token is posted to `/api/v1/` beneath it; given with or without its trailing slash, as every address here); "
     "none by default, so each daily try fails",
     [](LaunchOptions& o, const LaunchOptions::Lookup& l) {
         o.attributionServiceURL = addressOf(o, l, "VELMORA_ATTRIBUTION_SERVICE_URL");
     }},
    {{"VELMORA_EXPERIMENTS_SERVICE_URL"}, "the measurement engine",
     "the experiments service's base address, such as the collector's; none by default, so nothing is fetched "
     "(the engine's log says once that none is configured)",
     [](LaunchOptions& o, const LaunchOptions::Lookup& l) {
         o.experimentsServiceURL = addressOf(o, l, "VELMORA_EXPERIMENTS_SERVICE_URL");
     }},
    {{"VELMORA_DEEP_LINK_SERVICE_URL"}, "the measurement engine",
     "where the deferred deep link is asked for; the measurement service's address by default; only asked when "
     "the Info.plist sets `ROZEDA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED`",
     [](LaunchOptions& o, const LaunchOptions::Lookup& l) {
         o.deepLinkServiceURL = addressOf(o, l, "VELMORA_DEEP_LINK_SERVICE_URL");
     }},
    {{"VELMORA_ON_DEVICE_CONVERSION_URL"}, "programs that link the on-device conversion client",
     "where its queries go; the `velmora` tool does not link it, so on-device conversion is refused there as not "
     "linked",
     [](LaunchOptions& o, const LaunchOptions::Lookup& l) {
         o.onDeviceConversionURL = addressOf(o, l, "VELMORA_ON_DEVICE_CONVERSION_URL");
     }},
    {{"VELMORA_IDENTIFIER_FOR_VENDOR"}, "every command",
     "the device's vendor identifier, which the engine sends in every bundle; a new one for each process by "
     "default. A UUID, 32 hexadecimal digits grouped 8-4-4-4-12 by hyphens (`0F0E0D0C-0B0A-4908-8706-050403020100`), "
     "kept in upper case as the platform writes one when given in lower case; anything else, an empty value too, "
     "stops every command with status 2",
     readVendorIdentifier},
    {{"VELMORA_LOCK_WAIT_SECONDS"}, "every command",
     "the longest a wait for the lock of a file that processes share (the databases' `-lock`, the engine's settings' "
     "and the preferences' `.lock`) lasts before the command gives up and says which file and who held it; a command waits once for "
     "each (its status: see \"A lock that another process keeps\" below); 30 seconds by default. A number of "
     "seconds from 0 to 3600; anything else, an empty value too, stops every command with status 2",
     readLockWait},
    {{"VELMORA_UPDATE_TRANSCRIPTS"}, "the transcript tests",
     "`1` rewrites the golden transcripts instead of comparing them", kReadByTheBuild},
    {{"FUZZ_SECONDS"}, "`make fuzz`", "how long each fuzz target runs (60)", kReadByTheBuild},
};

struct Installed {
    std::mutex mutex;
    LaunchOptions options;
};

Installed& installed() {
    static Installed* instance = new Installed;  // outlives every static that asks
    return *instance;
}

}  // namespace

LaunchOptions LaunchOptions::fromVariables(const Lookup& lookup) {
    LaunchOptions options;
    for (const auto& variable : kVariables) {
        if (variable.read) variable.read(options, lookup);
    }
    return options;
}

const std::vector<LaunchOptions::Variable>& LaunchOptions::variables() { return kVariables; }

std::vector<std::string> LaunchOptions::markdownRows() {
    std::vector<std::string> rows{"| variable | read by | what it sets |", "|---|---|---|"};
    for (const auto& variable : kVariables) {
        std::string names;
        for (const char* name : variable.names) names += (names.empty() ? "`" : ", `") + std::string(name) + "`";
        rows.push_back("| " + names + " | " + variable.readBy + " | " + variable.sets + " |");
    }
    return rows;
}

LaunchOptions LaunchOptions::current() {
    std::lock_guard lock(installed().mutex);
    return installed().options;
}

void LaunchOptions::install(LaunchOptions options) {
    std::lock_guard lock(installed().mutex);
    installed().options = std::move(options);
}

}  // namespace platform
