// Measurement configurations read from JSON or encoded files.
#include "tools/collector/config_file.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <system_error>

#include "measurement/foundation/hashing.h"
#include "measurement/control/script_control.h"
#include "measurement/foundation/messages.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/json_codec.h"
#include "tools/collector/time_format.h"

namespace tools::collector {

namespace {

using measurement::APMPBAudience;
using measurement::APMPBConsentDefault;
using measurement::APMPBConsentDelegation;
using measurement::APMPBConsentSection;
using measurement::APMPBEventConfig;
using measurement::APMPBEventFilter;
using measurement::APMPBFilter;
using measurement::APMPBNumberFilter;
using measurement::APMPBProgram;
using measurement::APMPBPropertyFilter;
using measurement::APMPBStringFilter;
using measurement::APMPBMeasurementConfig;
using measurement::APMPBSetting;
using platform::Value;

template <class M>
int at(int tag) {
    return measurement::NANOFieldIndexForTag<M>(tag);
}

// A failed conversion of one part of the JSON form, named by its path.
struct ConfigError {
    std::string message;
};

[[noreturn]] void refuse(const std::string& path, const std::string& expected) {
    throw ConfigError{(path.empty() ? std::string("the configuration") : "\"" + path + "\"") + " must be " + expected};
}

const Value::Dictionary& objectAt(const Value& value, const std::string& path) {
    if (!value.isDictionary()) refuse(path, "an object");
    return value.asDictionary();
}

const Value::Array& arrayAt(const Value& value, const std::string& path) {
    if (!value.isArray()) refuse(path, "a list");
    return value.asArray();
}

const std::string& textAt(const Value& value, const std::string& path) {
    if (!value.isString()) refuse(path, "text");
    return value.asString();
}

bool boolAt(const Value& value, const std::string& path) {
    if (!value.isBool()) refuse(path, "true or false");
    return value.boolValue();
}

std::int64_t int64At(const Value& value, const std::string& path) {
    if (!value.isInt()) refuse(path, "a whole number");
    return value.intValue();
}

std::int32_t int32At(const Value& value, const std::string& path) {
    const std::int64_t number = int64At(value, path);
    if (number < INT32_MIN || number > INT32_MAX) refuse(path, "a 32-bit whole number");
    return static_cast<std::int32_t>(number);
}

// Type codes are unsigned 32-bit fields; the setter keeps their bits.
std::int32_t uint32At(const Value& value, const std::string& path) {
    const std::int64_t number = int64At(value, path);
    if (number < 0 || number > UINT32_MAX) refuse(path, "a whole number from 0 to 4294967295");
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
}

std::vector<std::string> textListAt(const Value& value, const std::string& path) {
    std::vector<std::string> texts;
    for (const auto& item : arrayAt(value, path)) texts.push_back(textAt(item, path + "[]"));
    return texts;
}

// The keys an object of the JSON form may hold, each with what it writes.
template <class M>
using Members = std::map<std::string, std::function<void(M&, const Value&, const std::string& path)>>;

template <class M>
void readObject(M& message, const Value& value, const std::string& path, const Members<M>& members) {
    for (const auto& [key, item] : objectAt(value, path)) {
        const auto member = members.find(key);
        const std::string itemPath = path.empty() ? key : path + "." + key;
        if (member == members.end()) throw ConfigError{"unknown key \"" + itemPath + "\""};
        member->second(message, item, itemPath);
    }
}

template <class M>
M readMessage(const Value& value, const std::string& path, const Members<M>& members) {
    M message;
    readObject(message, value, path, members);
    return message;
}

template <class M>
std::vector<M> readMessages(const Value& value, const std::string& path, const Members<M>& members) {
    std::vector<M> messages;
    for (const auto& item : arrayAt(value, path)) messages.push_back(readMessage(item, path + "[]", members));
    return messages;
}

// The member that writes the field with that tag: Read checks and converts
// the JSON value, Write is the message setter.
template <class M, auto Read, auto Write>
auto member(int tag) {
    return [tag](M& message, const Value& value, const std::string& path) {
        Write(message, at<M>(tag), Read(value, path));
    };
}

template <class M>
auto int32Member(int tag) {
    return member<M, int32At, measurement::NANOSetInt32>(tag);
}

template <class M>
auto uint32Member(int tag) {
    return member<M, uint32At, measurement::NANOSetInt32>(tag);
}

template <class M>
auto boolMember(int tag) {
    return member<M, boolAt, measurement::NANOSetBool>(tag);
}

template <class M>
auto textMember(int tag) {
    return member<M, textAt, measurement::NANOSetString>(tag);
}

template <class M>
auto textListMember(int tag) {
    return member<M, textListAt, measurement::NANOSetArray<std::string>>(tag);
}

std::vector<APMPBSetting> settingsAt(const Value& value, const std::string& path) {
    std::vector<APMPBSetting> settings;
    for (const auto& [name, text] : objectAt(value, path)) {
        APMPBSetting setting;
        measurement::NANOSetString(setting, at<APMPBSetting>(1), name);
        measurement::NANOSetString(setting, at<APMPBSetting>(2), textAt(text, path + "." + name));
        settings.push_back(std::move(setting));
    }
    return settings;
}

std::vector<APMPBEventConfig> eventsAt(const Value& value, const std::string& path) {
    static const Members<APMPBEventConfig> members = {
        {"blocked", boolMember<APMPBEventConfig>(2)},
        {"custom_conversion", boolMember<APMPBEventConfig>(3)},
        {"sampling_rate", int32Member<APMPBEventConfig>(4)},
    };
    std::vector<APMPBEventConfig> events;
    for (const auto& [name, entry] : objectAt(value, path)) {
        APMPBEventConfig event;
        measurement::NANOSetString(event, at<APMPBEventConfig>(1), name);
        readObject(event, entry, path + "." + name, members);
        events.push_back(std::move(event));
    }
    return events;
}

APMPBConsentSection consentAt(const Value& value, const std::string& path) {
    static const Members<APMPBConsentDefault> defaultMembers = {
        {"type", int32Member<APMPBConsentDefault>(1)},
        {"status", int32Member<APMPBConsentDefault>(2)},
    };
    static const Members<APMPBConsentDelegation> delegationMembers = {
        {"type", int32Member<APMPBConsentDelegation>(1)},
        {"delegated_type", int32Member<APMPBConsentDelegation>(2)},
    };
    static const Members<APMPBConsentSection> members = {
        {"defaults",
         [](APMPBConsentSection& section, const Value& item, const std::string& itemPath) {
             measurement::NANOSetArray(section, at<APMPBConsentSection>(1),
                                       readMessages(item, itemPath, defaultMembers));
         }},
        {"delegations",
         [](APMPBConsentSection& section, const Value& item, const std::string& itemPath) {
             measurement::NANOSetArray(section, at<APMPBConsentSection>(2),
                                       readMessages(item, itemPath, delegationMembers));
         }},
        {"regional_defaults",
         [](APMPBConsentSection& section, const Value& item, const std::string& itemPath) {
             measurement::NANOSetArray(section, at<APMPBConsentSection>(3),
                                       readMessages(item, itemPath, defaultMembers));
         }},
    };
    return readMessage(value, path, members);
}

// A sub-message member: the JSON object read with its own members.
template <class M, class Sub>
auto messageMember(int tag, const Members<Sub>& members) {
    return [tag, &members](M& message, const Value& value, const std::string& path) {
        measurement::NANOSetMessage(message, at<M>(tag), readMessage(value, path, members));
    };
}

template <class M, class Element>
auto messagesMember(int tag, const Members<Element>& members) {
    return [tag, &members](M& message, const Value& value, const std::string& path) {
        measurement::NANOSetArray(message, at<M>(tag), readMessages(value, path, members));
    };
}

// Audience definitions under their proto field names; type codes are plain
// numbers, so a code the engine does not know can be served too.
const Members<APMPBNumberFilter>& numberFilterMembers() {
    using Filter = APMPBNumberFilter;
    static const Members<Filter> members = {
        {"comparison_type", uint32Member<Filter>(nano_APMPBNumberFilter_comparison_type_tag)},
        {"match_as_float", boolMember<Filter>(nano_APMPBNumberFilter_match_as_float_tag)},
        {"comparison_value", textMember<Filter>(nano_APMPBNumberFilter_comparison_value_tag)},
        {"min_comparison_value", textMember<Filter>(nano_APMPBNumberFilter_min_comparison_value_tag)},
        {"max_comparison_value", textMember<Filter>(nano_APMPBNumberFilter_max_comparison_value_tag)},
    };
    return members;
}

const Members<APMPBStringFilter>& stringFilterMembers() {
    using Filter = APMPBStringFilter;
    static const Members<Filter> members = {
        {"match_type", uint32Member<Filter>(nano_APMPBStringFilter_match_type_tag)},
        {"expression", textMember<Filter>(nano_APMPBStringFilter_expression_tag)},
        {"case_sensitive", boolMember<Filter>(nano_APMPBStringFilter_case_sensitive_tag)},
        {"expression_list", textListMember<Filter>(nano_APMPBStringFilter_expression_list_tag)},
    };
    return members;
}

const Members<APMPBFilter>& valueFilterMembers() {
    using Filter = APMPBFilter;
    static const Members<Filter> members = {
        {"string_filter", messageMember<Filter>(nano_APMPBFilter_string_filter_tag, stringFilterMembers())},
        {"number_filter", messageMember<Filter>(nano_APMPBFilter_number_filter_tag, numberFilterMembers())},
        {"complement", boolMember<Filter>(nano_APMPBFilter_complement_tag)},
        {"parameter_name", textMember<Filter>(nano_APMPBFilter_parameter_name_tag)},
    };
    return members;
}

const Members<APMPBEventFilter>& eventFilterMembers() {
    using Filter = APMPBEventFilter;
    static const Members<Filter> members = {
        {"filter_id", int32Member<Filter>(nano_APMPBEventFilter_filter_id_tag)},
        {"event_name", textMember<Filter>(nano_APMPBEventFilter_event_name_tag)},
        {"parameter_filters", messagesMember<Filter>(nano_APMPBEventFilter_parameter_filters_tag, valueFilterMembers())},
        {"event_count_filter",
         messageMember<Filter>(nano_APMPBEventFilter_event_count_filter_tag, numberFilterMembers())},
        {"dynamic", boolMember<Filter>(nano_APMPBEventFilter_dynamic_tag)},
        {"sequence", boolMember<Filter>(nano_APMPBEventFilter_sequence_tag)},
        {"session_scoped", boolMember<Filter>(nano_APMPBEventFilter_session_scoped_tag)},
    };
    return members;
}

const Members<APMPBPropertyFilter>& propertyFilterMembers() {
    using Filter = APMPBPropertyFilter;
    static const Members<Filter> members = {
        {"filter_id", int32Member<Filter>(nano_APMPBPropertyFilter_filter_id_tag)},
        {"property_name", textMember<Filter>(nano_APMPBPropertyFilter_property_name_tag)},
        {"filter", messageMember<Filter>(nano_APMPBPropertyFilter_filter_tag, valueFilterMembers())},
        {"dynamic", boolMember<Filter>(nano_APMPBPropertyFilter_dynamic_tag)},
        {"sequence", boolMember<Filter>(nano_APMPBPropertyFilter_sequence_tag)},
        {"session_scoped", boolMember<Filter>(nano_APMPBPropertyFilter_session_scoped_tag)},
    };
    return members;
}

const Members<APMPBAudience>& audienceMembers() {
    static const Members<APMPBAudience> members = {
        {"audience_id", int32Member<APMPBAudience>(nano_APMPBAudience_audience_id_tag)},
        {"event_filters", messagesMember<APMPBAudience>(nano_APMPBAudience_event_filters_tag, eventFilterMembers())},
        {"property_filters",
         messagesMember<APMPBAudience>(nano_APMPBAudience_property_filters_tag, propertyFilterMembers())},
    };
    return members;
}

const Members<APMPBMeasurementConfig>& configMembers() {
    using Config = APMPBMeasurementConfig;
    static const Members<Config> members = {
        {"version",
         [](Config& config, const Value& value, const std::string& path) {
             measurement::NANOSetInt64(config, at<Config>(1), int64At(value, path));
         }},
        {"app_id", textMember<Config>(2)},
        {"settings",
         [](Config& config, const Value& value, const std::string& path) {
             measurement::NANOSetArray(config, at<Config>(3), settingsAt(value, path));
         }},
        {"events",
         [](Config& config, const Value& value, const std::string& path) {
             measurement::NANOSetArray(config, at<Config>(4), eventsAt(value, path));
         }},
        {"upload_subdomain", textMember<Config>(5)},
        {"dma_region", boolMember<Config>(7)},
        {"consent",
         [](Config& config, const Value& value, const std::string& path) {
             measurement::NANOSetMessage(config, at<Config>(8), consentAt(value, path));
         }},
        {"data_controls", textListMember<Config>(10)},
        {"core_platform_services", textListMember<Config>(11)},
        {"audiences", messagesMember<Config>(nano_APMPBMeasurementConfig_audiences_tag, audienceMembers())},
    };
    return members;
}

// Programs are read apart from the other keys: a program file is found
// beside the configuration.
constexpr const char* kProgramsKey = "programs";

APMPBProgram assembledProgram(const std::string& text, const std::string& path) {
    const auto assembled = measurement::control::assembleProgram(text);
    if (!assembled.ok()) throw ConfigError{"\"" + path + "\": " + assembled.error};
    auto program = APMPBProgram::initWithBuffer(assembled.bytes);
    if (!program) throw ConfigError{"\"" + path + "\": the program does not encode"};
    return std::move(*program);
}

APMPBProgram programFile(const Value& value, const std::string& path, const std::filesystem::path& folder) {
    const auto& entry = objectAt(value, path);
    if (entry.size() != 1 || entry.count("file") == 0) refuse(path, "program text or {\"file\": NAME}");
    const auto file = folder / textAt(entry.at("file"), path + ".file");
    const auto contents = platform::readFile(file);
    if (!contents) throw ConfigError{"\"" + path + ".file\": " + file.string() + " cannot be read"};
    if (file.extension() != ".pb") return assembledProgram(*contents, path + ".file");
    const std::vector<std::uint8_t> bytes(contents->begin(), contents->end());
    auto program = measurement::control::isEncodedProgram(bytes) ? APMPBProgram::initWithBuffer(bytes) : std::nullopt;
    if (!program) throw ConfigError{"\"" + path + ".file\": " + file.string() + " is not an encoded program"};
    return std::move(*program);
}

std::vector<APMPBProgram> programsAt(const Value& value, const std::filesystem::path& folder) {
    std::vector<APMPBProgram> programs;
    const auto& entries = arrayAt(value, kProgramsKey);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string path = std::string(kProgramsKey) + "[" + std::to_string(i) + "]";
        programs.push_back(entries[i].isString() ? assembledProgram(entries[i].asString(), path)
                                                 : programFile(entries[i], path, folder));
    }
    return programs;
}

std::string etagOf(const Bytes& body) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string etag = "\"";
    for (const auto byte : measurement::apm_MD5Data(body)) {
        etag += kDigits[byte >> 4];
        etag += kDigits[byte & 0xf];
    }
    return etag + '"';
}

std::optional<std::string> lastModifiedOf(const std::filesystem::path& path) {
    std::error_code failure;
    const auto written = std::filesystem::last_write_time(path, failure);
    if (failure) return std::nullopt;
    const auto since1970 = std::chrono::file_clock::to_sys(written).time_since_epoch();
    return httpDateFromSeconds(std::chrono::duration_cast<std::chrono::seconds>(since1970).count());
}

std::optional<Bytes> encodedConfig(const std::filesystem::path& path, const std::string& contents,
                                   std::string* error) {
    if (path.extension() == ".pb") {
        Bytes body(contents.begin(), contents.end());
        if (APMPBMeasurementConfig::initWithBuffer(body)) return body;
        if (error) *error = "not an encoded measurement configuration";
        return std::nullopt;
    }
    std::string reason;
    const auto description = platform::parseJSON(contents, &reason);
    if (!description) {
        if (error) *error = reason;
        return std::nullopt;
    }
    return encodeConfigJSON(*description, error, path.parent_path());
}

}  // namespace

std::optional<Bytes> encodeConfigJSON(const Value& description, std::string* error,
                                      const std::filesystem::path& folder) {
    try {
        APMPBMeasurementConfig config;
        Value others = description;
        std::optional<std::vector<APMPBProgram>> programs;
        if (others.isDictionary()) {
            auto& keys = others.asDictionary();
            if (const auto found = keys.find(kProgramsKey); found != keys.end()) {
                programs = programsAt(found->second, folder);
                keys.erase(found);
            }
        }
        readObject(config, others, "", configMembers());
        if (programs) {
            measurement::NANOSetArray(config, at<APMPBMeasurementConfig>(nano_APMPBMeasurementConfig_programs_tag),
                                      *programs);
        }
        return config.protoBuffer();
    } catch (const ConfigError& failure) {
        if (error) *error = failure.message;
        return std::nullopt;
    }
}

std::optional<ServedConfig> loadConfig(const std::filesystem::path& path, std::string* error) {
    const auto contents = platform::readFile(path);
    const auto lastModified = lastModifiedOf(path);
    if (!contents || !lastModified) {
        if (error) *error = path.string() + ": cannot be read";
        return std::nullopt;
    }
    std::string reason;
    auto body = encodedConfig(path, *contents, &reason);
    if (!body) {
        if (error) *error = path.string() + ": " + reason;
        return std::nullopt;
    }
    const std::string etag = etagOf(*body);
    return ServedConfig{std::move(*body), etag, *lastModified};
}

}  // namespace tools::collector
