#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

// Decoding of the engine's JSON records: every required key present with
// its type, or a DecodingError naming the key. No partial record is made.
namespace velmora {

class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace json_record {

const nlohmann::json& require(const nlohmann::json& object, const std::string& key);
std::string requireString(const nlohmann::json& object, const std::string& key);
double requireNumber(const nlohmann::json& object, const std::string& key);
std::vector<std::string> stringList(const nlohmann::json& value, const std::string& key);
void requireObject(const nlohmann::json& value, const std::string& what);
// The parsed document; a DecodingError when the text is no JSON.
nlohmann::json parse(const std::string& text);

}  // namespace json_record
}  // namespace velmora
