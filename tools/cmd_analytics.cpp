// `velmora analytics log NAME [key=value ...]`: logs one event through the
// public analytics interface and returns once it is stored.
// `velmora analytics dump`: the stored raw events, queued bundles and user
// properties as JSON read from the measurement database.
// The application's own commands (`velmora calc`) configure the default
// application as start-up does, so their events are stored too. The engine
// uploads what it stores to the measurement service named by the service
// property list or by $VELMORA_MEASUREMENT_SERVICE_URL; without one nothing
// is sent.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "measurement/core/arurerudo.h"
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

// As the application does when it resigns active: the engine stores what
// was accepted and ends its background task.
bool waitUntilStored() {
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    return platform::BackgroundTasks::shared().waitUntilNoActiveTask(kStoreTimeoutSeconds);
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
    if (!velmora::configureMeasurementAnalytics()) {
        std::cerr << "velmora analytics log: the application could not be configured\n";
        return 1;
    }
    measurement::VEZArurerudo::logEventWithName(name, parameters);
    if (!waitUntilStored()) {
        std::cerr << "velmora analytics log: the event was not stored within " << kStoreTimeoutSeconds << " s\n";
        return 1;
    }
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
    std::cout << platform::writeJSON(Value::Dictionary{{"raw_events", rawEvents},
                                                       {"queued_bundles", queue},
                                                       {"user_properties", userProperties}},
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
// events they logged are stored.
void storeApplicationEvents(CLI::App& app) {
    app.parse_complete_callback([&app] {
        bool runsApplication = false;
        for (const auto* command : app.get_subcommands()) runsApplication |= kApplicationCommands.count(command->get_name()) > 0;
        if (!runsApplication) return;
        useDataFolder(dataFolderFromEnvironment());
        velmora::configureMeasurementAnalytics();
    });
    app.final_callback([&app] {
        bool runsApplication = false;
        for (const auto* command : app.get_subcommands()) runsApplication |= kApplicationCommands.count(command->get_name()) > 0;
        if (runsApplication && platform::VEZApp::isDefaultAppConfigured()) waitUntilStored();
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
