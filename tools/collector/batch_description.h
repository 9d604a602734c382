#pragma once

// The readable decoding of uploaded batches.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace tools::collector {

using Bytes = std::vector<std::uint8_t>;

// The readable decoding of what the engine uploads: an encoded measurement
// batch (bundles in their plain encoding) as a value tree that writes as
// JSON, and as text for a person. Both forms carry the same content.
//
// The tree: {"bundles": [bundle, ...]}. A bundle holds every field that is
// set, under its proto field name (times as "start_time",
// "end_time", "upload_time", ...); times are objects
// {"millis": <ms since 1970>, "utc": "<ISO-8601>"} ("utc" left out outside
// the years 0000 to 9999); "user_properties", "events" and
// "audience_results" are lists. A parameter or user property is
// {"name": ..., "<type>": value} with the type "string", "int", "double" or,
// for a parameter, "list" (a list of parameter dictionaries, each a list of
// parameters); a value of the engine that sets no type has none of these.
// An audience result is {"audience_id", "new_audience" (its first report),
// "current_data", "previous_data" (only when it changed since the last
// report)}; result data holds its bit words in hexadecimal
// ("status_words", "result_words"), the filters they mark as
// "true_filters" and "false_filters", and the filters' match times in
// seconds ("dynamic_filter_timestamps", "sequence_filter_timestamps").
//
// Bytes that do not decode give none and a one-line reason in *error.
std::optional<platform::Value> batchValue(const Bytes& encoded, std::string* error = nullptr);

// One block per bundle: its position, the application identifier, bundle
// index, times, platform and consent signals, every other field that is
// set, then the audience results (which filters are true and false now and
// as last reported, with their match times), the user properties and the
// events with their typed parameters.
std::string batchText(const platform::Value& batch);
std::optional<std::string> batchText(const Bytes& encoded, std::string* error = nullptr);

}  // namespace tools::collector
