// The remote-configuration client's state file, in JSON.
#include "platform/frameworks/remote_config/remote_values_store.h"

#include <nlohmann/json.hpp>

#include "platform/foundation/atomic_file.h"
#include "platform/foundation/bundle.h"

namespace platform {

namespace {

using Json = nlohmann::json;

constexpr int kFormatVersion = 1;

Json valuesJson(const RemoteValues& values) {
    Json object = Json::object();
    for (const auto& [key, text] : values) object[key] = text;
    return object;
}

std::optional<RemoteValues> valuesFrom(const Json& object) {
    if (!object.is_object()) return std::nullopt;
    RemoteValues values;
    for (const auto& [key, text] : object.items()) {
        if (!text.is_string()) return std::nullopt;
        values[key] = text.get<std::string>();
    }
    return values;
}

std::optional<VEZRemoteConfigFetchStatus> statusNamed(const std::string& name) {
    for (auto status : {VEZRemoteConfigFetchStatus::noFetchYet, VEZRemoteConfigFetchStatus::success,
                        VEZRemoteConfigFetchStatus::failure, VEZRemoteConfigFetchStatus::throttled}) {
        if (name == fetchStatusName(status)) return status;
    }
    return std::nullopt;
}

// A time member: absent, or a finite number.
bool readTime(const Json& document, const char* key, std::optional<double>& time) {
    const auto found = document.find(key);
    if (found == document.end()) return true;
    if (!found->is_number()) return false;
    time = found->get<double>();
    return true;
}

std::optional<RemoteValuesRecord> recordFrom(const std::string& text) {
    const Json document = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object() || document.value("version", 0) != kFormatVersion) return std::nullopt;
    RemoteValuesRecord record;
    const auto active = valuesFrom(document.value("active", Json::object()));
    if (!active) return std::nullopt;
    record.active = *active;
    if (const auto pending = document.find("pending"); pending != document.end()) {
        record.pending = valuesFrom(*pending);
        if (!record.pending) return std::nullopt;
    }
    const auto status = statusNamed(document.value("lastFetchStatus", std::string(fetchStatusName(record.lastFetchStatus))));
    if (!status) return std::nullopt;
    record.lastFetchStatus = *status;
    if (!readTime(document, "lastFetchTime", record.lastFetchTime) ||
        !readTime(document, "lastSourceContact", record.lastSourceContact)) {
        return std::nullopt;
    }
    return record;
}

}  // namespace

RemoteValuesRecord loadRemoteValuesRecord(const std::filesystem::path& file, std::string* note) {
    std::error_code ec;
    // A link at the path is not followed: set aside as damage, another
    // file's contents are never taken for the values fetched.
    const auto status = std::filesystem::symlink_status(file, ec);
    if (!std::filesystem::exists(status)) return {};
    const auto text = readOwnFile(file);
    std::optional<RemoteValuesRecord> record;
    try {
        if (text) record = recordFrom(*text);
    } catch (const Json::exception&) {
        // A member of the wrong type: as damaged as any other.
    }
    if (record) return *record;
    std::string why;
    const auto aside = setFileAside(file, &why);
    if (note) {
        *note = file.string() + (std::filesystem::is_symlink(status) ? " is damaged (it is a link, which is not followed); "
                                                                       : " is damaged; ") +
                (aside ? "kept as " + aside->string() : "could not be set aside: " + why) + "; starting empty";
    }
    return {};
}

bool saveRemoteValuesRecord(const std::filesystem::path& file, const RemoteValuesRecord& record, std::string* why) {
    Json document = Json::object();
    document["version"] = kFormatVersion;
    document["active"] = valuesJson(record.active);
    if (record.pending) document["pending"] = valuesJson(*record.pending);
    document["lastFetchStatus"] = fetchStatusName(record.lastFetchStatus);
    if (record.lastFetchTime) document["lastFetchTime"] = *record.lastFetchTime;
    if (record.lastSourceContact) document["lastSourceContact"] = *record.lastSourceContact;
    return writeFileAtomically(file, document.dump(2, ' ', false, Json::error_handler_t::replace) + '\n', 0600, why);
}

}  // namespace platform
