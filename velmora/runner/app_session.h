// One run of the application on the platform stand-in: set up, launched, driven on a manual clock, stopped.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/timer.h"
#include "platform/gfx/geometry.h"
#include "platform/ui/window.h"

namespace velmora {
class AppDelegate;
}

namespace velmora::runner {

// What a run is started with. Everything else comes from the launch options
// as for every program of the project (the measurement service, the
// connection probe, the resources folder).
struct SessionOptions {
    // Holds "Application Support" and "Preferences"; empty: the launch
    // options' data folder, else the user's data home.
    std::filesystem::path dataDirectory;
    // The device's locale ("de", "fr_FR"); empty: the environment's.
    std::string language;
    // Where remote configuration is fetched from: a file or a loopback http
    // address; empty: the launch options' source, else none.
    std::string remoteConfigSource;
    // Schemes of installed applications, openable besides the web's.
    std::vector<std::string> installedSchemes;
    std::optional<platform::gfx::Size> screenSize;
    // A link the application is launched with (the launch options' URL);
    // empty: none.
    std::string launchURL;
    bool darkStyle = false;
};

// The application runs on the calling thread with every queue, timer and
// the clock under the session's control: time moves only when told to
// (advanceClock), so a run is the same every time. The clock goes on where
// the last run on the same data folder left it. Animations finish at once.
// One session per process.
class AppSession {
public:
    explicit AppSession(SessionOptions options);
    ~AppSession();
    AppSession(const AppSession&) = delete;
    AppSession& operator=(const AppSession&) = delete;

    // Launches the application (did finish launching, then active) and
    // settles.
    void launch();
    // Runs what is queued and due now, until nothing is left.
    void settle();
    // Settles, then waits (real time, up to the limit) for the network
    // requests in flight and settles again, until nothing is left. False
    // when the limit passed first.
    bool waitUntilIdle(double limitSeconds = 30);
    // Moves the clock, firing what falls due on the way.
    void advanceClock(double seconds);
    double now() const;
    // The latest moment the clock may be moved to: the end of 9999, the
    // last year dates of four digits show. Far beyond it a double no longer
    // tells one millisecond from the next, and a timer armed for "in a
    // moment" would fire without moving the clock, again and again.
    static constexpr double latestClock = 253402300799.0;

    // The lifecycle as the platform drives it.
    void activate();
    void enterBackground();
    void enterForeground();
    // The process ends as the platform ends it: moved to the background,
    // given a while for what is due (the engine's upload, whose batch out is
    // answered first, and its delayed writes), then stopped; the clock is
    // saved for the next run.
    void quit();
    bool hasQuit() const { return quit_; }

    std::shared_ptr<platform::ui::Window> window() const;
    const std::shared_ptr<AppDelegate>& delegate() const { return delegate_; }
    const std::filesystem::path& dataDirectory() const { return dataDirectory_; }

    // Lines the application wrote to its console since the last call.
    std::vector<std::string> takeConsoleLines();
    // What the session itself has to say since the last call: a saved clock
    // it could not use, a clock it could not save, a fetch from the
    // remote-configuration source that brought nothing.
    std::vector<std::string> takeNotices();
    // Why the first fetch from the remote-configuration source given that
    // failed brought nothing; none while every fetch did.
    std::optional<std::string> remoteConfigFailure() const;

    // Seconds the process is given after it moved to the background at quit.
    static constexpr double quitGraceSeconds = 2;

private:
    void configureProcess(const SessionOptions& options);
    std::filesystem::path clockFile() const;

    std::filesystem::path dataDirectory_;
    std::string launchURL_;
    std::optional<platform::dispatch::ManualTime> time_;
    std::shared_ptr<AppDelegate> delegate_;
    // What the application writes to its console, from whatever thread.
    struct Console {
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Console> console_;
    // Fetches from the remote-configuration source that failed, told on
    // the client's queue: those not said yet, and the first.
    struct SourceFailures {
        mutable std::mutex mutex;
        std::vector<std::string> unsaid;
        std::optional<std::string> first;
    };
    std::shared_ptr<SourceFailures> sourceFailures_ = std::make_shared<SourceFailures>();
    std::vector<std::string> notices_;
    bool quit_ = false;
};

// The data folder used when none is given.
std::filesystem::path defaultDataDirectory();

// What to tell someone who asks for a language ("de", "fr_FR") the main
// bundle has no texts in: the languages it holds, and that its texts stay in
// English; none when the bundle holds the language, or none was asked for.
std::optional<std::string> languageNotice(const std::string& identifier);

}  // namespace velmora::runner
