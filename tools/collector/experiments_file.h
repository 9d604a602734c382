// The experiments reply the collector serves: an encoded response, or its JSON form.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "tools/collector/batch_description.h"

namespace tools::collector {

// Reads an experiments reply. A name ending in ".pb" holds an encoded
// ExperimentResponse, served once it decodes. Any other file is its JSON
// form, keyed by the message's field names:
//
//   {"snapshots": [{"sdk_name": "doz_urerizarori",
//                   "experiments": [{"experiment_id": 7,
//                                    "flags": [{"name": "regional_defaults_enabled", "bool_value": false},
//                                              {"name": "color", "string_value": "blue"}]}]}],
//    "sdk_responses": [{"sdk_name": "other", "status": 2,
//                       "snapshot": {"experiments": []}}]}
//
// A flag carries one of "int_value", "string_value", "double_value" and
// "bool_value". Nothing, with a one-line reason in *error, for a file that
// cannot be read or understood.
std::optional<Bytes> loadExperiments(const std::filesystem::path& path, std::string* error = nullptr);

// The encoded response a JSON form describes.
std::optional<Bytes> encodeExperimentsJSON(const platform::Value& description, std::string* error = nullptr);

// "doz_urerizarori [0, 7, 31]; other: status 2": what an encoded response
// holds, for the printed line.
std::string describeExperimentsResponse(const Bytes& encoded);
// "ios en com.velmora.bernoulli 10000; clients doz_urerizarori (abcde-doz_urerizarori, 110100)";
// "not an experiment request" for bytes that do not decode.
std::string describeExperimentsRequest(const Bytes& encoded);

}  // namespace tools::collector
