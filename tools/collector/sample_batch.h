#pragma once

// Batches built with the engine's message classes, for the collector's
// tests.

#include <string>
#include <vector>

#include "measurement/foundation/messages.h"
#include "tools/collector/batch_description.h"

namespace tools::collector::testing {

using Parameter = measurement::APMPBEventParam;

Parameter stringParameter(const std::string& name, const std::string& value);
Parameter intParameter(const std::string& name, std::int64_t value);
Parameter doubleParameter(const std::string& name, double value);
Parameter listParameter(const std::string& name, const std::vector<std::vector<Parameter>>& dictionaries);

measurement::APMPBEvent event(const std::string& name, std::int64_t millis, const std::vector<Parameter>& parameters);

// Two bundles of one application:
//   1: app "velmora-collector-app", index 7, start 1714564800123, end 1714564860000,
//      upload 1714564900000, platform "ios", consent "G111", user property
//      "_fot" = 1714560000000 (int) set at 1714560000000 and "tier" = "gold"
//      (string), experiment IDs 11 and 12; events
//        "kuvo_calculate" at 1714564801000: "k" = "2", "n" = 5 (int),
//          "p" = 0.3 (double), "items" = [{"item_id" = "a", "price" = 1.5},
//          {"item_id" = "b", "quantity" = 2}]
//        "_s" at 1714564800500 without parameters;
//   2: app "velmora-collector-app", index 8, start 1714568400000, consent "G1-0",
//      tracking status 3; event "kuvo_got_error" at 1714568400001:
//        "error" = "Line\nbreak", "count" = -9223372036854775808 (int);
//      audience results: audience 12, not new, now filters 0 and 64 false
//        and 2 true, filter 2 last matched 1714568000, filter 64 at
//        1714567000 and 1714568000, before filter 0 true; audience 13, new,
//        filter 1 false.
Bytes sampleBatch();

}  // namespace tools::collector::testing
