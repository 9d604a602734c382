// A task manager and manager on manual time, a scripted experiments service and temporary files, for the tests of this library.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/experiments_manager.h"
#include "measurement/experiments/task_manager.h"
#include "measurement/foundation/monitor.h"
#include "platform/dispatch/timer.h"
#include "platform/foundation/user_defaults.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/temp_dir.h"

namespace measurement::experiments_test {

inline constexpr double kStart = 1700000000.0;
inline constexpr const char* kSDK = "doz_urerizarori";

// The service's answers, in order; once they run out every request fails
// as a transport failure. Each answer reaches the queue the request named,
// as the platform's network object hands it over.
class ScriptedService : public APMEExperimentsNetwork {
public:
    struct Answer {
        int status = 200;
        // Sent as it stands: gzip it with gzipped() for a usable reply.
        NANOBytes body;
    };
    struct Request {
        std::string url;
        NANOBytes payload;
        double time = 0;
    };

    void postURL(const std::string& url, NANOBytes payload, std::shared_ptr<platform::dispatch::Queue> queue,
                 platform::RULNetworkCompletionHandler completionHandler) override;

    // Hands the held answers to their queues.
    void releaseReplies();
    // The switch given, when one is: a network that can tell.
    bool isNetworkConnected() const override { return !reachability || reachability->isReachable(); }
    std::unique_ptr<platform::Reachability::Observation> whenReachable(std::function<void()> returned) override {
        if (!reachability) return nullptr;
        return reachability->observe([returned = std::move(returned)](bool reachable) {
            if (reachable) returned();
        });
    }

    std::deque<Answer> script;
    std::vector<Request> requests;
    // While set, answers wait for releaseReplies(): a fetch stays under way.
    bool holdReplies = false;
    std::shared_ptr<platform::Reachability> reachability;
    std::vector<std::function<void()>> heldReplies;
};

NANOBytes gzipped(const NANOBytes& bytes);
// A flag of each kind: a string value is a string flag, 1.5 a double...
APMPBFlag flag(const std::string& name, const platform::Value& value);
APMPBExperiment experimentMessage(std::int32_t id, const std::vector<APMPBFlag>& flags);
APMPBSnapshot snapshotMessage(const std::string& sdkName, const std::vector<APMPBExperiment>& experiments);
// An ExperimentResponse with these snapshots in its list, encoded and
// gzipped.
ScriptedService::Answer okReply(const std::vector<APMPBSnapshot>& snapshots);
APMESnapshot snapshot(const std::string& sdkName, const std::vector<APMPBExperiment>& experiments);

// Remembers what a registered SDK heard.
class RecordingObserver : public APMEExperimentObserverDelegate {
public:
    bool respondsToClientDidReceiveNewSnapshot() const override { return listensForSnapshots; }
    void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) override;
    bool respondsToClientDidReceiveFetchError() const override { return true; }
    void client(const std::shared_ptr<APMEClient>& client, const APMError& error) override;
    bool respondsToShouldFetchExperimentsForClient() const override { return decidesFetches; }
    bool shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>& client) override;

    bool listensForSnapshots = true;
    bool decidesFetches = false;
    bool allowsFetches = true;
    std::vector<std::string> newSnapshots;
    std::vector<std::pair<std::string, long>> fetchErrors;
    int fetchQuestions = 0;
};

// Files in a temporary folder, the experiments suite in its own preferences
// folder, manual time and queues, the monitor captured.
class ExperimentsFixture {
public:
    ExperimentsFixture();
    ~ExperimentsFixture();

    // A new task manager and manager on the same files, as after a process
    // start; started unless asked not to.
    void launch(bool start = true);
    // Ends the run: queues drained, both dropped.
    void stop();
    void settle() { time.settle(); }
    // Registers the SDK with the observer as its delegate.
    std::shared_ptr<APMEClient> registerSDK(const std::string& sdkName, const platform::Value::Dictionary& defaults = {},
                                            std::optional<std::string> diversionKey = std::nullopt);

    // On the worker queue.
    template <class Block>
    void onWorker(Block block) {
        taskManager->dispatchSyncOnWorkerQueue(block);
    }
    std::vector<APMESnapshot> stored(const std::string& table);
    double timestamp(const std::string& key) const;
    std::vector<double> requestTimes() const;

    // An address for the scripted service to stand behind: without one the
    // task manager asks nothing.
    testsupport::ScopedLaunchOptions address{
        [](platform::LaunchOptions& o) { o.experimentsServiceURL = "http://127.0.0.1:9"; }};
    platform::dispatch::ManualTime time{true, kStart};
    testsupport::TempDir dir;
    platform::ScopedDataDirectory preferences{dir / "Preferences"};
    APMMonitorCapture capture;
    std::shared_ptr<ScriptedService> service = std::make_shared<ScriptedService>();
    std::shared_ptr<RecordingObserver> observer = std::make_shared<RecordingObserver>();
    std::shared_ptr<APMEExperimentRequestBuilder> builder;
    std::shared_ptr<APMETaskManager> taskManager;
    std::shared_ptr<APMEManager> manager;
    std::vector<std::shared_ptr<APMEClient>> clients;
    std::string databasePath;
};

// The IDs of a manager's experiments, as numbers.
std::vector<std::int64_t> ids(std::initializer_list<std::int64_t> list);

}  // namespace measurement::experiments_test
