// Uploads across process stops: the whole engine runs in child processes of
// this test executable on one data folder, against a loopback service.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "measurement/core/arurerudo.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/environment.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/bundle_tags.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/app_core/background_task.h"
#include "testsupport/child_process.h"
#include "testsupport/loopback_server.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_environment.h"
#include "testsupport/test_hooks.h"

namespace {

using namespace measurement;

constexpr const char* kChildDataVariable = "VELMORA_UPLOAD_CHILD_DATA";
constexpr const char* kChildEventVariable = "VELMORA_UPLOAD_CHILD_EVENT";
constexpr const char* kChildTestCase = "Child process: log one event and upload it";
constexpr const char* kUploadPath = "/a";

// Starts this executable again to run the child test case alone, with the
// variables added to the environment; its output goes to the log file.
pid_t spawnChild(const std::vector<std::string>& variables, const std::filesystem::path& log) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    REQUIRE(out >= 0);
    const pid_t pid = testsupport::spawnChild({"/proc/self/exe", std::string("--test-case=") + kChildTestCase},
                                              testsupport::environmentWith(variables), out, out);
    close(out);
    return pid;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The public events of a batch body, in order.
std::vector<std::string> appEventNames(const std::string& body) {
    auto batch = APMPBMeasurementBatch::initWithBuffer(body);
    REQUIRE(batch);
    std::vector<std::string> names;
    for (const auto& bundle : NANOGetArray<APMPBMeasurementBundle>(*batch, 0)) {
        for (const auto& event : NANOGetArray<APMPBEvent>(bundle, bundleFieldIndex(bundle_tag::kEvents))) {
            auto name = NANOGetString(event, event_field::kName).value_or("");
            if (!name.empty() && name[0] != '_') names.push_back(name);
        }
    }
    return names;
}

testsupport::ScriptedResponse answer(int status, bool hold = false) {
    testsupport::ScriptedResponse response;
    response.status = status;
    response.hold = hold;
    return response;
}

}  // namespace

// Runs only inside a child started by the test below: the application
// starts on the data folder, logs the event and resigns active, which
// uploads; the process ends once the upload is confirmed (or is killed while
// it waits).
TEST_CASE("Child process: log one event and upload it") {
    const auto data = testsupport::variableAtStart(kChildDataVariable);
    const auto event = testsupport::variableAtStart(kChildEventVariable);
    if (!data || !event) return;
    const std::filesystem::path folder(*data);
    platform::ProcessInfo::setApplicationSupportDirectory(folder / "Application Support");
    platform::UserDefaults::setDataDirectory(folder / "Preferences");
    // The engine's diagnostics go to the child's log.
    APMMonitor::shared().setDebugModeEnabled(true);
    // The event and the resignation come while the engine may still be
    // starting: the resignation's background task lasts until the event is
    // stored and uploaded, whatever the start's own schedule decides.
    REQUIRE(platform::VEZApp::configure());
    VEZArurerudo::logEventWithName(*event);
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    REQUIRE(platform::BackgroundTasks::shared().waitUntilNoActiveTask(60));
    // The block that ended the task has returned before the process ends.
    APMMeasurement::sharedInstance()->scheduler().workerQueue()->sync([] {});
    test_hooks::resetMeasurementEngine();
}

TEST_CASE("No event is lost when the process is killed during an upload") {
    testsupport::TempDir folder;
    testsupport::LoopbackServer server;
    const std::vector<std::string> common{std::string(kChildDataVariable) + "=" + folder.path().string(),
                                          "VELMORA_MEASUREMENT_SERVICE_URL=" + server.url("")};
    auto run = [&](const std::string& event) {
        auto variables = common;
        variables.push_back(std::string(kChildEventVariable) + "=" + event);
        return spawnChild(variables, folder.path() / (event + ".log"));
    };
    // Only uploads are answered as the test says and looked at: a process
    // that lives longer (under load, under a sanitizer) may ask for more,
    // and may upload what an earlier process left before or together with
    // its own event.
    auto uploads = [&] {
        std::vector<testsupport::RecordedRequest> found;
        for (auto& request : server.requests()) {
            if (request.path == kUploadPath) found.push_back(std::move(request));
        }
        return found;
    };
    // The application's events of the uploads from the one at `first` on.
    auto sentSince = [&](std::size_t first) {
        std::multiset<std::string> names;
        const auto all = uploads();
        for (std::size_t i = first; i < all.size(); ++i) {
            for (auto& name : appEventNames(all[i].body)) names.insert(std::move(name));
        }
        return names;
    };

    // Confirmed: the first process's upload is answered.
    server.answer(kUploadPath, answer(204));
    const pid_t first = run("confirmed_event");
    REQUIRE_MESSAGE(testsupport::waitForChild(first, 90) == 0, readFile(folder.path() / "confirmed_event.log"));
    CHECK(sentSince(0) == std::multiset<std::string>{"confirmed_event"});

    // Not confirmed: the second process is killed while its upload waits.
    server.answer(kUploadPath, answer(204, true));
    std::size_t before = uploads().size();
    const pid_t second = run("unconfirmed_event");
    REQUIRE_MESSAGE(server.waitForHeld(1, 60), readFile(folder.path() / "unconfirmed_event.log"));
    CHECK(sentSince(before) == std::multiset<std::string>{"unconfirmed_event"});
    REQUIRE(kill(second, SIGKILL) == 0);
    CHECK(testsupport::waitForChild(second, 30) == 128 + SIGKILL);
    server.answer(kUploadPath, answer(204));
    server.release();

    // The third process sends the unconfirmed bundle again with its own,
    // and not the confirmed one.
    before = uploads().size();
    const pid_t third = run("third_event");
    REQUIRE_MESSAGE(testsupport::waitForChild(third, 90) == 0, readFile(folder.path() / "third_event.log"));
    CHECK(sentSince(before) == std::multiset<std::string>{"third_event", "unconfirmed_event"});

    // Nothing is left to send.
    before = uploads().size();
    const pid_t fourth = run("fourth_event");
    REQUIRE(testsupport::waitForChild(fourth, 90) == 0);
    CHECK(sentSince(before) == std::multiset<std::string>{"fourth_event"});
}

TEST_CASE("Processes uploading from one data folder send each event once and delete only what they sent") {
    testsupport::TempDir folder;
    testsupport::LoopbackServer server;
    auto run = [&](const std::string& event) {
        return spawnChild({std::string(kChildDataVariable) + "=" + folder.path().string(),
                           "VELMORA_MEASUREMENT_SERVICE_URL=" + server.url(""),
                           std::string(kChildEventVariable) + "=" + event},
                          folder.path() / (event + ".log"));
    };
    auto uploads = [&] {
        std::vector<std::string> bodies;
        for (auto& request : server.requests()) {
            if (request.path == kUploadPath) bodies.push_back(std::move(request.body));
        }
        return bodies;
    };

    // The first process's upload waits at the service, holding its bundle's
    // row until the answer comes.
    server.answer(kUploadPath, answer(204, true));
    const pid_t first = run("first_event");
    REQUIRE_MESSAGE(server.waitForHeld(1, 60), readFile(folder.path() / "first_event.log"));
    // Meanwhile a second process stores its event, its upload (if it makes
    // one) answered at once...
    server.answer(kUploadPath, answer(204));
    const pid_t second = run("second_event");
    REQUIRE_MESSAGE(testsupport::waitForChild(second, 90) == 0, readFile(folder.path() / "second_event.log"));
    // ...and a third, whose upload (if it makes one) the service refuses, so
    // that its bundle stays queued, in whatever row the queue gives it.
    const std::size_t refusedFrom = uploads().size();
    server.answer(kUploadPath, answer(500));
    const pid_t third = run("third_event");
    REQUIRE_MESSAGE(testsupport::waitForChild(third, 90) == 0, readFile(folder.path() / "third_event.log"));
    const std::size_t refusedTo = uploads().size();
    // The first upload is confirmed: its process deletes what it sent, and
    // nothing else.
    server.answer(kUploadPath, answer(204));
    server.release();
    REQUIRE_MESSAGE(testsupport::waitForChild(first, 90) == 0, readFile(folder.path() / "first_event.log"));

    std::multiset<std::string> delivered;
    const auto bodies = uploads();
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        if (i >= refusedFrom && i < refusedTo) continue;
        for (auto& name : appEventNames(bodies[i])) delivered.insert(std::move(name));
    }
    // Each once: none twice, and none deleted unsent.
    std::string names;
    for (const auto& name : delivered) names += (names.empty() ? "" : " ") + name;
    CHECK(names == "first_event second_event third_event");
}
