#include <doctest/doctest.h>

#include <plist/plist.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/json_codec.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/python_plistlib.h"
#include "testsupport/sample_history.h"

using platform::Value;

namespace {
Value sample() {
    return Value(Value::Dictionary{
        {"name", "Bernoulli"},
        {"count", -42},
        {"big", 9007199254740993LL},
        {"ratio", 0.25},
        {"flag", true},
        {"blob", platform::Data{{0, 1, 2, 255}}},
        {"when", platform::Date{1700000000.0}},
        {"list", Value::Array{1, "two", Value::Dictionary{{"three", 3}}}},
    });
}
}  // namespace

TEST_CASE("property lists round-trip in both forms") {
    const Value original = sample();
    SUBCASE("xml") {
        auto xml = platform::writePropertyListXML(original);
        CHECK(xml.find("<key>name</key>") != std::string::npos);
        auto back = platform::parsePropertyList(xml);
        REQUIRE(back);
        CHECK(*back == original);
    }
    SUBCASE("binary") {
        auto bin = platform::writePropertyListBinary(original);
        CHECK(bin.rfind("bplist00", 0) == 0);
        auto back = platform::parsePropertyList(bin);
        REQUIRE(back);
        CHECK(*back == original);
    }
    SUBCASE("dates count from 1970 though the format counts from 2001") {
        const std::string xml =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">"
            "<date>2001-01-01T00:00:00Z</date></plist>";
        auto v = platform::parsePropertyList(xml);
        REQUIRE(v);
        REQUIRE(v->isDate());
        CHECK(v->asDate().secondsSince1970 == doctest::Approx(978307200.0));
    }
    SUBCASE("the binary form keeps dates to the microsecond, before 2001 too") {
        const auto roundTrip = [](double secondsSince1970) {
            auto back = platform::parsePropertyList(platform::writePropertyListBinary(platform::Date{secondsSince1970}));
            REQUIRE(back);
            REQUIRE(back->isDate());
            return back->asDate().secondsSince1970;
        };
        CHECK(roundTrip(1700000000.25) == doctest::Approx(1700000000.25).epsilon(1e-15));
        // A fraction that rounds up to a whole second carries into it.
        CHECK(roundTrip(1700000000.9999997) == doctest::Approx(1700000001.0).epsilon(1e-15));
        // 2000-12-31T23:59:58.5Z, a second and a half before the format's epoch.
        CHECK(roundTrip(978307198.5) == doctest::Approx(978307198.5).epsilon(1e-15));
        // Half a second before it: the fraction keeps its sign.
        CHECK(roundTrip(978307199.5) == doctest::Approx(978307199.5).epsilon(1e-15));
        // The latest second the format holds keeps its fraction, to its last
        // microsecond; later dates become that microsecond.
        constexpr double latest = 978307200.0 + 2147483647.0;
        CHECK(roundTrip(latest + 0.5) == latest + 0.5);
        CHECK(roundTrip(latest + 0.9999997) == doctest::Approx(latest + 0.999999).epsilon(1e-16));
        CHECK(roundTrip(1e300) == doctest::Approx(latest + 0.999999).epsilon(1e-16));
    }
    SUBCASE("malformed input gives no value and a reason") {
        std::string why;
        CHECK_FALSE(platform::parsePropertyList("", &why));
        CHECK_FALSE(why.empty());
        CHECK_FALSE(platform::parsePropertyList("<plist><dict><key>a</key>", &why));
        CHECK_FALSE(platform::parsePropertyList("bplist00 garbage", &why));
    }
}

TEST_CASE("JSON documents become typed values") {
    SUBCASE("kinds") {
        auto v = platform::parseJSON(R"({"i": 3, "r": 3.5, "s": "x", "b": false, "n": null, "a": [1, 2]})");
        REQUIRE(v);
        CHECK((*v)["i"].isInt());
        CHECK((*v)["r"].isReal());
        CHECK((*v)["s"].asString() == "x");
        CHECK((*v)["b"].isBool());
        CHECK((*v)["n"].isNull());
        CHECK((*v)["a"].asArray().size() == 2);
    }
    SUBCASE("round trip") {
        Value original(Value::Dictionary{{"k", Value::Array{1, 2.5, "t", nullptr}}});
        auto back = platform::parseJSON(platform::writeJSON(original));
        REQUIRE(back);
        CHECK(*back == original);
    }
    SUBCASE("malformed input and excessive nesting are refused") {
        std::string why;
        CHECK_FALSE(platform::parseJSON("{\"a\": ", &why));
        CHECK(why == "malformed JSON");
        std::string deep(2000, '[');
        deep += std::string(2000, ']');
        CHECK_FALSE(platform::parseJSON(deep, &why));
    }
    SUBCASE("non-finite reals are written as null") {
        CHECK(platform::writeJSON(Value(1.0 / 0.0)) == "null");
    }
}

namespace {

// A binary property list assembled object by object (each given encoded,
// references four bytes wide), with the trailer pointing at the top object.
std::string binaryPlist(const std::vector<std::string>& objects, std::uint64_t top = 0) {
    auto bigEndian = [](std::uint64_t value, int bytes) {
        std::string out;
        for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
        return out;
    };
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(out.size());
        out += object;
    }
    const std::uint64_t table = out.size();
    for (auto offset : offsets) out += bigEndian(offset, 4);
    out += std::string(6, '\0') + '\x04' + '\x04';
    out += bigEndian(objects.size(), 8) + bigEndian(top, 8) + bigEndian(table, 8);
    return out;
}

std::string reference(std::uint32_t index) {
    return {static_cast<char>(index >> 24), static_cast<char>(index >> 16), static_cast<char>(index >> 8),
            static_cast<char>(index)};
}

// An array marker with its count.
std::string arrayOf(const std::vector<std::uint32_t>& references) {
    std::string out(1, static_cast<char>(0xA0 | std::min<std::size_t>(references.size(), 15)));
    if (references.size() >= 15) out += std::string{'\x12'} + reference(static_cast<std::uint32_t>(references.size()));
    for (auto index : references) out += reference(index);
    return out;
}

std::string ascii(const std::string& text) { return static_cast<char>(0x50 | text.size()) + text; }

// Containers nested that deep, the innermost one empty.
std::string nestedArrays(std::uint32_t depth) {
    std::vector<std::string> objects;
    for (std::uint32_t i = 0; i < depth; ++i) objects.push_back(arrayOf({i + 1}));
    objects.push_back(arrayOf({}));
    return binaryPlist(objects);
}

std::string nestedXML(std::size_t depth) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (std::size_t i = 0; i < depth; ++i) xml += "<array>";
    xml += "<string>x</string>";
    for (std::size_t i = 0; i < depth; ++i) xml += "</array>";
    return xml + "</plist>";
}

// Bytes given as hexadecimal pairs, spaces between them ignored.
std::string fromHex(std::string_view hex) {
    std::string out;
    for (std::size_t i = 0; i < hex.size();) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
        i += 2;
    }
    return out;
}

// One byte of the encoding replaced.
std::string withByte(std::string bytes, const std::string& near, std::size_t offset, char value) {
    const auto at = bytes.find(near);
    REQUIRE(at != std::string::npos);
    bytes[at + offset] = value;
    return bytes;
}

}  // namespace

TEST_CASE("damaged and hostile property lists are refused, never crash, and valid ones still read") {
    const std::string binary = platform::writePropertyListBinary(
        Value(Value::Dictionary{{"title", "Bernoulli"}, {"key_\xc3\xa9", "caf\xc3\xa9"}}));
    const std::string xml = platform::writePropertyListXML(Value(Value::Dictionary{{"title", "Bernoulli"}}));
    std::string utf16Nul = binary;
    {
        // "café" is kept as UTF-16; its first unit becomes 0.
        const std::string unit = std::string("\0c", 2);
        const auto at = utf16Nul.find(unit);
        REQUIRE(at != std::string::npos);
        utf16Nul[at + 1] = '\0';
    }
    struct Case {
        std::string what;
        std::string bytes;
        const char* reason;  // empty: the document reads
    };
    // A chain of pairs: every level refers twice to the next, 2^40 values.
    std::vector<std::string> doubling;
    for (std::uint32_t i = 0; i < 40; ++i) doubling.push_back(arrayOf({i + 1, i + 1}));
    doubling.push_back(arrayOf({}));
    const std::vector<Case> cases = {
        {"an ASCII string with a NUL byte", withByte(binary, "Bernoulli", 3, '\0'), "NUL"},
        {"a key with a NUL byte", withByte(binary, "title", 2, '\0'), "NUL"},
        {"a UTF-16 string with a NUL unit", utf16Nul, "NUL"},
        {"a string length past the end", binaryPlist({"\x5f\x10\xff" "abc"}), "past the end"},
        {"an XML string with a NUL byte", withByte(xml, "Bernoulli", 2, '\0'), "NUL"},
        {"binary arrays nested 200000 deep", nestedArrays(200000), "nested too deeply"},
        {"XML arrays nested 200000 deep", nestedXML(200000), "nested too deeply"},
        {"binary arrays nested 512 deep", nestedArrays(512), ""},
        {"binary arrays nested 513 deep", nestedArrays(513), "nested too deeply"},
        {"XML arrays nested 512 deep", nestedXML(512), ""},
        {"XML arrays nested 513 deep", nestedXML(513), "nested too deeply"},
        {"an array that contains itself", binaryPlist({arrayOf({0})}), "contains itself"},
        {"a shared object used twice", binaryPlist({arrayOf({1, 1}), ascii("x")}), ""},
        {"objects shared into 2^40 values", binaryPlist(doubling), "too many values"},
        {"a reference to a missing object", binaryPlist({arrayOf({7})}), "missing object"},
        {"a top object that is not there", binaryPlist({ascii("x")}, 3), "top object"},
        {"a dictionary key that is a number", binaryPlist({"\xD1" + reference(1) + reference(2), "\x10\x05", ascii("v")}),
         "key that is no string"},
        {"a UID inside a list", binaryPlist({arrayOf({1, 2}), ascii("x"), "\x80\x01"}), "unsupported"},
        {"a null object", binaryPlist({std::string(1, '\0')}), "unsupported"},
        {"an offset table beyond the file", binary.substr(0, binary.size() - 8) + std::string(8, '\x7f'),
         "offset table"},
        {"a truncated trailer", binary.substr(0, 20), "too short"},
        {"an unterminated XML comment", "<?xml version=\"1.0\"?><plist><!-- open", "unterminated"},
        // 56 bytes: a dictionary of 2^63 + 1 entries, whose keys and values
        // would come to two references when the count is doubled in 64 bits.
        {"a dictionary count whose doubling overflows",
         fromHex("62706c6973743030 df13 8000000000000001 01 01 516b 0814"
                 "000000000000 01 01 0000000000000002 0000000000000000 0000000000000016"),
         "past the end"},
        // 56 bytes: 2^40 + 1 objects said to be in an offset table of 14
        // bytes, the top one far past it.
        {"an object count beyond the offset table",
         fromHex("62706c6973743030 5178 0808080808080808080808080808"
                 "000000000000 01 01 0000010000000001 0000010000000000 000000000000000a"),
         "offset table"},
        // Objects end where the trailer begins; the offset table comes first.
        {"an eight-byte real with four bytes left",
         fromHex("62706c6973743030 09 23 3ff00000"
                 "000000000000 01 01 0000000000000001 0000000000000000 0000000000000008"),
         "past the end"},
        {"an eight-byte real with seven bytes left",
         fromHex("62706c6973743030 09 23 3ff000000000"
                 "000000000000 01 01 0000000000000001 0000000000000000 0000000000000008"),
         "past the end"},
        {"an eight-byte real that ends where the trailer begins",
         fromHex("62706c6973743030 09 23 3ff0000000000000"
                 "000000000000 01 01 0000000000000001 0000000000000000 0000000000000008"),
         ""},
        {"a four-byte real with two bytes left",
         fromHex("62706c6973743030 09 22 3f80"
                 "000000000000 01 01 0000000000000001 0000000000000000 0000000000000008"),
         "past the end"},
        {"a date with four bytes left",
         fromHex("62706c6973743030 09 33 41000000"
                 "000000000000 01 01 0000000000000001 0000000000000000 0000000000000008"),
         "past the end"},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        std::string why;
        const auto value = platform::parsePropertyList(entry.bytes, &why);
        if (std::string(entry.reason).empty()) {
            CHECK_MESSAGE(value, why);
        } else {
            CHECK_FALSE(value);
            CHECK(why.find(entry.reason) != std::string::npos);
        }
    }
}

TEST_CASE("what is written as a property list always reads back") {
    SUBCASE("text that is not UTF-8, in values and keys, comes back with replacement characters") {
        const Value written(Value::Dictionary{{"ok", "caf\xc3\xa9"},
                                              {"bad \x9b\x92", "lone \xc3 and \xed\xa0\x80 surrogate and \xff"},
                                              {"list", Value::Array{"\x80"}}});
        const Value expected(Value::Dictionary{
            {"ok", "caf\xc3\xa9"},
            {"bad \xef\xbf\xbd\xef\xbf\xbd", "lone \xef\xbf\xbd and \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd surrogate and \xef\xbf\xbd"},
            {"list", Value::Array{"\xef\xbf\xbd"}}});
        for (const auto& bytes : {platform::writePropertyListBinary(written), platform::writePropertyListXML(written)}) {
            const auto back = platform::parsePropertyList(bytes);
            REQUIRE(back);
            CHECK(*back == expected);
        }
    }
    SUBCASE("values that cannot be kept are named before they are written") {
        Value deep = Value(Value::Array{});
        for (int i = 0; i < platform::kPropertyListMaxDepth; ++i) deep = Value(Value::Array{deep});
        CHECK_FALSE(platform::propertyListProblem(deep));
        CHECK(platform::parsePropertyList(platform::writePropertyListBinary(deep)));
        const Value deeper(Value::Array{deep});
        CHECK(platform::propertyListProblem(deeper) == "it nests deeper than 512");
        CHECK(platform::propertyListProblem(Value(Value::Dictionary{{"a", Value::Array{Value()}}})) ==
              "a null value is no property list");
    }
    SUBCASE("the most values a reader takes, counted as it counts them") {
        // A list and its items: exactly the limit, then one more.
        const Value most(Value::Array(platform::kPropertyListMaxValues - 1, Value(1)));
        CHECK_FALSE(platform::propertyListProblem(most));
        CHECK(platform::parsePropertyList(platform::writePropertyListBinary(most)));
        const Value over(Value::Array(platform::kPropertyListMaxValues, Value(1)));
        CHECK(platform::propertyListProblem(over));
        CHECK_FALSE(platform::parsePropertyList(platform::writePropertyListBinary(over)));
        // Keys are no values of their own: counted, these would be too many.
        Value::Dictionary keyed;
        for (std::size_t i = 0; i <= platform::kPropertyListMaxValues / 2; ++i) keyed["k" + std::to_string(i)] = Value(1);
        CHECK_FALSE(platform::propertyListProblem(Value(keyed)));
        CHECK(platform::parsePropertyList(platform::writePropertyListBinary(Value(keyed))));
    }
}

// The library indexes a list of more than a hundred values; freeing a parsed
// list that long once freed its values twice. The library's own binary
// writer slows down with the number of containers, so the longest lists hold
// plain values.
TEST_CASE("long lists and wide dictionaries read back in both forms") {
    for (const std::size_t count : {std::size_t{101}, std::size_t{1000}, std::size_t{100000}}) {
        const bool nested = count <= 1000;
        Value::Array list;
        Value::Dictionary wide;
        for (std::size_t i = 0; i < count; ++i) {
            const auto n = static_cast<std::int64_t>(i);
            Value::Array pair;
            pair.emplace_back(n);
            pair.emplace_back("item " + std::to_string(i));
            list.emplace_back(nested ? Value(std::move(pair)) : Value("item " + std::to_string(i)));
            Value::Dictionary entry;
            entry["n"] = Value(n);
            wide["key " + std::to_string(i)] = nested ? Value(std::move(entry)) : Value(n);
        }
        Value::Dictionary top;
        top["list"] = Value(list);
        top["wide"] = Value(wide);
        const Value written(std::move(top));
        for (const bool binary : {false, true}) {
            CAPTURE(count);
            CAPTURE(binary);
            const std::string bytes = binary ? platform::writePropertyListBinary(written)
                                             : platform::writePropertyListXML(written);
            const auto back = platform::parsePropertyList(bytes);
            REQUIRE(back);
            REQUIRE(back->asDictionary().at("list").asArray().size() == count);
            CHECK(back->asDictionary().at("wide").asDictionary().size() == count);
            CHECK(*back == written);
        }
    }
}

namespace {

// Every kind of value, with the sizes where the binary form changes the
// width of a number, of a length or of a reference.
Value everyWidth() {
    Value::Array numbers;
    for (const long long n : std::initializer_list<long long>{0, 255, 256, 65535, 65536, 4294967295LL, 4294967296LL,
                                                              INT64_MAX, -1, INT64_MIN}) {
        numbers.emplace_back(n);
    }
    Value::Array many;
    for (int i = 0; i < 300; ++i) {
        if (i % 3 == 0) {
            many.emplace_back("shared");
        } else {
            many.emplace_back(i * 1000);
        }
    }
    Value::Dictionary inner;
    inner["many"] = Value(std::move(many));
    inner["empty list"] = Value(Value::Array{});
    inner["empty dict"] = Value(Value::Dictionary{});
    Value::Dictionary all;
    all["numbers"] = Value(std::move(numbers));
    all["reals"] = Value(Value::Array{0.1, -2.5e-300, 1e308});
    all["texts"] = Value(Value::Array{"", "plain", "caf\xc3\xa9", "\xf0\x9f\x98\x80 grin", "longer than fifteen letters",
                                      "plain"});
    all["bytes"] = Value(platform::Data{std::vector<std::uint8_t>(20, 0xAB)});
    // Whole and half seconds, half a second before 2001 among them.
    all["dates"] = Value(
        Value::Array{platform::Date{978307200.25}, platform::Date{1700000000.5}, platform::Date{978307199.5}});
    all["flags"] = Value(Value::Array{true, false});
    all["cl\xc3\xa9"] = Value(std::move(inner));
    return Value(std::move(all));
}

}  // namespace

TEST_CASE("the binary form reads back equal through the property-list library and Python's plistlib") {
    const Value written = everyWidth();
    const std::string bytes = platform::writePropertyListBinary(written);
    SUBCASE("the library reads it, and what it writes of it reads back equal") {
        plist_t root = nullptr;
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        REQUIRE(root);
        char* again = nullptr;
        uint32_t length = 0;
        plist_to_bin(root, &again, &length);
        plist_free(root);
        REQUIRE(again);
        const auto back = platform::parsePropertyList(std::string(again, length));
        std::free(again);
        REQUIRE(back);
        CHECK(*back == written);
    }
    SUBCASE("plistlib reads it, and what it writes of it reads back equal") {
        if (!platform::testing::pythonPlistlibInstalled()) {
            MESSAGE(platform::testing::kNoPythonPlistlib);
            return;
        }
        const auto again = platform::testing::throughPythonPlistlib(bytes);
        REQUIRE(again);
        const auto back = platform::parsePropertyList(*again);
        REQUIRE(back);
        CHECK(*back == written);
    }
}

namespace {

// The fewest of 1, 2, 4 or 8 bytes that hold the number.
std::size_t bytesFor(std::uint64_t n) { return n < 0x100 ? 1 : n < 0x10000 ? 2 : n <= 0xFFFFFFFF ? 4 : 8; }

// The size of the smallest binary document that holds the value, worked out
// from the format alone: every distinct object once (equal values shared,
// keys with texts), a marker byte and, from 15 elements on, a count in the
// fewest bytes; integers in the fewest bytes, negative ones in eight; reals
// and dates in eight; texts as ASCII or else as UTF-16 units. References
// must number the objects, offsets must reach the last object laid out, at
// best the largest one. The values given hold no null, no NUL and only
// valid UTF-8.
std::size_t smallestBinarySize(const Value& root) {
    struct Object {
        std::size_t bytes = 0;       // besides the references
        std::size_t references = 0;  // held by a container
    };
    std::map<std::string, std::size_t> numbers;  // object as a text: its number
    std::vector<Object> objects;
    const auto counted = [](std::uint64_t count) { return count < 15 ? std::size_t{1} : 2 + bytesFor(count); };
    const auto text = [&](const std::string& value) {
        std::size_t units = 0;
        bool ascii = true;
        for (std::size_t i = 0; i < value.size(); ++i) {
            const auto byte = static_cast<unsigned char>(value[i]);
            ascii = ascii && byte < 0x80;
            if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;  // beyond U+FFFF: a pair
        }
        return ascii ? counted(value.size()) + value.size() : counted(units) + 2 * units;
    };
    std::function<std::string(const Value&)> number = [&](const Value& value) {
        std::string form;
        Object object;
        switch (value.kind()) {
            case Value::Kind::Bool:
                form = value.boolValue() ? "yes" : "no";
                object.bytes = 1;
                break;
            case Value::Kind::Int: {
                const long long n = value.intValue();
                form = "int " + std::to_string(n);
                object.bytes = 1 + (n < 0 ? 8 : bytesFor(static_cast<std::uint64_t>(n)));
                break;
            }
            case Value::Kind::Real:
                form = "real " + std::to_string(std::bit_cast<std::uint64_t>(value.realValue()));
                object.bytes = 9;
                break;
            case Value::Kind::Date:
                form = "date " + std::to_string(std::bit_cast<std::uint64_t>(value.asDate().secondsSince1970));
                object.bytes = 9;
                break;
            case Value::Kind::Data: {
                const auto& bytes = value.asData().bytes;
                form = "data " + std::string(bytes.begin(), bytes.end());
                object.bytes = counted(bytes.size()) + bytes.size();
                break;
            }
            case Value::Kind::String:
                form = "text " + value.asString();
                object.bytes = text(value.asString());
                break;
            case Value::Kind::Array:
                form = "array";
                for (const auto& item : value.asArray()) form += " " + number(item);
                object.bytes = counted(value.asArray().size());
                object.references = value.asArray().size();
                break;
            case Value::Kind::Dictionary:
                form = "dictionary";
                for (const auto& [key, item] : value.asDictionary()) form += " " + number(Value(key)) + ":" + number(item);
                object.bytes = counted(value.asDictionary().size());
                object.references = 2 * value.asDictionary().size();
                break;
            case Value::Kind::Null: FAIL("a null has no object of its own"); break;
        }
        const auto [at, added] = numbers.try_emplace(form, objects.size());
        if (added) objects.push_back(object);
        return std::to_string(at->second);
    };
    number(root);
    const std::size_t reference = bytesFor(objects.size() - 1);
    std::size_t total = 0, largest = 0;
    for (const auto& object : objects) {
        const std::size_t size = object.bytes + object.references * reference;
        total += size;
        largest = std::max(largest, size);
    }
    const std::size_t offset = bytesFor(8 + total - largest);
    return 8 + total + objects.size() * offset + 32;
}

// A history of calculations as the calculator page stores them: the inputs
// repeat, so most of an entry is shared with others.
Value history(std::size_t count) {
    return Value(Value::Dictionary{{"Calculations", testsupport::sampleHistory(count)}});
}

Value numbersFrom(long long first, std::size_t count) {
    Value::Array numbers;
    for (std::size_t i = 0; i < count; ++i) numbers.emplace_back(first + static_cast<long long>(i));
    return Value(std::move(numbers));
}

}  // namespace

TEST_CASE("the binary form is as small as the objects it holds allow, and other readers read it") {
    struct Case {
        std::string what;
        Value value;
    };
    const std::vector<Case> cases = {
        {"one number", Value(5)},
        {"255 numbers and their list: references of one byte", numbersFrom(1000, 255)},
        {"256 numbers and their list: references of two bytes", numbersFrom(1000, 256)},
        {"a thousand copies of one text: two objects", Value(Value::Array(1000, Value("again")))},
        {"equal lists and dictionaries written once",
         Value(Value::Array{Value::Dictionary{{"a", 1}}, Value::Dictionary{{"a", 1}}, Value::Array{"a"},
                            Value::Array{"a"}, Value::Array{}, Value::Array{}})},
        {"numbers of every width",
         Value(Value::Array{0, 255, 256, 65535, 65536, 4294967295LL, 4294967296LL, INT64_MAX, -1, INT64_MIN})},
        {"lengths of 14, 15, 255 and 256",
         Value(Value::Array{std::string(14, 'a'), std::string(15, 'b'), std::string(255, 'c'), std::string(256, 'd'),
                            platform::Data{std::vector<std::uint8_t>(15, 1)},
                            platform::Data{std::vector<std::uint8_t>(256, 2)},
                            "caf\xc3\xa9 with fifteen+", "\xf0\x9f\x98\x80\xf0\x9f\x98\x80 seven"})},
        // Laid out as written, the list would begin past offset 255.
        {"one large object among small ones",
         Value(Value::Array{platform::Data{std::vector<std::uint8_t>(240, 7)}, "a", "b", "c"})},
        {"every kind and width", everyWidth()},
        {"a history of 300 calculations", history(300)},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        const std::string bytes = platform::writePropertyListBinary(entry.value);
        CHECK(bytes.size() == smallestBinarySize(entry.value));
        const auto back = platform::parsePropertyList(bytes);
        REQUIRE(back);
        CHECK(*back == entry.value);
        plist_t root = nullptr;
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        CHECK(root);
        plist_free(root);
        if (platform::testing::pythonPlistlibInstalled()) {
            const auto again = platform::testing::throughPythonPlistlib(bytes);
            REQUIRE(again);
            CHECK(platform::parsePropertyList(*again) == entry.value);
        }
    }
    if (!platform::testing::pythonPlistlibInstalled()) MESSAGE(platform::testing::kNoPythonPlistlib);
}

// plistlib shares equal texts and numbers but no containers: ours holds no
// more than its own output.
TEST_CASE("a history of 10,000 calculations is no larger than Python's plistlib writes it") {
    if (!platform::testing::pythonPlistlibInstalled()) {
        MESSAGE(platform::testing::kNoPythonPlistlib);
        return;
    }
    const Value written = history(10000);
    const std::string bytes = platform::writePropertyListBinary(written);
    const auto again = platform::testing::throughPythonPlistlib(bytes);
    REQUIRE(again);
    CHECK(platform::parsePropertyList(*again) == written);
    CHECK(bytes.size() == smallestBinarySize(written));
    CHECK(bytes.size() <= again->size());
}

TEST_CASE("binary objects that other writers make read as the format means them") {
    const auto be = [](std::uint64_t value, int bytes) {
        std::string out;
        for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
        return out;
    };
    struct Case {
        std::string what;
        std::string bytes;
        const char* json;  // the value expected
    };
    const std::vector<Case> cases = {
        {"sixteen-byte integers keep their low eight bytes", binaryPlist({"\x14" + be(1, 8) + be(5, 8)}), "5"},
        {"a four-byte real", binaryPlist({"\x22" + be(0x3FA00000, 4)}), "1.25"},
        {"a set reads as a list", binaryPlist({"\xC1" + reference(1), ascii("x")}), R"(["x"])"},
        {"a UTF-16 pair", binaryPlist({"\x62" + be(0xD83DDE00, 4)}), "\"\xf0\x9f\x98\x80\""},
        {"a lone UTF-16 surrogate reads as U+FFFD", binaryPlist({"\x62" + be(0xD8000041, 4)}), "\"\xef\xbf\xbd" "A\""},
        // The pairs at the ends of both halves' ranges, and the units just
        // outside them.
        {"the first pair, U+10000", binaryPlist({"\x62" + be(0xD800DC00, 4)}), "\"\xf0\x90\x80\x80\""},
        {"a pair whose low half is the last, U+1F3FF", binaryPlist({"\x62" + be(0xD83CDFFF, 4)}), "\"\xf0\x9f\x8f\xbf\""},
        {"the last pair, U+10FFFF", binaryPlist({"\x62" + be(0xDBFFDFFF, 4)}), "\"\xf4\x8f\xbf\xbf\""},
        {"a high half before a unit past the low ones", binaryPlist({"\x62" + be(0xD800E000, 4)}),
         "\"\xef\xbf\xbd\xee\x80\x80\""},
        {"a high half before a unit below the low ones", binaryPlist({"\x62" + be(0xDBFFDBFF, 4)}),
         "\"\xef\xbf\xbd\xef\xbf\xbd\""},
        {"a low half alone", binaryPlist({"\x62" + be(0xDFFF0041, 4)}), "\"\xef\xbf\xbd" "A\""},
        {"the units beside the surrogates are letters of their own", binaryPlist({"\x62" + be(0xD7FFE000, 4)}),
         "\"\xed\x9f\xbf\xee\x80\x80\""},
        {"a key given twice keeps its last value",
         binaryPlist({"\xD2" + reference(1) + reference(1) + reference(2) + reference(3), ascii("k"), ascii("v"),
                      ascii("w")}),
         R"({"k":"w"})"},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        std::string why;
        const auto value = platform::parsePropertyList(entry.bytes, &why);
        REQUIRE_MESSAGE(value, why);
        CHECK(platform::writeJSON(*value) == entry.json);
    }
}
