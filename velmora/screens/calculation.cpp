#include "velmora/screens/calculation.h"

#include <utility>

namespace velmora {

using platform::Value;

namespace {

const Value kMissing;

const Value& field(const Value::Dictionary& dictionary, const std::string& key) {
    auto it = dictionary.find(key);
    return it == dictionary.end() ? kMissing : it->second;
}

// A field is taken only when the whole value has the field's shape, as a
// checked cast of the stored container would; otherwise it stays empty.
std::map<std::string, std::string> stringDictionary(const Value& value) {
    std::map<std::string, std::string> out;
    if (!value.isDictionary()) return out;
    for (const auto& [key, item] : value.asDictionary()) {
        if (!item.isString()) return {};
        out.emplace_hint(out.end(), key, item.asString());  // in order: no search
    }
    return out;
}

std::vector<Value::Dictionary> dictionaryList(const Value& value) {
    std::vector<Value::Dictionary> out;
    if (!value.isArray()) return out;
    for (const auto& item : value.asArray()) {
        if (!item.isDictionary()) return {};
        out.push_back(item.asDictionary());
    }
    return out;
}

}  // namespace

Calculation::Calculation(std::map<std::string, std::string> inputParameters, std::string latexString,
                         std::vector<Value::Dictionary> solutionSteps, Value::Dictionary setupParameter)
    : inputParameters(std::move(inputParameters)),
      latexString(std::move(latexString)),
      solutionSteps(std::move(solutionSteps)),
      setupParameter(std::move(setupParameter)) {}

Calculation::Calculation(const Value::Dictionary& dictionary) {
    inputParameters = stringDictionary(field(dictionary, "inputParameters"));
    latexString = field(dictionary, "latexString").stringValue();
    solutionSteps = dictionaryList(field(dictionary, "solutionSteps"));
    const Value& setup = field(dictionary, "setupParameter");
    if (setup.isDictionary()) setupParameter = setup.asDictionary();
}

// Built in key order and in place: a list of pairs would copy every field
// once more, for each entry of a long history at every write.
Value::Dictionary Calculation::dictionary() const {
    Value::Dictionary inputs;
    for (const auto& [key, text] : inputParameters) inputs.emplace_hint(inputs.end(), key, text);
    Value::Dictionary out;
    out.emplace_hint(out.end(), "inputParameters", std::move(inputs));
    out.emplace_hint(out.end(), "latexString", latexString);
    out.emplace_hint(out.end(), "setupParameter", setupParameter);
    out.emplace_hint(out.end(), "solutionSteps", Value::Array(solutionSteps.begin(), solutionSteps.end()));
    return out;
}

}  // namespace velmora
