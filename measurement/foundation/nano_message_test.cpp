// Tests of the message layer: round trips, copies, nesting limits and accessors.
#include <doctest/doctest.h>
#include <pb_common.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <variant>

#include "measurement/foundation/messages.h"
#include "measurement/foundation/monitor.h"
#include "testsupport/temp_dir.h"

using namespace measurement;

namespace {

enum class Kind { Bool, Int32, Int64, Double, String, Bytes, Message, Other };

struct FieldShape {
    int index;
    int tag;
    Kind kind;
    bool repeated;
};

// The fields of a message as nanopb describes them: an outside view of the
// generated code, used to fill every field without naming it.
std::vector<FieldShape> shapes(NANOMessageBase& message) {
    std::vector<FieldShape> result;
    pb_field_iter_t it;
    if (!pb_field_iter_begin(&it, message.descriptor(), message.messageInfo())) return result;
    do {
        Kind kind = Kind::Other;
        switch (PB_LTYPE(it.type)) {
            case PB_LTYPE_BOOL: kind = Kind::Bool; break;
            case PB_LTYPE_VARINT:
            case PB_LTYPE_UVARINT:
            case PB_LTYPE_SVARINT: kind = it.data_size == 4 ? Kind::Int32 : Kind::Int64; break;
            case PB_LTYPE_FIXED64: kind = Kind::Double; break;
            case PB_LTYPE_STRING: kind = Kind::String; break;
            case PB_LTYPE_BYTES: kind = Kind::Bytes; break;
            case PB_LTYPE_SUBMESSAGE: kind = Kind::Message; break;
            default: break;
        }
        result.push_back({it.index, it.tag, kind, PB_HTYPE(it.type) == PB_HTYPE_REPEATED});
    } while (pb_field_iter_next(&it));
    return result;
}

using Expected = std::variant<bool, std::int32_t, std::int64_t, double, std::string, NANOBytes,
                              std::vector<std::int32_t>, std::vector<std::int64_t>, std::vector<double>,
                              std::vector<std::string>, std::vector<NANOBytes>, std::vector<bool>>;

// The alternatives from here on are repeated fields.
constexpr std::size_t kFirstRepeatedAlternative = 6;

// Sets every scalar, string and repeated scalar field to a value derived from
// its tag and answers what each field must read back as.
std::map<int, Expected> fillScalars(NANOMessageBase& message) {
    std::map<int, Expected> expected;
    for (const auto& f : shapes(message)) {
        const auto tag = static_cast<std::int64_t>(f.tag);
        if (f.repeated) {
            switch (f.kind) {
                case Kind::Bool: expected[f.index] = std::vector<bool>{true, false, true}; break;
                case Kind::Int32: expected[f.index] = std::vector<std::int32_t>{f.tag, -f.tag, 2147483647}; break;
                case Kind::Int64:
                    expected[f.index] = std::vector<std::int64_t>{tag * 1000000000000, -tag, INT64_MIN};
                    break;
                case Kind::Double: expected[f.index] = std::vector<double>{tag + 0.5, -1e300}; break;
                case Kind::String: expected[f.index] = std::vector<std::string>{"a" + std::to_string(f.tag), ""}; break;
                case Kind::Bytes: expected[f.index] = std::vector<NANOBytes>{{0, 1, 0xff}, {}}; break;
                default: continue;
            }
        } else {
            switch (f.kind) {
                case Kind::Bool: expected[f.index] = true; break;
                case Kind::Int32: expected[f.index] = static_cast<std::int32_t>(f.tag * 1000 + 7); break;
                case Kind::Int64: expected[f.index] = tag * 1000000000000 + 3; break;
                case Kind::Double: expected[f.index] = tag + 0.25; break;
                case Kind::String: expected[f.index] = "s" + std::to_string(f.tag) + " \xc3\xa9"; break;
                case Kind::Bytes: expected[f.index] = NANOBytes{'a', 0, static_cast<std::uint8_t>(f.tag)}; break;
                default: continue;
            }
        }
        std::visit(
            [&](const auto& value) {
                using T = std::decay_t<decltype(value)>;
                bool set = false;
                if constexpr (std::is_same_v<T, bool>) set = NANOSetBool(message, f.index, value);
                else if constexpr (std::is_same_v<T, std::int32_t>) set = NANOSetInt32(message, f.index, value);
                else if constexpr (std::is_same_v<T, std::int64_t>) set = NANOSetInt64(message, f.index, value);
                else if constexpr (std::is_same_v<T, double>) set = NANOSetDouble(message, f.index, value);
                else if constexpr (std::is_same_v<T, std::string>) set = NANOSetString(message, f.index, value);
                else if constexpr (std::is_same_v<T, NANOBytes>) set = NANOSetBytes(message, f.index, value);
                else set = NANOSetArray(message, f.index, value);
                CHECK(set);
            },
            expected[f.index]);
    }
    return expected;
}

void checkReadsBack(const NANOMessageBase& message, const std::map<int, Expected>& expected) {
    for (const auto& field : expected) {
        const int index = field.first;
        CAPTURE(index);
        CHECK(NANOHasField(message, index));
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, bool>) CHECK(NANOGetBool(message, index) == v);
                else if constexpr (std::is_same_v<T, std::int32_t>) CHECK(NANOGetInt32(message, index) == v);
                else if constexpr (std::is_same_v<T, std::int64_t>) CHECK(NANOGetInt64(message, index) == v);
                else if constexpr (std::is_same_v<T, double>) CHECK(NANOGetDouble(message, index) == v);
                else if constexpr (std::is_same_v<T, std::string>) CHECK(NANOGetString(message, index) == v);
                else if constexpr (std::is_same_v<T, NANOBytes>) CHECK(NANOGetBytes(message, index) == v);
                else CHECK(NANOGetArray<typename T::value_type>(message, index) == v);
            },
            field.second);
    }
}

// One message type of the round-trip table: the message classes add
// nothing to their base, so an empty message and a decoding are all a row
// needs of its type, and the checks run once for every row rather than being
// compiled once a type.
struct MessageType {
    const char* name;
    NANOMessageBase (*make)();
    std::optional<NANOMessageBase> (*decode)(const NANOBytes&);
};

template <class M>
MessageType messageType(const char* name) {
    return {name, []() -> NANOMessageBase { return M(); },
            [](const NANOBytes& bytes) -> std::optional<NANOMessageBase> { return M::initWithBuffer(bytes); }};
}

std::string runProtocDecodeRaw(const NANOBytes& bytes, bool* available) {
    *available = std::system("protoc --version > /dev/null 2>&1") == 0;
    if (!*available) return {};
    testsupport::TempDir dir;
    const auto input = dir / "bundle.bin";
    std::ofstream(input, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                  static_cast<std::streamsize>(bytes.size()));
    const std::string command = "protoc --decode_raw < '" + input.string() + "'";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        pclose(pipe);
    }
    return output;
}

bool hasLine(const std::string& text, const std::string& line) {
    std::size_t pos = 0;
    while ((pos = text.find(line, pos)) != std::string::npos) {
        bool startsLine = pos == 0 || text[pos - 1] == '\n' || text[pos - 1] == ' ';
        bool endsLine = pos + line.size() == text.size() || text[pos + line.size()] == '\n';
        if (startsLine && endsLine) return true;
        ++pos;
    }
    return false;
}

}  // namespace

TEST_CASE("every message round-trips through nanopb with every scalar field set") {
#define TYPE(M) messageType<M>(#M)
    const MessageType types[] = {
        TYPE(APMPBEventParam), TYPE(APMPBEventParamDictionary), TYPE(APMPBEvent), TYPE(APMPBUserAttribute),
        TYPE(APMPBMeasurementBundle), TYPE(APMPBMeasurementBatch), TYPE(APMPBMeasurementConfig), TYPE(APMPBSetting),
        TYPE(APMPBEventConfig), TYPE(APMPBConsentSection), TYPE(APMPBConsentDefault), TYPE(APMPBConsentDelegation),
        TYPE(APMPBAudience), TYPE(APMPBEventFilter), TYPE(APMPBPropertyFilter), TYPE(APMPBFilter),
        TYPE(APMPBStringFilter), TYPE(APMPBNumberFilter), TYPE(APMPBResultData),
        TYPE(APMPBDynamicFilterResultTimestamp), TYPE(APMPBSequenceFilterResultTimestamp),
        TYPE(APMPBAudienceLeafFilterResult), TYPE(APMPBSkAdNetworkConversionValueRequest),
        TYPE(APMPBSkAdNetworkConversionValueResponse), TYPE(APMPBFlag), TYPE(APMPBExperiment), TYPE(APMPBSnapshot),
        TYPE(APMPBSdkResponse), TYPE(APMPBExperimentResponse), TYPE(APMPBAppProperty), TYPE(APMPBCustomProperty),
        TYPE(APMPBClientProperty), TYPE(APMPBExperimentRequest), TYPE(APMPBRuntimeEntity), TYPE(APMPBOgtActivity),
        TYPE(APMPBOgtActivities), TYPE(APMPBProgram),
    };
#undef TYPE
    for (const auto& type : types) {
        CAPTURE(type.name);
        APMMonitorCapture capture;
        NANOMessageBase message = type.make();
        CHECK(message.protoBuffer().empty());
        auto expected = fillScalars(message);

        auto bytes = message.protoBuffer();
        auto decoded = type.decode(bytes);
        REQUIRE(decoded);
        CHECK(*decoded == message);
        CHECK(decoded->protoBuffer() == bytes);
        checkReadsBack(*decoded, expected);

        // A copy is deep and a cleared field reads as unset.
        NANOMessageBase copy = *decoded;
        for (const auto& field : expected) CHECK(NANOClearField(copy, field.first));
        for (const auto& [index, value] : expected) {
            const bool repeated = value.index() >= kFirstRepeatedAlternative;
            CHECK(NANOHasField(copy, index) == repeated);
        }
        CHECK(copy.protoBuffer().empty());
        checkReadsBack(*decoded, expected);
        CHECK(capture.entries().empty());
    }
}

TEST_CASE("nested messages, large strings and long repeated fields round-trip") {
    APMMonitorCapture capture;

    SUBCASE("an event with a 70 KB name and 1000 parameters of every kind") {
        std::string longText(70 * 1024, 'x');
        longText.replace(100, 4, "\xf0\x9f\x98\x80");  // a four-byte character survives
        std::vector<APMPBEventParam> params;
        for (int i = 0; i < 1000; ++i) {
            APMPBEventParam param;
            NANOSetString(param, 0, "p" + std::to_string(i));
            if (i % 3 == 0) NANOSetString(param, 1, "v" + std::to_string(i));
            if (i % 3 == 1) NANOSetInt64(param, 2, -static_cast<std::int64_t>(i) * 1000000007);
            if (i % 3 == 2) NANOSetDouble(param, 3, i / 8.0);
            params.push_back(param);
        }
        APMPBEventParamDictionary dictionary;
        NANOSetArray(dictionary, 0, std::vector<APMPBEventParam>(params.begin(), params.begin() + 2));
        NANOSetArray(params[999], 4, std::vector<APMPBEventParamDictionary>{dictionary, dictionary});

        APMPBEvent event;
        NANOSetString(event, 1, longText);
        NANOSetArray(event, 0, params);
        NANOSetInt64(event, 2, 1700000000123);

        auto decoded = APMPBEvent::initWithBuffer(event.protoBuffer());
        REQUIRE(decoded);
        CHECK(NANOGetString(*decoded, 1) == longText);
        auto back = NANOGetArray<APMPBEventParam>(*decoded, 0);
        REQUIRE(back.size() == 1000);
        CHECK(NANOGetString(back[0], 1) == "v0");
        CHECK(NANOGetInt64(back[1], 2) == -1000000007);
        CHECK(NANOGetDouble(back[2], 3) == 0.25);
        CHECK_FALSE(NANOHasField(back[2], 1));
        auto lists = NANOGetArray<APMPBEventParamDictionary>(back[999], 4);
        REQUIRE(lists.size() == 2);
        auto inner = NANOGetArray<APMPBEventParam>(lists[1], 0);
        REQUIRE(inner.size() == 2);
        CHECK(NANOGetString(inner[1], 0) == "p1");
        CHECK(NANOGetInt64(*decoded, 2) == 1700000000123);
    }
    SUBCASE("a bundle with events, audience results and 1000 experiment IDs in a batch") {
        APMPBResultData results;
        NANOSetArray(results, 0, std::vector<std::uint64_t>{0x8000000000000001ULL, 2});
        NANOSetArray(results, 1, std::vector<std::uint64_t>{0xffffffffffffffffULL, 0});
        APMPBSequenceFilterResultTimestamp sequence;
        NANOSetInt32(sequence, 0, 64);
        NANOSetArray(sequence, 1, std::vector<std::int64_t>{1700000000, 1700000100});
        NANOSetArray(results, 3, std::vector<APMPBSequenceFilterResultTimestamp>{sequence});
        APMPBAudienceLeafFilterResult leaf;
        NANOSetInt32(leaf, 0, 12);
        NANOSetMessage(leaf, 1, results);
        NANOSetBool(leaf, 3, true);

        APMPBMeasurementBundle bundle;
        std::vector<std::int32_t> ids(1000);
        for (int i = 0; i < 1000; ++i) ids[i] = 90000 + i;
        NANOSetArray(bundle, APMPBMeasurementBundleFieldIndex(45), ids);
        NANOSetArray(bundle, APMPBMeasurementBundleFieldIndex(29), std::vector<APMPBAudienceLeafFilterResult>{leaf});
        APMPBEvent event;
        NANOSetString(event, 1, "_e");
        NANOSetArray(bundle, APMPBMeasurementBundleFieldIndex(2), std::vector<APMPBEvent>{event, event});
        APMPBMeasurementBatch batch;
        NANOSetArray(batch, 0, std::vector<APMPBMeasurementBundle>{bundle, bundle});

        auto decoded = APMPBMeasurementBatch::initWithBuffer(batch.protoBuffer());
        REQUIRE(decoded);
        auto bundles = NANOGetArray<APMPBMeasurementBundle>(*decoded, 0);
        REQUIRE(bundles.size() == 2);
        CHECK(NANOGetArray<std::int32_t>(bundles[1], APMPBMeasurementBundleFieldIndex(45)) == ids);
        CHECK(NANOGetArray<APMPBEvent>(bundles[1], APMPBMeasurementBundleFieldIndex(2)).size() == 2);
        auto leaves = NANOGetArray<APMPBAudienceLeafFilterResult>(bundles[0], APMPBMeasurementBundleFieldIndex(29));
        REQUIRE(leaves.size() == 1);
        CHECK_FALSE(NANOGetMessage<APMPBResultData>(leaves[0], 2));
        auto current = NANOGetMessage<APMPBResultData>(leaves[0], 1);
        REQUIRE(current);
        CHECK(NANOGetArray<std::uint64_t>(*current, 0) == std::vector<std::uint64_t>{0x8000000000000001ULL, 2});
        CHECK(NANOGetArray<std::uint64_t>(*current, 1)[0] == 0xffffffffffffffffULL);
        auto sequences = NANOGetArray<APMPBSequenceFilterResultTimestamp>(*current, 3);
        REQUIRE(sequences.size() == 1);
        CHECK(NANOGetArray<std::int64_t>(sequences[0], 1) == std::vector<std::int64_t>{1700000000, 1700000100});
    }
    SUBCASE("a configuration carries audiences and a nested program") {
        APMPBRuntimeEntity number;
        NANOSetInt32(number, 0, 2);
        NANOSetDouble(number, 5, 1.5);
        APMPBRuntimeEntity call;
        NANOSetInt32(call, 0, 4);
        NANOSetBytes(call, 2, NANOBytes{'0'});
        NANOSetArray(call, 1, std::vector<APMPBRuntimeEntity>{number, number});
        APMPBRuntimeEntity outer;
        NANOSetInt32(outer, 0, 4);
        NANOSetBytes(outer, 2, NANOBytes{'1'});
        NANOSetArray(outer, 1, std::vector<APMPBRuntimeEntity>{call});
        APMPBProgram program;
        NANOSetArray(program, 0, std::vector<APMPBRuntimeEntity>{outer});

        APMPBNumberFilter count;
        NANOSetInt32(count, 0, 2);
        NANOSetString(count, 2, "10");
        APMPBEventFilter filter;
        NANOSetString(filter, 1, "_s");
        NANOSetMessage(filter, 4, count);
        APMPBAudience audience;
        NANOSetInt32(audience, 0, 3);
        NANOSetArray(audience, 2, std::vector<APMPBEventFilter>{filter});

        APMPBMeasurementConfig config;
        NANOSetString(config, 1, "velmora-bernoulli-ios");
        NANOSetArray(config, 5, std::vector<APMPBAudience>{audience});
        NANOSetArray(config, 8, std::vector<APMPBProgram>{program});

        auto decoded = APMPBMeasurementConfig::initWithBuffer(config.protoBuffer());
        REQUIRE(decoded);
        auto programs = NANOGetArray<APMPBProgram>(*decoded, 8);
        REQUIRE(programs.size() == 1);
        auto statements = NANOGetArray<APMPBRuntimeEntity>(programs[0], 0);
        REQUIRE(statements.size() == 1);
        auto inner = NANOGetArray<APMPBRuntimeEntity>(statements[0], 1);
        REQUIRE(inner.size() == 1);
        CHECK(NANOGetBytes(inner[0], 2) == NANOBytes{'0'});
        auto leaves = NANOGetArray<APMPBRuntimeEntity>(inner[0], 1);
        REQUIRE(leaves.size() == 2);
        CHECK(NANOGetDouble(leaves[1], 5) == 1.5);
        auto audiences = NANOGetArray<APMPBAudience>(*decoded, 5);
        REQUIRE(audiences.size() == 1);
        auto filters = NANOGetArray<APMPBEventFilter>(audiences[0], 2);
        REQUIRE(filters.size() == 1);
        auto countFilter = NANOGetMessage<APMPBNumberFilter>(filters[0], 4);
        REQUIRE(countFilter);
        CHECK(NANOGetString(*countFilter, 2) == "10");
    }
    CHECK(capture.entries().empty());
}

TEST_CASE("buffers: none gives an empty message, undecodable bytes give no message") {
    CHECK(APMPBEvent::initWithBuffer(NANOBytes{}));
    CHECK(APMPBEvent::initWithBuffer(NANOBytes{})->protoBuffer().empty());
    // A length-delimited field announcing more bytes than follow.
    CHECK_FALSE(APMPBEvent::initWithBuffer(NANOBytes{0x12, 0x05, 'a', 'b'}));
    // A wire type that does not exist.
    CHECK_FALSE(APMPBMeasurementBundle::initWithBuffer(NANOBytes{0x0f, 0x01}));
    // A truncated varint.
    CHECK_FALSE(APMPBUserAttribute::initWithBuffer(NANOBytes{0x08, 0xff}));
    // A nested message that does not decode fails the whole message.
    CHECK_FALSE(APMPBMeasurementBatch::initWithBuffer(NANOBytes{0x0a, 0x02, 0x12, 0x09}));
    // Unknown fields are skipped.
    auto skipped = APMPBEvent::initWithBuffer(NANOBytes{0xf8, 0x07, 0x01, 0x12, 0x01, 'n'});
    REQUIRE(skipped);
    CHECK(NANOGetString(*skipped, 1) == "n");

    SUBCASE("a failed decode leaves an existing message unchanged") {
        APMPBEvent event;
        NANOSetString(event, 1, "kept");
        const NANOBytes bad{0x12, 0x05, 'a'};
        CHECK_FALSE(event.decodeBuffer(bad.data(), bad.size()));
        CHECK(NANOGetString(event, 1) == "kept");
    }
    SUBCASE("from message information: a deep copy, none gives an empty message") {
        APMPBEvent source;
        NANOSetString(source, 1, "copied");
        auto copy = APMPBEvent::initWithMessageInfo(source.message());
        NANOSetString(source, 1, "changed");
        CHECK(NANOGetString(copy, 1) == "copied");
        CHECK(APMPBEvent::initWithMessageInfo(nullptr).protoBuffer().empty());
    }
}

namespace {
// A one-byte key and a length, as they precede a length-delimited field.
NANOBytes keyAndLength(std::uint8_t key, std::size_t length) {
    NANOBytes bytes{key};
    do {
        auto byte = static_cast<std::uint8_t>(length & 0x7f);
        length >>= 7;
        bytes.push_back(length ? static_cast<std::uint8_t>(byte | 0x80) : byte);
    } while (length);
    return bytes;
}

NANOBytes lengthDelimited(std::uint8_t key, const NANOBytes& content) {
    NANOBytes bytes = keyAndLength(key, content.size());
    bytes.insert(bytes.end(), content.begin(), content.end());
    return bytes;
}

// An entity whose tag 2 holds an entity, `levels` times over. Written back to
// front, so that every length is known when it is written.
NANOBytes nestedEntities(int levels) {
    NANOBytes reversed;
    for (int i = 0; i < levels; ++i) {
        const NANOBytes prefix = keyAndLength(0x12, reversed.size());
        reversed.insert(reversed.end(), prefix.rbegin(), prefix.rend());
    }
    return NANOBytes(reversed.rbegin(), reversed.rend());
}
}  // namespace

TEST_CASE("bytes that nest messages too deeply give no message instead of exhausting the stack") {
    SUBCASE("up to the limit they decode") {
        auto decoded = APMPBRuntimeEntity::initWithBuffer(nestedEntities(kNANOMaxNestingDepth));
        REQUIRE(decoded);
        int depth = 0;
        for (auto entity = *decoded;; ++depth) {
            auto children = NANOGetArray<APMPBRuntimeEntity>(entity, 1);
            if (children.empty()) break;
            REQUIRE(children.size() == 1);
            entity = children[0];
        }
        CHECK(depth == kNANOMaxNestingDepth);
    }
    SUBCASE("one level more is refused") {
        CHECK_FALSE(APMPBRuntimeEntity::initWithBuffer(nestedEntities(kNANOMaxNestingDepth + 1)));
    }
    SUBCASE("a fetched configuration whose program nests 100,000 levels deep") {
        // configuration tag 9 -> program tag 1 -> entity tag 2 -> ...
        const NANOBytes config = lengthDelimited(0x4a, lengthDelimited(0x0a, nestedEntities(100'000)));
        CHECK_FALSE(APMPBMeasurementConfig::initWithBuffer(config));
        APMPBMeasurementConfig kept;
        NANOSetString(kept, 1, std::string("velmora-bernoulli-ios"));
        CHECK_FALSE(kept.decodeBuffer(config.data(), config.size()));
        CHECK(NANOGetString(kept, 1) == "velmora-bernoulli-ios");
    }
    SUBCASE("deep bytes in a field the message does not know are skipped, not followed") {
        // Tag 15 is no field of an event.
        auto skipped = APMPBEvent::initWithBuffer(lengthDelimited(0x7a, nestedEntities(100'000)));
        CHECK(skipped);
    }
}

TEST_CASE("a copy of a nested message is whole and its own, up to the decoder's depth") {
    APMMonitorCapture capture;
    // A chain of entities, each holding the next under tag 2 (index 1);
    // `levels` entities below the outermost.
    auto chain = [](int levels) {
        APMPBRuntimeEntity entity;
        NANOSetInt32(entity, 0, levels);
        for (int level = levels - 1; level >= 0; --level) {
            APMPBRuntimeEntity outer;
            NANOSetInt32(outer, 0, level);
            const std::string text = "level " + std::to_string(level);
            NANOSetBytes(outer, 3, NANOBytes(text.begin(), text.end()));
            NANOSetArray(outer, 1, std::vector<APMPBRuntimeEntity>{entity});
            entity = std::move(outer);
        }
        return entity;
    };

    SUBCASE("at the decoder's limit: the same bytes, and changes to the original stay there") {
        auto original = chain(kNANOMaxNestingDepth);
        const auto bytes = original.protoBuffer();
        APMPBRuntimeEntity copy = original;
        CHECK(copy.protoBuffer() == bytes);
        NANOSetBytes(original, 3, NANOBytes{'x'});
        NANOSetArray(original, 1, std::vector<APMPBRuntimeEntity>{});
        CHECK(copy.protoBuffer() == bytes);
        CHECK(APMPBRuntimeEntity::initWithBuffer(bytes) == copy);
        CHECK(capture.entries().empty());
    }
    SUBCASE("one level deeper than the decoder takes: no copy, as no decoding") {
        auto original = chain(kNANOMaxNestingDepth + 1);
        CHECK_FALSE(APMPBRuntimeEntity::initWithBuffer(original.protoBuffer()));
        APMPBRuntimeEntity copy = original;
        CHECK(copy.protoBuffer().empty());
        CHECK(capture.count(kNANOEncodeFailureCode) == 1);
    }
}

TEST_CASE("accessors of the wrong type log and change nothing") {
    APMMonitorCapture capture;
    APMPBUserAttribute attribute;
    NANOSetInt64(attribute, 0, 1700000000000);
    NANOSetString(attribute, 1, "_fot");
    const auto before = attribute.protoBuffer();

    auto checkRefused = [&](bool result, const std::string& message) {
        CHECK_FALSE(result);
        CHECK(attribute.protoBuffer() == before);
        auto entries = capture.entriesWithCode(kNANOFieldTypeMismatchCode);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0].message == message);
        CHECK(entries[0].level == 1);
        capture.clear();
    };
    checkRefused(NANOSetInt32(attribute, 1, 5), "<Nano/Failure> Field type isn't int32");
    checkRefused(NANOSetString(attribute, 0, std::string("x")), "<Nano/Failure> Field type isn't string");
    checkRefused(NANOSetBool(attribute, 4, true), "<Nano/Failure> Field type isn't bool");
    checkRefused(NANOSetDouble(attribute, 3, 1.0), "<Nano/Failure> Field type isn't double");
    checkRefused(NANOSetArray(attribute, 1, std::vector<std::string>{"a"}),
                 "<Nano/Failure> Field type isn't repeated string");
    APMPBEvent event;
    checkRefused(NANOSetMessage(attribute, 1, event), "<Nano/Failure> Field type isn't message");

    CHECK(NANOGetInt32(attribute, 0) == 0);
    CHECK(capture.hasCode(kNANOFieldTypeMismatchCode));
    CHECK_FALSE(NANOGetString(attribute, 0));
    CHECK(NANOGetArray<std::int64_t>(attribute, 0).empty());
    capture.clear();

    SUBCASE("a sub-message of another type is refused") {
        APMPBAudienceLeafFilterResult leaf;
        APMPBEvent wrong;
        CHECK_FALSE(NANOSetMessage(leaf, 1, wrong));
        CHECK_FALSE(NANOGetMessage<APMPBEvent>(leaf, 1));
        CHECK(capture.count(kNANOFieldTypeMismatchCode) == 2);
    }
    SUBCASE("an index past the last field is logged") {
        CHECK_FALSE(NANOHasField(attribute, 5));
        CHECK_FALSE(NANOSetInt64(attribute, -1, 1));
        CHECK(capture.count(kNANOFieldIndexOutOfRangeCode) == 2);
    }
    SUBCASE("a message that was moved from is uninitialised and answers nothing") {
        APMPBUserAttribute moved = std::move(attribute);
        CHECK(NANOGetString(moved, 1) == "_fot");
        CHECK_FALSE(attribute.isInitialized());
        CHECK_FALSE(NANOGetString(attribute, 1));
        CHECK_FALSE(NANOSetString(attribute, 1, std::string("x")));
        CHECK(attribute.protoBuffer().empty());
        CHECK(capture.count(kNANOUninitializedMessageCode) == 3);
    }
    SUBCASE("strings with a NUL character cannot be stored") {
        CHECK_FALSE(NANOSetString(attribute, 2, std::string("a\0b", 3)));
        CHECK(capture.hasCode(kNANOUnsupportedValueCode));
        CHECK(attribute.protoBuffer() == before);
    }
}

TEST_CASE("repeated fields count as set; no string clears; elements are copies") {
    APMPBMeasurementBundle bundle;
    CHECK(NANOHasField(bundle, APMPBMeasurementBundleFieldIndex(64)));
    CHECK_FALSE(NANOHasField(bundle, APMPBMeasurementBundleFieldIndex(52)));
    NANOSetString(bundle, APMPBMeasurementBundleFieldIndex(52), std::string("G111"));
    CHECK(NANOHasField(bundle, APMPBMeasurementBundleFieldIndex(52)));
    NANOSetString(bundle, APMPBMeasurementBundleFieldIndex(52), std::nullopt);
    CHECK_FALSE(NANOHasField(bundle, APMPBMeasurementBundleFieldIndex(52)));

    APMPBUserAttribute npa;
    NANOSetString(npa, 1, "_npa");
    NANOSetInt64(npa, 3, 0);
    NANOSetArray(bundle, APMPBMeasurementBundleFieldIndex(3), std::vector<APMPBUserAttribute>{npa});
    auto attributes = NANOGetArray<APMPBUserAttribute>(bundle, APMPBMeasurementBundleFieldIndex(3));
    NANOSetInt64(attributes[0], 3, 1);
    CHECK(NANOGetInt64(NANOGetArray<APMPBUserAttribute>(bundle, APMPBMeasurementBundleFieldIndex(3))[0], 3) == 0);
    NANOSetArray(bundle, APMPBMeasurementBundleFieldIndex(3), attributes);
    CHECK(NANOGetInt64(NANOGetArray<APMPBUserAttribute>(bundle, APMPBMeasurementBundleFieldIndex(3))[0], 3) == 1);
    NANOSetArray(bundle, APMPBMeasurementBundleFieldIndex(3), std::vector<APMPBUserAttribute>{});
    CHECK(NANOGetArray<APMPBUserAttribute>(bundle, APMPBMeasurementBundleFieldIndex(3)).empty());
    CHECK(bundle.protoBuffer().empty());
}

TEST_CASE("bundle field indexes follow ascending tag order") {
    // Tags 1 to 14 come first, then the gaps at 15, 22, 28, 34, 36 to 40 ...
    CHECK(APMPBMeasurementBundleFieldIndex(1) == 0);
    CHECK(APMPBMeasurementBundleFieldIndex(14) == 13);
    CHECK(APMPBMeasurementBundleFieldIndex(15) == -1);
    CHECK(APMPBMeasurementBundleFieldIndex(16) == 14);
    CHECK(APMPBMeasurementBundleFieldIndex(23) == 20);
    CHECK(APMPBMeasurementBundleFieldIndex(29) == 25);
    CHECK(APMPBMeasurementBundleFieldIndex(52) == 34);
    CHECK(APMPBMeasurementBundleFieldIndex(73) == 41);
    CHECK(NANOFieldCount(APMPBMeasurementBundle::messageDescriptor()) == 42);
    CHECK(NANOFieldIndexForTag<APMPBUserAttribute>(6) == 4);
    CHECK(NANOFieldIndexForTag<APMPBEvent>(4) == APMPBFieldIndexForTag(4));
}

TEST_CASE("an outside decoder reads an encoded bundle") {
    APMPBMeasurementBundle bundle;
    auto index = APMPBMeasurementBundleFieldIndex;
    NANOSetInt32(bundle, index(1), 1);
    APMPBEventParam param;
    NANOSetString(param, 0, "_o");
    NANOSetString(param, 1, "auto");
    APMPBEvent event;
    NANOSetArray(event, 0, std::vector<APMPBEventParam>{param});
    NANOSetString(event, 1, "_s");
    NANOSetInt64(event, 2, 1700000000123);
    NANOSetArray(bundle, index(2), std::vector<APMPBEvent>{event});
    NANOSetInt64(bundle, index(5), 1700000000000);
    NANOSetInt64(bundle, index(6), 1700000000999);
    NANOSetString(bundle, index(8), std::string("ios"));
    NANOSetString(bundle, index(9), std::string("17.4.1"));
    NANOSetString(bundle, index(14), std::string("com.velmora.bernoulli"));
    NANOSetBool(bundle, index(20), true);
    NANOSetInt32(bundle, index(23), 42);
    NANOSetArray(bundle, index(45), std::vector<std::int32_t>{7, 8});
    NANOSetInt64(bundle, index(47), -2);
    NANOSetString(bundle, index(52), std::string("G111"));
    NANOSetInt32(bundle, index(53), nano_APMPBTrackingAuthorizationStatus_AUTHORIZED);
    NANOSetArray(bundle, index(64), std::vector<std::string>{"device_info"});
    NANOSetBool(bundle, index(72), false);
    NANOSetString(bundle, index(73), std::string("ab"));

    bool available = false;
    const std::string text = runProtocDecodeRaw(bundle.protoBuffer(), &available);
    if (!available) {
        MESSAGE("protoc is not installed; skipping the outside-decoder check");
        return;
    }
    CAPTURE(text);
    CHECK(hasLine(text, "1: 1"));
    CHECK(hasLine(text, "2 {"));
    CHECK(hasLine(text, "2: \"_s\""));
    CHECK(hasLine(text, "1: \"_o\""));
    CHECK(hasLine(text, "2: \"auto\""));
    CHECK(hasLine(text, "3: 1700000000123"));
    CHECK(hasLine(text, "5: 1700000000000"));
    CHECK(hasLine(text, "6: 1700000000999"));
    CHECK(hasLine(text, "8: \"ios\""));
    CHECK(hasLine(text, "9: \"17.4.1\""));
    CHECK(hasLine(text, "14: \"com.velmora.bernoulli\""));
    CHECK(hasLine(text, "20: 1"));
    CHECK(hasLine(text, "23: 42"));
    // Repeated numbers travel packed; the outside decoder shows the raw bytes.
    CHECK(hasLine(text, "45: \"\\007\\010\""));
    CHECK(hasLine(text, "47: 18446744073709551614"));  // -2 as an unsigned varint
    CHECK(hasLine(text, "52: \"G111\""));
    CHECK(hasLine(text, "53: 3"));
    CHECK(hasLine(text, "64: \"device_info\""));
    CHECK(hasLine(text, "72: 0"));
    CHECK(hasLine(text, "73: \"ab\""));
}
