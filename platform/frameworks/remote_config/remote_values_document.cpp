// Reading and writing the remote-configuration source document.
#include "platform/frameworks/remote_config/remote_values_document.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace platform {

namespace {

using OrderedJson = nlohmann::ordered_json;

// Deep enough for any configuration value; a deeper document is refused
// while it is parsed rather than built first.
constexpr int kMaxNesting = 128;

class TooDeep : public std::runtime_error {
public:
    TooDeep() : std::runtime_error("the document is nested more than 128 levels deep") {}
};

}  // namespace

std::optional<RemoteValues> parseRemoteValuesDocument(std::string_view text, std::string* error) {
    auto refuse = [error](const std::string& reason) -> std::optional<RemoteValues> {
        if (error) *error = reason;
        return std::nullopt;
    };
    const OrderedJson::parser_callback_t limitNesting = [](int depth, OrderedJson::parse_event_t, OrderedJson&) {
        if (depth > kMaxNesting) throw TooDeep();
        return true;
    };
    OrderedJson document;
    try {
        document = OrderedJson::parse(text.begin(), text.end(), limitNesting);
    } catch (const OrderedJson::exception& failure) {
        return refuse(std::string("not JSON: ") + failure.what());
    } catch (const TooDeep& failure) {
        return refuse(failure.what());
    }
    if (!document.is_object()) return refuse("the document is not a JSON object");
    const auto entries = document.find("entries");
    if (entries == document.end()) return refuse("the document has no \"entries\"");
    if (!entries->is_object()) return refuse("\"entries\" is not a JSON object");
    RemoteValues values;
    for (const auto& [key, value] : entries->items()) {
        values[key] = value.is_string() ? value.get<std::string>() : value.dump();
    }
    return values;
}

}  // namespace platform
