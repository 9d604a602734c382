// Tests of the audience messages, result bits and stored filter flags.
#include <doctest/doctest.h>

#include "measurement/audience/audience_test_support.h"
#include "measurement/audience/result_words.h"

using namespace measurement;
using namespace measurement::audience_test;
using namespace measurement::audience_field;

namespace {

// Decodes the bytes as the message's type and encodes them again.
template <class M>
NANOBytes roundTrip(const M& message) {
    const auto decoded = M::initWithBuffer(message.protoBuffer());
    REQUIRE(decoded);
    return decoded->protoBuffer();
}

NANOBytes bytes(std::initializer_list<int> values) {
    NANOBytes out;
    for (int value : values) out.push_back(static_cast<std::uint8_t>(value));
    return out;
}

}  // namespace

TEST_CASE("audience messages survive a round trip, unknown type codes included") {
    const auto typeSeven = stringFilter(7, "a", true);
    const auto comparisonSeven = numberFilter(7, "1.5");

    SUBCASE("type 7 keeps its code, and the bytes are the wire format written by hand") {
        // match_type 7 (field 1 varint), expression "a" (field 2 length 1),
        // case_sensitive true (field 3 varint).
        CHECK(typeSeven.protoBuffer() == bytes({0x08, 0x07, 0x12, 0x01, 'a', 0x18, 0x01}));
        const auto decoded = APMPBStringFilter::initWithBuffer(typeSeven.protoBuffer());
        REQUIRE(decoded);
        CHECK(NANOGetInt32(*decoded, kStringMatchType) == 7);
        // comparison_type 7, comparison_value "1.5".
        CHECK(comparisonSeven.protoBuffer() == bytes({0x08, 0x07, 0x1a, 0x03, '1', '.', '5'}));
        CHECK(NANOGetInt32(*APMPBNumberFilter::initWithBuffer(comparisonSeven.protoBuffer()), kNumberComparisonType) ==
              7);
    }
    SUBCASE("a type beyond 32 bits' signed range keeps its bits") {
        auto large = stringFilter(0, "x");
        NANOSetInt32(large, kStringMatchType, -1);  // 4294967295 as unsigned
        const auto decoded = APMPBStringFilter::initWithBuffer(large.protoBuffer());
        REQUIRE(decoded);
        CHECK(static_cast<std::uint32_t>(NANOGetInt32(*decoded, kStringMatchType)) == 4294967295u);
    }
    SUBCASE("every message") {
        const auto parameter = valueFilter(typeSeven, true, std::string("value"));
        const auto event = eventFilter(3, "kuvo_calculate", {parameter, valueFilter(comparisonSeven, false, "n")},
                                       betweenFilter("1", "9"), {true, true, true});
        const auto property = propertyFilter(4, "tier", valueFilter(listFilter({"a", "", "b"})), {true, false, true});
        const auto definition = audience(12, {event}, {property});
        CHECK(roundTrip(typeSeven) == typeSeven.protoBuffer());
        CHECK(roundTrip(comparisonSeven) == comparisonSeven.protoBuffer());
        CHECK(roundTrip(parameter) == parameter.protoBuffer());
        CHECK(roundTrip(event) == event.protoBuffer());
        CHECK(roundTrip(property) == property.protoBuffer());
        CHECK(roundTrip(definition) == definition.protoBuffer());

        APMPBResultData data;
        APMResultWords{{0x9, 0x1}, {0x1, 0x0}}.writeInto(data);
        APMPBDynamicFilterResultTimestamp dynamic;
        NANOSetInt32(dynamic, kDynamicTimestampFilterID, 3);
        NANOSetInt64(dynamic, kDynamicTimestampSeconds, 1700000000);
        APMPBSequenceFilterResultTimestamp sequence;
        NANOSetInt32(sequence, kSequenceTimestampFilterID, 64);
        NANOSetArray(sequence, kSequenceTimestampSeconds, std::vector<std::int64_t>{50, 60, 70});
        NANOSetArray(data, kResultDynamicTimestamps, std::vector{dynamic});
        NANOSetArray(data, kResultSequenceTimestamps, std::vector{sequence});
        APMPBAudienceLeafFilterResult leaf;
        NANOSetInt32(leaf, kLeafAudienceID, 12);
        NANOSetMessage(leaf, kLeafCurrentData, data);
        NANOSetMessage(leaf, kLeafPreviousData, APMPBResultData());
        NANOSetBool(leaf, kLeafNewAudience, false);
        CHECK(roundTrip(data) == data.protoBuffer());
        CHECK(roundTrip(dynamic) == dynamic.protoBuffer());
        CHECK(roundTrip(sequence) == sequence.protoBuffer());
        CHECK(roundTrip(leaf) == leaf.protoBuffer());

        const Bits read = bitsOf(roundTrip(data));
        CHECK(read == Bits{{0, 3, 64}, {0}, {{3, 1700000000}}, {{64, {50, 60, 70}}}});
    }
}

TEST_CASE("the bits of a filter: word f / 64, bit f % 64, both lists the same length") {
    struct Case {
        std::int32_t filterID;
        std::size_t words;
        std::uint64_t bit;
    };
    for (const Case& c : {Case{0, 1, 1}, Case{63, 1, std::uint64_t{1} << 63}, Case{64, 2, 1}, Case{99, 2, 1ull << 35}}) {
        CAPTURE(c.filterID);
        APMResultWords words;
        REQUIRE(words.write(c.filterID, true));
        CHECK(words.status.size() == c.words);
        CHECK(words.results.size() == c.words);
        CHECK(words.status.back() == c.bit);
        CHECK(words.results.back() == c.bit);
        CHECK(words.isTrue(c.filterID));
        CHECK_FALSE(words.isTrue(c.filterID == 0 ? 1 : c.filterID - 1));
    }
    SUBCASE("writing filter 64 into one word appends one zero word to both lists") {
        APMResultWords words{{0x5}, {0x4}};
        words.write(64, false);
        CHECK(words.status == std::vector<std::uint64_t>{0x5, 0x1});
        CHECK(words.results == std::vector<std::uint64_t>{0x4, 0x0});
        CHECK(words.isTrue(2));
        CHECK_FALSE(words.isTrue(0));   // evaluated, false
        CHECK_FALSE(words.isTrue(64));  // evaluated, false
    }
    SUBCASE("a status list shorter than the filter's word, or a missing result word, is not true") {
        CHECK_FALSE((APMResultWords{{0x1}, {0x1}}.isTrue(64)));
        CHECK_FALSE((APMResultWords{{0x1, 0x1}, {0x1}}.isTrue(64)));
        CHECK((APMResultWords{{0x1, 0x1}, {0x1}}.isTrue(0)));
    }
    SUBCASE("no outcome clears the evaluated bit; clearing beyond the lists changes nothing") {
        APMResultWords words{{0x3}, {0x3}};
        words.write(1, std::nullopt);
        CHECK(words.status == std::vector<std::uint64_t>{0x1});
        words.clear(80);
        CHECK(words.status.size() == 1);
        words.clear(0);
        CHECK_FALSE(words.anyStatusSet());
    }
    SUBCASE("an ID outside 0 to 99 is never written nor true") {
        APMResultWords words;
        CHECK_FALSE(words.write(-1, true));
        CHECK_FALSE(words.write(100, true));
        CHECK_FALSE(words.write(2147483647, true));
        CHECK(words.status.empty());
        CHECK_FALSE((APMResultWords{{~0ull, ~0ull}, {~0ull, ~0ull}}.isTrue(-64)));
    }
}

TEST_CASE("stored filters take their flags from their data") {
    AudienceFixture f;
    const auto event = eventFilter(1, "kuvo_calculate", {}, std::nullopt, {.dynamic = true, .sessionScoped = true});
    const auto property = propertyFilter(2, "tier", valueFilter(stringFilter(5, "gold")), {.sequence = true});
    // The records claim other flags; the rows keep only the session-scoped
    // column, and reading back trusts the data.
    f.storeFilters({APMEventFilter(7, 1, "kuvo_calculate", event.protoBuffer(), false, false, true)},
                   {APMPropertyFilter(7, 2, "tier", property.protoBuffer(), true, true, false),
                    APMPropertyFilter(8, 0, "tier", bytes({0xff, 0xff}), true, true, true)});
    f.onWorker([&] {
        const auto events = f.database().eventFiltersForEventName("kuvo_calculate", nullptr);
        REQUIRE(events);
        REQUIRE(events->size() == 1);
        CHECK(events->front().isDynamic());
        CHECK(events->front().isSessionScoped());
        CHECK_FALSE(events->front().isSequence());
        const auto properties = f.database().propertyFiltersForPropertyName("tier", nullptr);
        REQUIRE(properties);
        REQUIRE(properties->size() == 2);
        CHECK(properties->at(0).isSequence());
        CHECK_FALSE(properties->at(0).isDynamic());
        CHECK_FALSE(properties->at(0).isSessionScoped());
        // Data that does not decode: every flag false.
        CHECK_FALSE(properties->at(1).isSequence());
        CHECK_FALSE(properties->at(1).isDynamic());
        CHECK_FALSE(properties->at(1).isSessionScoped());
    });
}
