#pragma once

#include <nlohmann/json.hpp>

#include <exception>
#include <optional>
#include <string>
#include <vector>

// The math library's catalogue of formulas and its one configuration error.
namespace velmora {

struct Formula {
    std::string category;
    std::string subcategory;
    std::string topic;
    std::string type;
    std::string imageName;
    std::string searched;
    std::vector<std::string> given;
    std::string latex;
    std::string identifier;
    std::optional<std::vector<std::string>> conditions;
    std::string description;

    bool operator==(const Formula&) const = default;

    // Throws DecodingError (json_record.h) when a required key is missing or
    // has a wrong type; absent or null "conditions" give no conditions.
    static Formula fromJSON(const nlohmann::json& object);
    // Every field under its own name, in declaration order; "conditions" only
    // when it has a value.
    nlohmann::ordered_json toJSON() const;
};

class KuvoFormula {
public:
    std::vector<Formula> formulas;
};

// A configuration resource of the math library could not be found or read.
class FormulaError : public std::exception {
public:
    enum class Code { configurationFailed };

    explicit FormulaError(Code code = Code::configurationFailed) : code_(code) {}
    Code code() const { return code_; }
    const char* what() const noexcept override { return "FormulaError.configurationFailed"; }

    static FormulaError configurationFailed() { return FormulaError(Code::configurationFailed); }

private:
    Code code_;
};

}  // namespace velmora
