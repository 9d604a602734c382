// Property-list values to JSON, refusing what JSON cannot hold.
#include "velmora/shell/property_list_json.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <stdexcept>

namespace velmora {

namespace {

using OrderedJson = nlohmann::ordered_json;
using platform::Value;

constexpr int kMaxNesting = 256;

class NoJSONForm : public std::runtime_error {
public:
    NoJSONForm(const std::string& path, const std::string& what)
        : std::runtime_error((path.empty() ? std::string("the root") : path) + ": " + what) {}
};

OrderedJson convert(const Value& value, const std::string& path, int depth) {
    if (depth > kMaxNesting) throw NoJSONForm(path, "nested too deeply");
    switch (value.kind()) {
        case Value::Kind::Null: throw NoJSONForm(path, "an empty value has no JSON form");
        case Value::Kind::Bool: return value.boolValue();
        case Value::Kind::Int: return value.intValue();
        case Value::Kind::Real: {
            const double d = value.realValue();
            if (!std::isfinite(d)) throw NoJSONForm(path, "a NaN or an infinity has no JSON form");
            return d;
        }
        case Value::Kind::String: return value.asString();
        case Value::Kind::Data: throw NoJSONForm(path, "data have no JSON form");
        case Value::Kind::Date: throw NoJSONForm(path, "a date has no JSON form");
        case Value::Kind::Array: {
            OrderedJson array = OrderedJson::array();
            const auto& items = value.asArray();
            for (std::size_t i = 0; i < items.size(); ++i) {
                array.push_back(convert(items[i], path + "[" + std::to_string(i) + "]", depth + 1));
            }
            return array;
        }
        case Value::Kind::Dictionary: {
            OrderedJson object = OrderedJson::object();
            for (const auto& [key, item] : value.asDictionary()) {
                object[key] = convert(item, path.empty() ? key : path + "." + key, depth + 1);
            }
            return object;
        }
    }
    throw NoJSONForm(path, "an unknown kind of value");
}

}  // namespace

std::optional<std::string> jsonFromPropertyList(const Value& root, std::string* error) {
    try {
        if (!root.isDictionary()) throw NoJSONForm("", "the property list's root is not a dictionary");
        // The strict handler throws on text that is not UTF-8 rather than
        // writing something else than the property list holds.
        return convert(root, "", 0).dump();
    } catch (const NoJSONForm& failure) {
        if (error) *error = failure.what();
    } catch (const OrderedJson::exception& failure) {
        if (error) *error = std::string("the property list holds text that is not UTF-8 (") + failure.what() + ")";
    }
    return std::nullopt;
}

}  // namespace velmora
