// Tests of the batch decoding and its text form.
#include <doctest/doctest.h>
#include <pb_common.h>

#include "measurement/foundation/messages.h"
#include "measurement/foundation/monitor.h"
#include "platform/foundation/json_codec.h"
#include "tools/collector/batch_description.h"
#include "tools/collector/sample_batch.h"

using platform::Value;
using tools::collector::batchText;
using tools::collector::batchValue;
using tools::collector::Bytes;
using namespace tools::collector::testing;

namespace {

Value time(std::int64_t millis, const char* utc) {
    return Value::Dictionary{{"millis", static_cast<long long>(millis)}, {"utc", utc}};
}

Value parameter(const char* name, const char* type, Value value) {
    return Value::Dictionary{{"name", name}, {type, std::move(value)}};
}

Value decodedSample() {
    std::string error;
    auto batch = batchValue(sampleBatch(), &error);
    INFO(error);
    REQUIRE(batch);
    return *batch;
}

// Sets every field of a bundle that holds a number, a truth value or text,
// choosing the setter from nanopb's own description of the field; answers
// how many there are.
measurement::APMPBMeasurementBundle bundleWithEveryPlainField(std::size_t* count) {
    measurement::APMPBMeasurementBundle bundle;
    pb_field_iter_t it;
    REQUIRE(pb_field_iter_begin(&it, bundle.descriptor(), bundle.messageInfo()));
    std::vector<std::pair<int, int>> plain;  // index, tag
    do {
        if (PB_LTYPE(it.type) != PB_LTYPE_SUBMESSAGE) plain.emplace_back(it.index, it.tag);
    } while (pb_field_iter_next(&it));
    *count = plain.size();
    for (const auto& field : plain) {
        const int index = field.first;
        const int tag = field.second;
        const bool repeated = [&] {
            pb_field_iter_t field;
            pb_field_iter_begin(&field, bundle.descriptor(), bundle.messageInfo());
            pb_field_iter_find(&field, static_cast<pb_size_t>(tag));
            return PB_HTYPE(field.type) == PB_HTYPE_REPEATED;
        }();
        if (repeated) {
            measurement::NANOSetArray(bundle, index, std::vector<std::int32_t>{tag}) ||
                measurement::NANOSetArray(bundle, index, std::vector<std::string>{"t" + std::to_string(tag)});
        } else {
            measurement::NANOSetString(bundle, index, "t" + std::to_string(tag)) ||
                measurement::NANOSetInt64(bundle, index, tag) || measurement::NANOSetInt32(bundle, index, tag) ||
                measurement::NANOSetBool(bundle, index, true);
        }
    }
    return bundle;
}

}  // namespace

TEST_CASE("a batch decodes into the values that were put in") {
    const Value batch = decodedSample();
    const auto& bundles = batch["bundles"].asArray();
    REQUIRE(bundles.size() == 2);

    SUBCASE("the first bundle: identity, times, consent, user properties") {
        const Value& bundle = bundles[0];
        CHECK(bundle["app_id"] == Value("velmora-collector-app"));
        CHECK(bundle["bundle_index"] == Value(7));
        CHECK(bundle["start_time"] == time(1714564800123, "2024-05-01T12:00:00.123Z"));
        CHECK(bundle["end_time"] == time(1714564860000, "2024-05-01T12:01:00.000Z"));
        CHECK(bundle["upload_time"] == time(1714564900000, "2024-05-01T12:01:40.000Z"));
        CHECK(bundle["platform"] == Value("ios"));
        CHECK(bundle["consent_signals"] == Value("G111"));
        CHECK(bundle["experiment_ids"] == Value(Value::Array{11, 12}));
        CHECK(bundle["user_properties"] ==
              Value(Value::Array{
                  Value::Dictionary{{"name", "_fot"},
                                    {"int", 1714560000000LL},
                                    {"set_time", time(1714560000000, "2024-05-01T10:40:00.000Z")}},
                  Value::Dictionary{{"name", "tier"},
                                    {"string", "gold"},
                                    {"set_time", time(1714560000000, "2024-05-01T10:40:00.000Z")}},
              }));
        CHECK_FALSE(bundle.find("os_version"));
        CHECK_FALSE(bundle.find("audience_results"));
    }

    SUBCASE("events carry typed parameters, lists of parameter dictionaries included") {
        const auto& events = bundles[0]["events"].asArray();
        REQUIRE(events.size() == 2);
        CHECK(events[0]["name"] == Value("kuvo_calculate"));
        CHECK(events[0]["time"] == time(1714564801000, "2024-05-01T12:00:01.000Z"));
        const Value items = Value::Array{
            Value::Array{parameter("item_id", "string", "a"), parameter("price", "double", 1.5)},
            Value::Array{parameter("item_id", "string", "b"), parameter("quantity", "int", 2)},
        };
        CHECK(events[0]["params"] == Value(Value::Array{parameter("k", "string", "2"), parameter("n", "int", 5),
                                                        parameter("p", "double", 0.3),
                                                        parameter("items", "list", items)}));
        CHECK(events[1] == Value(Value::Dictionary{{"name", "_s"},
                                                   {"time", time(1714564800500, "2024-05-01T12:00:00.500Z")},
                                                   {"params", Value::Array{}}}));
    }

    SUBCASE("the second bundle keeps its own fields and extreme values") {
        const Value& bundle = bundles[1];
        CHECK(bundle["bundle_index"] == Value(8));
        CHECK(bundle["consent_signals"] == Value("G1-0"));
        CHECK(bundle["tracking_authorization_status"] == Value(3));
        CHECK_FALSE(bundle.find("upload_time"));
        CHECK(bundle["user_properties"] == Value(Value::Array{}));
        const auto& params = bundle["events"].asArray().at(0)["params"];
        CHECK(params == Value(Value::Array{parameter("error", "string", "Line\nbreak"),
                                           parameter("count", "int", static_cast<long long>(INT64_MIN))}));
    }

    SUBCASE("audience results carry their words and the filters they mark") {
        const auto& results = bundles[1]["audience_results"].asArray();
        REQUIRE(results.size() == 2);
        const Value& changed = results[0];
        CHECK(changed["audience_id"] == Value(12));
        CHECK(changed["new_audience"] == Value(false));
        CHECK(changed["current_data"]["status_words"] == Value(Value::Array{"0x5", "0x1"}));
        CHECK(changed["current_data"]["result_words"] == Value(Value::Array{"0x4", "0x0"}));
        CHECK(changed["current_data"]["true_filters"] == Value(Value::Array{2}));
        CHECK(changed["current_data"]["false_filters"] == Value(Value::Array{0, 64}));
        CHECK(changed["current_data"]["sequence_filter_timestamps"] ==
              Value(Value::Array{Value::Dictionary{
                  {"filter_id", 64}, {"timestamps_seconds", Value::Array{1714567000LL, 1714568000LL}}}}));
        CHECK(changed["previous_data"]["true_filters"] == Value(Value::Array{0}));
        CHECK(results[1]["new_audience"] == Value(true));
        CHECK_FALSE(results[1].find("previous_data"));
    }

    SUBCASE("the JSON text reads back as the same value") {
        CHECK(platform::parseJSON(platform::writeJSON(batch)) == batch);
    }
}

TEST_CASE("the readable text shows one block per bundle") {
    const std::string expected =
        "bundle 1 of 2\n"
        "  app identifier: velmora-collector-app\n"
        "  bundle index: 7\n"
        "  start: 2024-05-01T12:00:00.123Z\n"
        "  end: 2024-05-01T12:01:00.000Z\n"
        "  upload: 2024-05-01T12:01:40.000Z\n"
        "  platform: ios\n"
        "  consent signals: G111\n"
        "  experiment IDs: 11, 12\n"
        "  user properties (2):\n"
        "    _fot = 1714560000000 (int), set 2024-05-01T10:40:00.000Z\n"
        "    tier = \"gold\", set 2024-05-01T10:40:00.000Z\n"
        "  events (2):\n"
        "    kuvo_calculate at 2024-05-01T12:00:01.000Z\n"
        "      k = \"2\"\n"
        "      n = 5 (int)\n"
        "      p = 0.3 (double)\n"
        "      items = list of 2 dictionaries\n"
        "        [0]\n"
        "          item_id = \"a\"\n"
        "          price = 1.5 (double)\n"
        "        [1]\n"
        "          item_id = \"b\"\n"
        "          quantity = 2 (int)\n"
        "    _s at 2024-05-01T12:00:00.500Z\n"
        "bundle 2 of 2\n"
        "  app identifier: velmora-collector-app\n"
        "  bundle index: 8\n"
        "  start: 2024-05-01T13:00:00.000Z\n"
        "  consent signals: G1-0\n"
        "  tracking authorisation: 3 (authorized)\n"
        "  audience results (2):\n"
        "    audience 12, changed since the last report\n"
        "      now: true 2; false 0, 64\n"
        "        filter 2 last matched 2024-05-01T12:53:20.000Z\n"
        "        filter 64 matched at 2024-05-01T12:36:40.000Z, 2024-05-01T12:53:20.000Z\n"
        "      before: true 0; false none\n"
        "    audience 13, first report\n"
        "      now: true none; false 1\n"
        "  events (1):\n"
        "    kuvo_got_error at 2024-05-01T13:00:00.001Z\n"
        "      error = \"Line\\nbreak\"\n"
        "      count = -9223372036854775808 (int)\n";
    CHECK(batchText(sampleBatch()) == expected);
}

TEST_CASE("every plain bundle field is read with the accessor of its type") {
    measurement::APMMonitorCapture capture;
    std::size_t plainFields = 0;
    measurement::APMPBMeasurementBatch batch;
    measurement::NANOSetArray(batch, 0, std::vector{bundleWithEveryPlainField(&plainFields)});
    // Building tried setters until one fitted.
    capture.clear();
    const auto decoded = batchValue(batch.protoBuffer());
    REQUIRE(decoded);
    const Value& bundle = decoded->operator[]("bundles").asArray().at(0);

    CHECK(capture.entriesWithCode(measurement::kNANOFieldTypeMismatchCode).empty());
    CHECK(bundle["app_id"] == Value("t14"));
    CHECK(bundle["bundle_index"] == Value(23));
    CHECK(bundle["start_time"]["millis"] == Value(5));
    CHECK(bundle["limited_ad_tracking"] == Value(true));
    CHECK(bundle["checksum"] == Value(47));
    CHECK(bundle["data_controls_applied"] == Value(Value::Array{"t64"}));
    CHECK(bundle["core_platform_services"] == Value("t73"));
    CHECK(bundle["tracking_authorization_status"] == Value(53));
    // Every plain field appears, with the lists of user properties and
    // events.
    CHECK(bundle.asDictionary().size() == plainFields + 2);
    const std::string text = batchText(*decoded);
    CHECK(text.find("  tracking authorisation: 53\n") != std::string::npos);
    CHECK(text.find("  OS version: t9\n") != std::string::npos);
}

namespace {

// Puts a key and a length in front of the `length` bytes that end
// `reversed`, which holds the message back to front, so that nesting costs
// no copying.
void wrapReversed(Bytes& reversed, std::uint8_t key, std::size_t length) {
    Bytes prefix{key};
    do {
        auto byte = static_cast<std::uint8_t>(length & 0x7f);
        length >>= 7;
        prefix.push_back(length ? static_cast<std::uint8_t>(byte | 0x80) : byte);
    } while (length);
    reversed.insert(reversed.end(), prefix.rbegin(), prefix.rend());
}

// A batch whose one event holds a parameter list holding a parameter list,
// `levels` times over: bundles (1) > events (2) > params (1) > list (5) > params (1) ...
Bytes deeplyNestedBatch(int levels) {
    Bytes reversed;
    for (int i = 0; i < levels; ++i) {
        wrapReversed(reversed, 0x0a, reversed.size());
        wrapReversed(reversed, 0x2a, reversed.size());
    }
    for (std::uint8_t key : {0x0a, 0x12, 0x0a}) wrapReversed(reversed, key, reversed.size());
    return Bytes(reversed.rbegin(), reversed.rend());
}

}  // namespace

TEST_CASE("bytes that are no batch are refused with the reason") {
    std::string error;

    SUBCASE("parameters nested far too deeply are refused, not followed down") {
        CHECK_FALSE(batchValue(deeplyNestedBatch(50'000), &error));
        CHECK(error.find("messages nested too deeply") != std::string::npos);
        CHECK(batchValue(deeplyNestedBatch(10), &error));
    }

    SUBCASE("garbage") {
        CHECK_FALSE(batchValue(Bytes{0xff, 0xff, 0xff}, &error));
        CHECK(error.rfind("not a measurement batch (3 bytes): ", 0) == 0);
    }

    SUBCASE("a batch cut short") {
        Bytes cut = sampleBatch();
        cut.pop_back();
        CHECK_FALSE(batchText(cut, &error));
        CHECK(error.find("bytes): ") != std::string::npos);
    }

    SUBCASE("no bytes are an empty batch") {
        CHECK(batchValue(Bytes{}) == Value(Value::Dictionary{{"bundles", Value::Array{}}}));
        CHECK(batchText(Bytes{}) == "");
    }
}

TEST_CASE("control characters and quotes in names and values cannot reshape the text") {
    measurement::APMPBMeasurementBundle bundle;
    measurement::NANOSetString(bundle, measurement::APMPBMeasurementBundleFieldIndex(14), "app\x01id");
    measurement::NANOSetArray(bundle, measurement::APMPBMeasurementBundleFieldIndex(2),
                              std::vector{event("ev\tent", 0, {stringParameter("q", "say \"hi\"\r")})});
    measurement::APMPBMeasurementBatch batch;
    measurement::NANOSetArray(batch, 0, std::vector{bundle});

    const auto text = batchText(batch.protoBuffer());
    REQUIRE(text);
    CHECK(text->find("  app identifier: app\\x01id\n") != std::string::npos);
    CHECK(text->find("    ev\\tent at 1970-01-01T00:00:00.000Z\n") != std::string::npos);
    CHECK(text->find("      q = \"say \\\"hi\\\"\\x0d\"\n") != std::string::npos);
}
