// The campaign parameter table and the event parameters of a link.
#include "measurement/upload/attribution/campaign_parameters.h"

#include <array>

#include "measurement/foundation/string_util.h"

namespace measurement {

namespace {

constexpr std::array kCampaignKeys = {"utm_campaign", "gclid", "utm_medium", "utm_source", "gbraid",
                                      "utm_id",       "dclid", "srsltid",    "sfmc_id",    "gad_source"};
constexpr std::array kClickIdentifiers = {"gclid", "dclid", "srsltid"};

}  // namespace

const std::map<std::string, std::string>& APMCampaignParameterNames() {
    static const std::map<std::string, std::string> names = {
        {"aclid", "aclid"},
        {"anid", "anid"},
        {"utm_campaign", "campaign"},
        {"cis", "_cis"},
        {"utm_content", "content"},
        {"cp1", "cp1"},
        {"dclid", "dclid"},
        {"gad_source", "gad_source"},
        {"gclid", "gclid"},
        {"gbraid", "gbraid"},
        {"utm_medium", "medium"},
        {"utm_source", "source"},
        {"srsltid", "srsltid"},
        {"utm_term", "term"},
        {"utm_id", "campaign_id"},
        {"utm_creative_format", "creative_format"},
        {"utm_marketing_tactic", "marketing_tactic"},
        {"utm_source_platform", "source_platform"},
        {"sfmc_id", "sfmc_id"},
    };
    return names;
}

bool APMIsValidCampaignURLParamDictionary(const APMLinkParameters& parameters) {
    for (const char* key : kCampaignKeys) {
        const auto found = parameters.find(key);
        if (found != parameters.end() && !found->second.empty()) return true;
    }
    return false;
}

APMLinkParameterSets APMSplitLinkParameters(const std::string& query, const platform::Value::Dictionary& extras) {
    APMLinkParameterSets sets;
    for (const auto& [key, value] : extras) {
        if (value.isString()) {
            sets.text[key] = value.asString();
        } else if (value.isInt() || value.isBool()) {
            sets.numbers.insert_or_assign(key, APMValue(value.intValue()));
        } else if (value.isReal()) {
            sets.numbers.insert_or_assign(key, APMValue(value.realValue()));
        }
    }
    for (const auto& [key, value] : apm_dictionaryWithHttpArgumentsString(query)) sets.text[key] = value;
    return sets;
}

APMParameters APMCampaignEventParameters(const APMLinkParameterSets& sets, bool allowClickID,
                                         std::optional<std::int64_t> clickTimestampMillis) {
    APMParameters parameters;
    const auto& names = APMCampaignParameterNames();
    for (const auto& [key, value] : sets.text) {
        const auto name = names.find(key);
        if (value.empty() || name == names.end()) continue;
        parameters.insert_or_assign(name->second, APMValue(value));
    }
    for (const auto& [key, value] : sets.numbers) parameters.insert_or_assign(key, value);
    if (clickTimestampMillis) parameters.insert_or_assign("click_timestamp", APMValue(*clickTimestampMillis));
    // After the numbers: a click identifier handed over as a number is still
    // one.
    if (!allowClickID) {
        for (const char* identifier : kClickIdentifiers) parameters.erase(identifier);
    }
    return parameters;
}

}  // namespace measurement
