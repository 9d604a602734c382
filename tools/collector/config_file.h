#pragma once

// The measurement configuration the collector serves.

#include <filesystem>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "tools/collector/batch_description.h"

namespace tools::collector {

// A measurement configuration as the collector serves it: the encoded
// message and the validators of a conditional GET.
struct ServedConfig {
    Bytes body;
    std::string etag;          // quoted, from the body's MD5 digest
    std::string lastModified;  // the file's modification time, as an HTTP date
};

// Reads a configuration file. A name ending in ".pb" holds an encoded
// configuration message, served byte for byte once it decodes. Any other
// file is the JSON form:
//
//   {"version": 3, "app_id": "velmora-collector-app",
//    "settings": {"measurement.upload.interval": "3600000"},
//    "events": {"kuvo_calculate": {"blocked": false, "custom_conversion": true,
//                                  "sampling_rate": 4}},
//    "upload_subdomain": "app", "dma_region": true,
//    "consent": {"defaults": [{"type": 1, "status": 2}],
//                "delegations": [{"type": 3, "delegated_type": 1}],
//                "regional_defaults": []},
//    "data_controls": ["..."], "core_platform_services": ["..."],
//    "audiences": [{"audience_id": 1,
//                   "event_filters": [{"filter_id": 0, "event_name": "kuvo_calculate",
//                                      "event_count_filter": {"comparison_type": 2, "comparison_value": "3"},
//                                      "parameter_filters": [{"parameter_name": "n",
//                                                             "number_filter": {...}}],
//                                      "dynamic": true, "sequence": false, "session_scoped": false}],
//                   "property_filters": [{"filter_id": 1, "property_name": "tier",
//                                         "filter": {"string_filter": {"match_type": 5, "expression": "gold",
//                                                                      "case_sensitive": true,
//                                                                      "expression_list": []},
//                                                    "complement": false}}]}],
//    "programs": ["(var \"reg\") ...", {"file": "edits.txt"}, {"file": "edits.pb"}]}
//
// Every key is optional; setting values and comparison values are text,
// match and comparison types plain numbers (audience keys are the proto
// field names). A program is its text form (the script assembler's), or a
// file beside the configuration holding the text form or, when named
// ".pb", an encoded program; the engine loads the first. Nothing, with a
// one-line reason in *error, for a file that cannot be read or understood.
std::optional<ServedConfig> loadConfig(const std::filesystem::path& path, std::string* error = nullptr);

// The encoded configuration a JSON form describes; program files are looked
// for in the folder.
std::optional<Bytes> encodeConfigJSON(const platform::Value& description, std::string* error = nullptr,
                                      const std::filesystem::path& folder = {});

}  // namespace tools::collector
