// The application's run on the stand-in: the process set up, time under control, launch and stop.
#include "velmora/runner/app_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>

#include "measurement/control/engine_control.h"
#include "platform/dispatch/main_loop_turn.h"
#include "platform/foundation/atomic_file.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/launch_options.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/app_core/background_task.h"
#include "platform/frameworks/remote_config/vez_remote_config.h"
#include "platform/frameworks/utilities/network.h"
#include "platform/gfx/appearance.h"
#include "platform/ui/application.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/view_controller.h"
#include "velmora/engine/console_line.h"
#include "velmora/runner/cover.h"
#include "velmora/runner/value_text.h"
#include "velmora/shell/app_delegate.h"

namespace velmora::runner {

namespace {

// Where a run starts when the data folder has no saved clock: a fixed
// moment, so that a first run is the same every time.
constexpr double kFirstRunClock = 1700000000.0;
constexpr const char* kClockFileName = "runner_clock";

// A saved clock is one number of seconds, written by quit; anything longer
// is not one.
constexpr std::size_t kLongestClockText = 64;

// The saved clock, or why there is none to use. The file is opened without
// waiting, so that a fifo in its place cannot hold up the start, and is
// read only when it is a regular file; a link there is not followed, so
// that another file's contents are never taken for the session's clock.
std::optional<double> readClock(const std::filesystem::path& file, std::string* why) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ELOOP) {
            *why = "it is a link, which is not followed";
        } else if (errno != ENOENT) {
            *why = "it cannot be read";
        }
        return std::nullopt;
    }
    struct stat status {};
    std::string text(kLongestClockText + 1, '\0');
    ssize_t size = -1;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) size = ::read(fd, text.data(), text.size());
    ::close(fd);
    if (size < 0) {
        *why = S_ISREG(status.st_mode) ? "it cannot be read" : "it is not a regular file";
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(size));
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    double seconds = 0;
    const char* begin = text.data() + (first == std::string::npos ? text.size() : first);
    const char* end = text.data() + (last == std::string::npos ? text.size() : last + 1);
    const auto [used, error] = std::from_chars(begin, end, seconds);
    // Quit moves the clock on by its grace period, even from the latest
    // moment a command may reach.
    if (error != std::errc() || used != end || begin == end || !std::isfinite(seconds) || seconds <= 0 ||
        seconds > AppSession::latestClock + AppSession::quitGraceSeconds) {
        *why = "it holds no time from 1970 to " + dateText(AppSession::latestClock);
        return std::nullopt;
    }
    return seconds;
}

// "de_DE" and "de-DE" name a locale; the bundle's texts follow its language
// when the bundle is translated into it, and stay in the development
// language otherwise, as the platform picks the best localisation it has.
void useLanguage(const std::string& identifier) {
    platform::ProcessInfo::setLocaleIdentifier(identifier);
    std::string tag = identifier;
    for (char& c : tag) {
        if (c == '_') c = '-';
    }
    platform::ProcessInfo::setPreferredLanguages({tag});
    auto language = platform::ProcessInfo::languageCode();
    auto& bundle = platform::Bundle::main();
    std::error_code error;
    if (language && std::filesystem::is_directory(bundle.resourcePath() / (*language + ".lproj"), error)) {
        bundle.setLanguage(*language);
    }
}

// "de" of "de_DE", "de-DE", "de_DE.UTF-8" or "DE".
std::string languagePart(const std::string& identifier) {
    std::string language = identifier.substr(0, identifier.find_first_of("_-.@"));
    for (char& c : language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return language;
}

std::string remoteConfigSource(const std::string& given) {
    if (!given.empty()) return given;
    return platform::LaunchOptions::current().remoteConfigSource.value_or("");
}

}  // namespace

std::filesystem::path defaultDataDirectory() {
    if (auto folder = platform::LaunchOptions::current().dataFolder) return *folder;
    return platform::ProcessInfo::defaultApplicationSupportDirectory().parent_path();
}

std::optional<std::string> languageNotice(const std::string& identifier) {
    const std::string language = languagePart(identifier);
    // The C library's own locales name no language.
    if (language.empty() || language == "c" || language == "posix") return std::nullopt;
    const auto held = platform::Bundle::main().localizations();
    if (std::find(held.begin(), held.end(), language) != held.end()) return std::nullopt;
    std::string list;
    for (const auto& each : held) list += (list.empty() ? "" : ", ") + each;
    return "the application has no texts in \"" + language + "\" (its bundle holds: " +
           (list.empty() ? std::string("none") : list) + "); its texts stay in English";
}

AppSession::AppSession(SessionOptions options)
    : dataDirectory_(options.dataDirectory.empty() ? defaultDataDirectory() : options.dataDirectory),
      launchURL_(options.launchURL),
      console_(std::make_shared<Console>()) {
    std::filesystem::create_directories(dataDirectory_);
    std::string why;
    const auto saved = readClock(clockFile(), &why);
    // Every queue, timer and the clock made from here on are the session's.
    time_.emplace(true, saved.value_or(kFirstRunClock));
    if (!why.empty()) {
        notices_.push_back("the saved clock " + clockFile().string() + " is ignored (" + why + "): the clock starts at " +
                           dateText(now()));
    }
    configureProcess(options);
}

AppSession::~AppSession() {
    velmora::setConsoleSink({});
    platform::ui::ViewController::setRefusedPresentationObserver({});
    if (time_) time_->settle();
}

std::filesystem::path AppSession::clockFile() const { return dataDirectory_ / kClockFileName; }

void AppSession::configureProcess(const SessionOptions& options) {
    // A run has no end in sight until it quits.
    platform::BackgroundTasks::shared().grantBackgroundTime(std::numeric_limits<double>::infinity());
    const auto support = dataDirectory_ / "Application Support";
    platform::ProcessInfo::setApplicationSupportDirectory(support);
    platform::UserDefaults::setDataDirectory(dataDirectory_ / "Preferences");
    if (!options.language.empty()) useLanguage(options.language);
    if (options.screenSize) {
        platform::ui::Screen::main().setBounds({0, 0, options.screenSize->width, options.screenSize->height});
    }
    if (options.darkStyle) platform::gfx::setInterfaceStyle(platform::gfx::InterfaceStyle::dark);
    auto& application = platform::ui::Application::shared();
    auto schemes = application.openableSchemes();
    schemes.insert(options.installedSchemes.begin(), options.installedSchemes.end());
    application.setOpenableSchemes(std::move(schemes));
    platform::VEZRemoteConfig::setSharedOptions(
        {support / "RemoteConfig", remoteConfigSource(options.remoteConfigSource), nullptr, nullptr});
    // The application takes a failed fetch in silence and goes on with what
    // it holds; the person who named the source is told.
    if (!options.remoteConfigSource.empty()) {
        platform::VEZRemoteConfig::remoteConfig()->setSourceFailureObserver(
            [failures = sourceFailures_](const platform::VEZRemoteConfigError& error) {
                std::lock_guard lock(failures->mutex);
                failures->unsaid.push_back(error.message);
                if (!failures->first) failures->first = error.message;
            });
    }
    platform::ui::View::setAnimationsEnabled(false);
    platform::ui::setConsoleEcho(false);
    platform::ui::clearLoggedMessages();
    // A page the application means to show and the platform drops, as
    // another is shown already, would otherwise be lost without a word.
    platform::ui::ViewController::setRefusedPresentationObserver(
        [this](const platform::ui::ViewController& refused, const platform::ui::ViewController& shown) {
            notices_.push_back(presentedPageName(refused) + " was not shown: " + presentedPageName(shown) +
                               " was shown already");
        });
    velmora::setConsoleSink([console = console_](const std::string& line) {
        std::lock_guard lock(console->mutex);
        console->lines.push_back(line);
    });
}

void AppSession::launch() {
    // The launch is one turn: what it stores is written once, at its end.
    platform::dispatch::MainLoopTurn turn;
    delegate_ = std::make_shared<AppDelegate>();
    platform::Value::Dictionary launchOptions;
    if (!launchURL_.empty()) launchOptions[platform::ui::Application::launchOptionsURLKey] = launchURL_;
    platform::ui::Application::shared().launch(delegate_, launchOptions);
    settle();
}

void AppSession::settle() { time_->settle(); }

bool AppSession::waitUntilIdle(double limitSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
    for (;;) {
        settle();
        if (platform::RULNetwork::requestsInProgress() == 0 && time_->drain() == 0) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void AppSession::advanceClock(double seconds) { time_->advance(seconds); }

double AppSession::now() const { return time_->now(); }

void AppSession::activate() {
    platform::ui::Application::shared().becomeActive();
    settle();
}

void AppSession::enterBackground() {
    platform::ui::Application::shared().enterBackground();
    settle();
}

void AppSession::enterForeground() {
    auto& application = platform::ui::Application::shared();
    application.enterForeground();
    application.becomeActive();
    settle();
}

void AppSession::quit() {
    if (quit_) return;
    quit_ = true;
    auto& application = platform::ui::Application::shared();
    // The engine starts no batch whose answer could not come within the
    // time the process still runs, and the process waits for the answer of
    // the batch it sent: it never stops with one the service may take and
    // the next run would send again.
    const double granted = measurement::control::uploadTimeBeforeExit(measurement::control::kUploadWindowBeforeExit);
    platform::BackgroundTasks::shared().grantBackgroundTime(granted);
    if (application.applicationState() != platform::ui::ApplicationState::background) enterBackground();
    waitUntilIdle(granted);
    advanceClock(quitGraceSeconds);
    // A batch sent as the time ran out is answered, or its request has
    // timed out, well within the same time again.
    waitUntilIdle(granted);
    application.terminate();
    settle();
    std::ostringstream text;
    text.precision(17);
    text << now() << '\n';
    // Written beside and renamed over, so that whatever stood in its place
    // (a fifo too) is replaced rather than waited on.
    std::string why;
    if (!platform::writeFileAtomically(clockFile(), text.str(), 0644, &why)) {
        notices_.push_back("the clock is not saved for the next run: " + why);
    }
}

std::vector<std::string> AppSession::takeNotices() {
    std::vector<std::string> notices;
    notices.swap(notices_);
    std::lock_guard lock(sourceFailures_->mutex);
    for (const auto& why : sourceFailures_->unsaid) notices.push_back("remote configuration was not fetched: " + why);
    sourceFailures_->unsaid.clear();
    return notices;
}

std::optional<std::string> AppSession::remoteConfigFailure() const {
    std::lock_guard lock(sourceFailures_->mutex);
    return sourceFailures_->first;
}

std::shared_ptr<platform::ui::Window> AppSession::window() const {
    return delegate_ ? delegate_->window() : nullptr;
}

std::vector<std::string> AppSession::takeConsoleLines() {
    std::vector<std::string> lines;
    {
        std::lock_guard lock(console_->mutex);
        lines.swap(console_->lines);
    }
    for (auto& message : platform::ui::loggedMessages()) lines.push_back(std::move(message));
    platform::ui::clearLoggedMessages();
    return lines;
}

}  // namespace velmora::runner
