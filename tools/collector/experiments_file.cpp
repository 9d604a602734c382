// Reading the experiments reply of a file, from its encoded or its JSON form, and describing the exchange.
#include "tools/collector/experiments_file.h"

#include <cstdint>
#include <vector>

#include "measurement/foundation/messages.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/json_codec.h"
#include "tools/collector/printable_text.h"

namespace tools::collector {

namespace {

using measurement::APMPBExperiment;
using measurement::APMPBExperimentRequest;
using measurement::APMPBExperimentResponse;
using measurement::APMPBFlag;
using measurement::APMPBSdkResponse;
using measurement::APMPBSnapshot;
using platform::Value;

constexpr int field(int tag) { return measurement::APMPBFieldIndexForTag(tag); }

// A failed conversion of one part of the JSON form, named by its path.
struct FormError {
    std::string message;
};

[[noreturn]] void refuse(const std::string& path, const std::string& expected) {
    throw FormError{(path.empty() ? std::string("the experiments reply") : "\"" + path + "\"") + " must be " + expected};
}

const Value::Dictionary& objectAt(const Value& value, const std::string& path) {
    if (!value.isDictionary()) refuse(path, "an object");
    return value.asDictionary();
}

const Value::Array& listAt(const Value& value, const std::string& path) {
    if (value.isNull()) {
        static const Value::Array none;
        return none;
    }
    if (!value.isArray()) refuse(path, "a list");
    return value.asArray();
}

std::int64_t wholeAt(const Value& value, const std::string& path, std::int64_t low, std::int64_t high) {
    if (!value.isInt() || value.intValue() < low || value.intValue() > high) {
        refuse(path, "a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return value.intValue();
}

void onlyKeys(const Value::Dictionary& object, const std::vector<std::string>& known, const std::string& path) {
    for (const auto& [key, value] : object) {
        bool found = false;
        for (const auto& name : known) found = found || name == key;
        if (!found) refuse(path + "." + key, "one of the message's fields");
    }
}

APMPBFlag flagFrom(const Value& value, const std::string& path) {
    const auto& object = objectAt(value, path);
    onlyKeys(object, {"name", "int_value", "string_value", "double_value", "bool_value"}, path);
    APMPBFlag flag;
    if (const auto* name = value.find("name")) {
        if (!name->isString()) refuse(path + ".name", "text");
        measurement::NANOSetString(flag, field(nano_APMPBFlag_name_tag), name->asString());
    }
    if (const auto* integer = value.find("int_value")) {
        measurement::NANOSetInt64(flag, field(nano_APMPBFlag_int_value_tag),
                                  wholeAt(*integer, path + ".int_value", INT64_MIN, INT64_MAX));
    }
    if (const auto* text = value.find("string_value")) {
        if (!text->isString()) refuse(path + ".string_value", "text");
        measurement::NANOSetString(flag, field(nano_APMPBFlag_string_value_tag), text->asString());
    }
    if (const auto* real = value.find("double_value")) {
        if (!real->isNumber()) refuse(path + ".double_value", "a number");
        measurement::NANOSetDouble(flag, field(nano_APMPBFlag_double_value_tag), real->realValue());
    }
    if (const auto* boolean = value.find("bool_value")) {
        if (!boolean->isBool()) refuse(path + ".bool_value", "true or false");
        measurement::NANOSetBool(flag, field(nano_APMPBFlag_bool_value_tag), boolean->boolValue());
    }
    return flag;
}

APMPBExperiment experimentFrom(const Value& value, const std::string& path) {
    onlyKeys(objectAt(value, path), {"experiment_id", "flags"}, path);
    APMPBExperiment experiment;
    if (const auto* id = value.find("experiment_id")) {
        measurement::NANOSetInt32(experiment, field(nano_APMPBExperiment_experiment_id_tag),
                                  static_cast<std::int32_t>(wholeAt(*id, path + ".experiment_id", INT32_MIN, INT32_MAX)));
    }
    std::vector<APMPBFlag> flags;
    const auto& list = listAt(value["flags"], path + ".flags");
    for (std::size_t i = 0; i < list.size(); ++i) flags.push_back(flagFrom(list[i], path + ".flags[" + std::to_string(i) + "]"));
    measurement::NANOSetArray(experiment, field(nano_APMPBExperiment_flags_tag), flags);
    return experiment;
}

APMPBSnapshot snapshotFrom(const Value& value, const std::string& path) {
    onlyKeys(objectAt(value, path), {"sdk_name", "experiments"}, path);
    APMPBSnapshot snapshot;
    if (const auto* name = value.find("sdk_name")) {
        if (!name->isString()) refuse(path + ".sdk_name", "text");
        measurement::NANOSetString(snapshot, field(nano_APMPBSnapshot_sdk_name_tag), name->asString());
    }
    std::vector<APMPBExperiment> experiments;
    const auto& list = listAt(value["experiments"], path + ".experiments");
    for (std::size_t i = 0; i < list.size(); ++i) {
        experiments.push_back(experimentFrom(list[i], path + ".experiments[" + std::to_string(i) + "]"));
    }
    measurement::NANOSetArray(snapshot, field(nano_APMPBSnapshot_experiments_tag), experiments);
    return snapshot;
}

APMPBSdkResponse sdkResponseFrom(const Value& value, const std::string& path) {
    onlyKeys(objectAt(value, path), {"sdk_name", "status", "snapshot"}, path);
    APMPBSdkResponse response;
    if (const auto* name = value.find("sdk_name")) {
        if (!name->isString()) refuse(path + ".sdk_name", "text");
        measurement::NANOSetString(response, field(nano_APMPBSdkResponse_sdk_name_tag), name->asString());
    }
    if (const auto* status = value.find("status")) {
        // The bits of a uint32 go through the 32-bit accessor unchanged.
        const auto bits = static_cast<std::uint32_t>(wholeAt(*status, path + ".status", 0, UINT32_MAX));
        measurement::NANOSetInt32(response, field(nano_APMPBSdkResponse_status_tag), static_cast<std::int32_t>(bits));
    }
    if (const auto* snapshot = value.find("snapshot")) {
        measurement::NANOSetMessage(response, field(nano_APMPBSdkResponse_snapshot_tag),
                                    snapshotFrom(*snapshot, path + ".snapshot"));
    }
    return response;
}

std::string idsOf(const APMPBSnapshot& snapshot) {
    std::string text = " [";
    bool first = true;
    for (const auto& experiment :
         measurement::NANOGetArray<APMPBExperiment>(snapshot, field(nano_APMPBSnapshot_experiments_tag))) {
        text += (first ? "" : ", ") +
                std::to_string(measurement::NANOGetInt32(experiment, field(nano_APMPBExperiment_experiment_id_tag)));
        first = false;
    }
    return text + "]";
}

}  // namespace

std::optional<Bytes> encodeExperimentsJSON(const Value& description, std::string* error) {
    try {
        onlyKeys(objectAt(description, ""), {"snapshots", "sdk_responses"}, "");
        std::vector<APMPBSnapshot> snapshots;
        const auto& listed = listAt(description["snapshots"], "snapshots");
        for (std::size_t i = 0; i < listed.size(); ++i) {
            snapshots.push_back(snapshotFrom(listed[i], "snapshots[" + std::to_string(i) + "]"));
        }
        std::vector<APMPBSdkResponse> responses;
        const auto& perSDK = listAt(description["sdk_responses"], "sdk_responses");
        for (std::size_t i = 0; i < perSDK.size(); ++i) {
            responses.push_back(sdkResponseFrom(perSDK[i], "sdk_responses[" + std::to_string(i) + "]"));
        }
        APMPBExperimentResponse response;
        measurement::NANOSetArray(response, field(nano_APMPBExperimentResponse_snapshots_tag), snapshots);
        measurement::NANOSetArray(response, field(nano_APMPBExperimentResponse_sdk_responses_tag), responses);
        return response.protoBuffer();
    } catch (const FormError& failure) {
        if (error) *error = failure.message;
        return std::nullopt;
    }
}

std::optional<Bytes> loadExperiments(const std::filesystem::path& path, std::string* error) {
    const auto text = platform::readFile(path);
    if (!text) {
        if (error) *error = path.string() + ": cannot be read";
        return std::nullopt;
    }
    if (path.extension() == ".pb") {
        Bytes bytes(text->begin(), text->end());
        if (!APMPBExperimentResponse::initWithBuffer(bytes)) {
            if (error) *error = path.string() + ": not an encoded experiments response";
            return std::nullopt;
        }
        return bytes;
    }
    const auto json = platform::parseJSON(*text);
    if (!json) {
        if (error) *error = path.string() + ": not JSON";
        return std::nullopt;
    }
    std::string reason;
    auto bytes = encodeExperimentsJSON(*json, &reason);
    if (!bytes && error) *error = path.string() + ": " + reason;
    return bytes;
}

std::string describeExperimentsResponse(const Bytes& encoded) {
    const auto response = APMPBExperimentResponse::initWithBuffer(encoded);
    if (!response) return "not an experiments response";
    std::string text;
    const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    for (const auto& snapshot :
         measurement::NANOGetArray<APMPBSnapshot>(*response, field(nano_APMPBExperimentResponse_snapshots_tag))) {
        add(measurement::NANOGetString(snapshot, field(nano_APMPBSnapshot_sdk_name_tag)).value_or("(no name)") +
            idsOf(snapshot));
    }
    for (const auto& entry :
         measurement::NANOGetArray<APMPBSdkResponse>(*response, field(nano_APMPBExperimentResponse_sdk_responses_tag))) {
        std::string part = measurement::NANOGetString(entry, field(nano_APMPBSdkResponse_sdk_name_tag)).value_or("(no name)");
        if (const auto snapshot = measurement::NANOGetMessage<APMPBSnapshot>(entry, field(nano_APMPBSdkResponse_snapshot_tag))) {
            part += idsOf(*snapshot);
        }
        const auto status =
            static_cast<std::uint32_t>(measurement::NANOGetInt32(entry, field(nano_APMPBSdkResponse_status_tag)));
        if (status != 0) part += ": status " + std::to_string(status);
        add(part);
    }
    return text.empty() ? "no snapshots" : "snapshots " + text;
}

std::string describeExperimentsRequest(const Bytes& encoded) {
    const auto request = APMPBExperimentRequest::initWithBuffer(encoded);
    if (!request) return "not an experiment request";
    std::string text;
    if (const auto app = measurement::NANOGetMessage<measurement::APMPBAppProperty>(
            *request, field(nano_APMPBExperimentRequest_app_property_tag))) {
        for (int tag : {nano_APMPBAppProperty_platform_tag, nano_APMPBAppProperty_language_tag,
                        nano_APMPBAppProperty_bundle_id_tag}) {
            if (auto value = measurement::NANOGetString(*app, field(tag))) text += printable(*value) + " ";
        }
        text += std::to_string(measurement::NANOGetInt64(*app, field(nano_APMPBAppProperty_library_version_tag)));
    }
    text += "; clients";
    const auto clients = measurement::NANOGetArray<measurement::APMPBClientProperty>(
        *request, field(nano_APMPBExperimentRequest_client_properties_tag));
    if (clients.empty()) text += " none";
    for (const auto& client : clients) {
        text += " " + printable(measurement::NANOGetString(client, field(nano_APMPBClientProperty_sdk_name_tag)).value_or("")) +
                " (" + printable(measurement::NANOGetString(client, field(nano_APMPBClientProperty_diversion_id_tag)).value_or("")) +
                ", " + std::to_string(measurement::NANOGetInt64(client, field(nano_APMPBClientProperty_sdk_version_tag))) +
                ")";
    }
    return text;
}

}  // namespace tools::collector
