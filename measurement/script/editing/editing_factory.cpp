// Hosts of configurations' programs, behind the engine's event-editing
// interface.
#include "measurement/script/editing/editing_factory.h"

#include <string>

#include "measurement/script/editing/event_editing.h"
#include "measurement/script/editing/message_logger.h"
#include "measurement/script/editing/native_modules.h"

namespace measurement {

namespace {

APMError errorFrom(const ScriptError& failure) { return APMError(std::string(failure.domain), failure.code); }

class LoadedEventEditing final : public APMEventEditingHost {
public:
    explicit LoadedEventEditing(std::unique_ptr<APMPEventEditing> editing) : editing_(std::move(editing)) {}

    std::optional<APMEventEditingResult> handleEvent(const APMPEvent& event, APMErrorOut error) override {
        ScriptError failure;
        editing_->handleEvent(event, failure);
        if (failure) {
            if (error) *error = errorFrom(failure);
            return std::nullopt;
        }
        const auto& context = editing_->eventContext();
        APMEventEditingResult result;
        result.hasEdits = editing_->hasEdits();
        result.hasCreatedEvents = editing_->hasCreatedEvents();
        if (result.hasEdits) result.outputEvent = context.outputEvent();
        result.eventsToLog = context.eventsToLog();
        return result;
    }

private:
    std::unique_ptr<APMPEventEditing> editing_;
};

}  // namespace

std::shared_ptr<APMEventEditingHost> APMPEventEditingFactory::makeEventEditingWithProgram(
    const APMPBProgram& program, const APMEventEditingModules& modules, APMErrorOut error) {
    auto editing = std::make_unique<APMPEventEditing>(std::make_unique<APMPRuntime>(limits_));
    editing->setModuleCreator(
        [lookup = modules.remoteConfigValue] {
            return APMPValueRef(makeRef<APMPKeyValueStore>(u"internal.remoteConfig", lookup));
        },
        "internal.remoteConfig");
    editing->setModuleCreator(
        [metadata = modules.appMetadata] {
            APMPObjectProvider::Block block;
            if (metadata) block = [metadata] { return platform::Value(metadata()); };
            return APMPValueRef(makeRef<APMPObjectProvider>(u"internal.appMetadata", std::move(block)));
        },
        "internal.appMetadata");
    editing->setModuleCreator(
        [&monitor = monitor_] {
            return APMPValueRef(makeRef<APMPMessageLogger>(std::make_shared<APMPixieLogger>(monitor)));
        },
        "internal.logger");
    ScriptError failure;
    if (!editing->loadProgram(program, failure)) {
        if (error) *error = errorFrom(failure);
        return nullptr;
    }
    return std::make_shared<LoadedEventEditing>(std::move(editing));
}

}  // namespace measurement
