#include "velmora/engine/json_record.h"

namespace velmora::json_record {

void requireObject(const nlohmann::json& value, const std::string& what) {
    if (!value.is_object()) throw DecodingError("expected an object for " + what);
}

const nlohmann::json& require(const nlohmann::json& object, const std::string& key) {
    requireObject(object, key);
    auto it = object.find(key);
    if (it == object.end()) throw DecodingError("missing key \"" + key + "\"");
    return *it;
}

std::string requireString(const nlohmann::json& object, const std::string& key) {
    const auto& value = require(object, key);
    if (!value.is_string()) throw DecodingError("key \"" + key + "\" is not a string");
    return value.get<std::string>();
}

double requireNumber(const nlohmann::json& object, const std::string& key) {
    const auto& value = require(object, key);
    if (!value.is_number()) throw DecodingError("key \"" + key + "\" is not a number");
    return value.get<double>();
}

std::vector<std::string> stringList(const nlohmann::json& value, const std::string& key) {
    if (!value.is_array()) throw DecodingError("key \"" + key + "\" is not a list");
    std::vector<std::string> out;
    for (const auto& item : value) {
        if (!item.is_string()) throw DecodingError("key \"" + key + "\" holds a non-string");
        out.push_back(item.get<std::string>());
    }
    return out;
}

nlohmann::json parse(const std::string& text) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        throw DecodingError(std::string("malformed JSON: ") + e.what());
    }
}

}  // namespace velmora::json_record
