// `velmora analytics log NAME [key=value ...]`: logs one event through the
// public analytics interface and returns once it is stored, or says why it
// was not and exits 1.
// `velmora analytics dump`: the stored raw events, queued bundles and user
// properties as JSON read from the measurement database, and the rows that
// do not read back, each with its table, row ID and reason.
// The application's own commands (`velmora calc`) configure the default
// application as start-up does, so their events are stored too. The engine
// uploads what it stores to the measurement service named by the service
// property list or by $VELMORA_MEASUREMENT_SERVICE_URL; without one nothing
// is sent.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/core/arurerudo.h"
#include "measurement/core/facade.h"
#include "measurement/core/stored_data.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/monitor.h"
#include "platform/foundation/json_codec.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/app_core/background_task.h"
#include "tools/command_registry.h"
#include "velmora/shell/measurement_analytics.h"

namespace {

using platform::Value;

// The commands that run the application's code and so log its events.
const std::set<std::string> kApplicationCommands = {"calc"};
constexpr double kStoreTimeoutSeconds = 60;
// The upload that follows, as when the application resigns active, is
// given this long; its data stays stored for a later run either way.
constexpr double kUploadGraceSeconds = 10;

// The default data folder: "velmora" under the user's data home, holding
// "Application Support" and "Preferences" as the platform defaults do.
std::filesystem::path defaultDataFolder() {
    return platform::ProcessInfo::defaultApplicationSupportDirectory().parent_path();
}

std::filesystem::path dataFolderFromEnvironment() {
    const char* folder = std::getenv("VELMORA_DATA");
    return folder && *folder ? std::filesystem::path(folder) : defaultDataFolder();
}

void useDataFolder(const std::filesystem::path& folder) {
    platform::ProcessInfo::setApplicationSupportDirectory(folder / "Application Support");
    platform::UserDefaults::setDataDirectory(folder / "Preferences");
}

// Every event write of the engine while it lives: the name, and why it
// was not stored (none when it was).
class EventWrites {
public:
    struct Write {
        std::string name;
        std::optional<std::string> failure;
    };

    EventWrites()
        : identifier_(measurement::APMAnalytics::addEventWriteListener(
              [state = state_](const measurement::APMEvent& event, const std::optional<std::string>& failure) {
                  std::lock_guard lock(state->mutex);
                  state->writes.push_back({event.name(), failure});
              })) {}
    ~EventWrites() { measurement::APMAnalytics::removeEventWriteListener(identifier_); }
    EventWrites(const EventWrites&) = delete;
    EventWrites& operator=(const EventWrites&) = delete;

    std::vector<Write> writes() const {
        std::lock_guard lock(state_->mutex);
        return state_->writes;
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<Write> writes;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::uint64_t identifier_;
};

// Waits until the engine has handled every operation accepted so far.
bool waitForAcceptedOperations() {
    auto handled = std::make_shared<std::promise<void>>();
    auto future = handled->get_future();
    measurement::APMAnalytics::performAfterQueuedOperations("velmora:handled", [handled] { handled->set_value(); });
    return future.wait_for(std::chrono::duration<double>(kStoreTimeoutSeconds)) == std::future_status::ready;
}

// As the application does when it resigns active: the engine uploads what
// it holds and ends its background task once that attempt is over. A
// failing service ends the attempt at once; a slow one is not waited for.
void uploadAsOnResignation() {
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    if (!platform::BackgroundTasks::shared().waitUntilNoActiveTask(kUploadGraceSeconds)) {
        std::cerr << "velmora: the upload did not finish within " << kUploadGraceSeconds
                  << " s; the data stays stored for the next run\n";
    }
}

// Why the event of that name was not stored; none when it was.
std::optional<std::string> failureOf(const std::string& name, const std::vector<EventWrites::Write>& writes) {
    bool stored = false;
    for (const auto& write : writes) {
        if (write.name != name) continue;
        if (write.failure) return write.failure;
        stored = true;
    }
    if (stored) return std::nullopt;
    for (const auto& write : writes) {
        if (write.name == "_err" && !write.failure) return "its name or parameters were refused; an error event was stored";
    }
    return "the engine did not write an event of that name";
}

// "7" and "-3" are integers, "0.5" and "1e3" reals, anything else text.
Value parameterValue(const std::string& text) {
    if (!text.empty()) {
        std::size_t used = 0;
        try {
            const long long integer = std::stoll(text, &used);
            if (used == text.size()) return Value(integer);
        } catch (const std::exception&) {
        }
        try {
            const double real = std::stod(text, &used);
            if (used == text.size()) return Value(real);
        } catch (const std::exception&) {
        }
    }
    return Value(text);
}

int logOne(const std::string& name, const std::vector<std::string>& pairs) {
    Value::Dictionary parameters;
    for (const auto& pair : pairs) {
        const auto equals = pair.find('=');
        if (equals == std::string::npos || equals == 0) {
            std::cerr << "velmora analytics log: parameters are key=value, not \"" << pair << "\"\n";
            return 2;
        }
        parameters[pair.substr(0, equals)] = parameterValue(pair.substr(equals + 1));
    }
    EventWrites writes;
    if (!velmora::configureMeasurementAnalytics()) {
        std::cerr << "velmora analytics log: the application could not be configured\n";
        return 1;
    }
    measurement::VEZArurerudo::logEventWithName(name, parameters);
    if (!waitForAcceptedOperations()) {
        std::cerr << "velmora analytics log: the event was not stored within " << kStoreTimeoutSeconds << " s\n";
        return 1;
    }
    if (const auto failure = failureOf(name, writes.writes())) {
        std::cerr << "velmora analytics log: the event was not stored: " << *failure << '\n';
        return 1;
    }
    uploadAsOnResignation();
    return 0;
}

Value describeHeader(const measurement::APMPBMeasurementBundle& header) {
    using measurement::APMPBMeasurementBundleFieldIndex;
    auto text = [&](int tag) { return Value(measurement::NANOGetString(header, APMPBMeasurementBundleFieldIndex(tag)).value_or("")); };
    Value::Array properties;
    for (const auto& property : measurement::NANOGetArray<measurement::APMPBUserAttribute>(header, APMPBMeasurementBundleFieldIndex(3))) {
        properties.push_back(Value(measurement::NANOGetString(property, 1).value_or("")));
    }
    return Value::Dictionary{{"platform", text(8)},          {"os_version", text(9)},
                             {"device_model", text(10)},     {"language", text(11)},
                             {"app_id", text(14)},           {"app_version", text(16)},
                             {"measurement_app_id", text(25)}, {"consent_signals", text(52)},
                             {"user_properties", properties}};
}

int dump() {
    std::optional<measurement::APMError> error;
    const auto data = measurement::APMReadStoredData(&error);
    if (!data) {
        std::cerr << "velmora analytics dump: " << (error ? error->description() : "cannot read the database") << '\n';
        return 1;
    }
    Value::Array rawEvents;
    for (const auto& stored : data->rawEvents) {
        const auto& event = stored.raw.event();
        Value::Dictionary parameters;
        for (const auto& [key, value] : event.parameters()) parameters.emplace(key, value.objectValue());
        rawEvents.push_back(Value::Dictionary{
            {"rowid", static_cast<long long>(stored.raw.rowID())},
            {"name", event.name()},
            {"origin", event.origin()},
            {"public", event.isPublic()},
            {"timestamp", event.timestamp()},
            {"realtime", event.isRealtime()},
            {"parameters", parameters},
            {"metadata_fingerprint", static_cast<long long>(stored.raw.metadataFingerprint())},
            {"metadata", stored.metadata ? describeHeader(*stored.metadata) : Value()}});
    }
    Value::Array queue;
    for (const auto& bundle : data->queuedBundles) {
        Value::Dictionary entry = describeHeader(bundle).asDictionary();
        Value::Array names;
        for (const auto& event : measurement::NANOGetArray<measurement::APMPBEvent>(
                 bundle, measurement::APMPBMeasurementBundleFieldIndex(2))) {
            names.push_back(Value(measurement::NANOGetString(event, 1).value_or("")));
        }
        entry.emplace("events", names);
        queue.push_back(entry);
    }
    Value::Array userProperties;
    for (const auto& property : data->userAttributes) {
        userProperties.push_back(Value::Dictionary{{"name", property.name()},
                                                   {"origin", property.origin()},
                                                   {"value", property.value().objectValue()},
                                                   {"set_timestamp", property.lastSetTimestamp()}});
    }
    Value::Array unreadable;
    for (const auto& row : data->unreadableRows) {
        unreadable.push_back(Value::Dictionary{
            {"table", row.table}, {"rowid", static_cast<long long>(row.rowID)}, {"reason", row.reason}});
    }
    std::cout << platform::writeJSON(Value::Dictionary{{"raw_events", rawEvents},
                                                       {"queued_bundles", queue},
                                                       {"user_properties", userProperties},
                                                       {"unreadable_rows", unreadable}},
                                     true)
              << '\n';
    return 0;
}

struct Options {
    std::string data;
    std::string name;
    std::vector<std::string> parameters;
};

// The application's commands configure the default application at their
// start, as the application does at launch, and wait at their end until the
// events they logged are stored; events that were not are reported (the
// command's own result stands).
void storeApplicationEvents(CLI::App& app) {
    static std::unique_ptr<EventWrites> writes;
    app.parse_complete_callback([&app] {
        bool runsApplication = false;
        for (const auto* command : app.get_subcommands()) runsApplication |= kApplicationCommands.count(command->get_name()) > 0;
        if (!runsApplication) return;
        useDataFolder(dataFolderFromEnvironment());
        writes = std::make_unique<EventWrites>();
        velmora::configureMeasurementAnalytics();
    });
    app.final_callback([] {
        if (!writes) return;
        if (!platform::VEZApp::isDefaultAppConfigured()) {
            std::cerr << "velmora: the application could not be configured; no analytics event was stored\n";
        } else if (!waitForAcceptedOperations()) {
            std::cerr << "velmora: the analytics events were not stored within " << kStoreTimeoutSeconds << " s\n";
        } else {
            for (const auto& write : writes->writes()) {
                if (write.failure) std::cerr << "velmora: event " << write.name << " was not stored: " << *write.failure << '\n';
            }
            uploadAsOnResignation();
        }
        writes.reset();
    });
}

const tools::CommandRegistration registration([](CLI::App& app, int& status) {
    // Launch arguments such as "-VEZArurerudoDebugEnabled" (debug mode: the
    // shortest upload interval) reach the engine's monitor, which may have
    // been made before main() recorded them.
    measurement::APMMonitor::shared().reloadLaunchArguments();
    auto options = std::make_shared<Options>();
    auto* analytics = app.add_subcommand("analytics", "Log events through the measurement engine and read its database");
    analytics->require_subcommand(1);
    const std::string dataHelp = "Data folder (default: $VELMORA_DATA, else velmora under the user's data home)";
    analytics->add_option("--data", options->data, dataHelp);

    auto* log = analytics->add_subcommand("log", "Log one event and return once it is stored");
    log->add_option("name", options->name, "Event name")->required();
    log->add_option("parameters", options->parameters, "Parameters as key=value");
    log->add_option("--data", options->data, dataHelp);
    log->callback([options, &status] {
        useDataFolder(options->data.empty() ? dataFolderFromEnvironment() : std::filesystem::path(options->data));
        status = logOne(options->name, options->parameters);
    });

    auto* dumpCommand = analytics->add_subcommand("dump", "Print stored raw events, queued bundles and user properties");
    dumpCommand->add_option("--data", options->data, dataHelp);
    dumpCommand->callback([options, &status] {
        useDataFolder(options->data.empty() ? dataFolderFromEnvironment() : std::filesystem::path(options->data));
        status = dump();
    });
    storeApplicationEvents(app);
});

}  // namespace
