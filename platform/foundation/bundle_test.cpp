#include <doctest/doctest.h>

#include <fstream>
#include <thread>

#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "testsupport/temp_dir.h"

namespace {
void write(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}
}  // namespace

TEST_CASE("string tables") {
    SUBCASE("entries, comments and escapes") {
        auto table = platform::parseStringsTable(
            "/* a comment */\n\"title\" = \"Given values\";\n// line comment\n"
            "\"quote\" = \"say \\\"hi\\\"\\n\";\nbare = \"ok\";");
        REQUIRE(table);
        CHECK(table->at("title") == "Given values");
        CHECK(table->at("quote") == "say \"hi\"\n");
        CHECK(table->at("bare") == "ok");
    }
    SUBCASE("malformed tables are refused") {
        CHECK_FALSE(platform::parseStringsTable("\"a\" = \"b\""));
        CHECK_FALSE(platform::parseStringsTable("\"a\" \"b\";"));
        CHECK_FALSE(platform::parseStringsTable("/* open"));
        CHECK_FALSE(platform::parseStringsTable("\"a\" = \"unterminated;"));
    }
}

TEST_CASE("a bundle finds its resources, info and translations") {
    testsupport::TempDir dir;
    write(dir / "en.lproj/Localizable.strings", "\"hello\" = \"Hello\";\n\"percent\" = \"100 %\";");
    write(dir / "de.lproj/Localizable.strings", "\"hello\" = \"Hallo\";");
    write(dir / "table.json", R"({"rows": [1, 2, 3]})");
    write(dir / "Info.plist", platform::writePropertyListXML(platform::Value(platform::Value::Dictionary{
                                  {"CFBundleIdentifier", "com.example.velmora"}, {"Flag", true}})));
    platform::Bundle bundle(dir.path());

    SUBCASE("translations fall back to the given value, then the key") {
        CHECK(bundle.localizedString("hello") == "Hello");
        CHECK(bundle.localizedString("percent") == "100 %");
        CHECK(bundle.localizedString("missing") == "missing");
        CHECK(bundle.localizedString("missing", "Default") == "Default");
        bundle.setLanguage("de");
        CHECK(bundle.localizedString("hello") == "Hallo");
        bundle.setLanguage("fr");
        CHECK(bundle.localizedString("hello") == "hello");
    }
    SUBCASE("one thread may change the language while another reads") {
        std::thread reader([&] {
            for (int i = 0; i < 200; ++i) {
                const std::string language = bundle.language();
                CHECK((language == "en" || language == "de"));
                CHECK(bundle.resourcePath() == dir.path());
            }
        });
        for (int i = 0; i < 200; ++i) bundle.setLanguage(i % 2 ? "en" : "de");
        reader.join();
    }
    SUBCASE("resources") {
        auto json = bundle.jsonResource("table");
        REQUIRE(json);
        CHECK((*json)["rows"].asArray().size() == 3);
        CHECK_FALSE(bundle.jsonResource("absent"));
        CHECK(bundle.pathForResource("table", "json"));
        CHECK_FALSE(bundle.pathForResource("table", "plist"));
    }
    SUBCASE("the languages it holds texts in: its language folders, not other files") {
        write(dir / "fr.lproj.txt", "not a folder");
        write(dir / "notes.lproj", "a file named like a folder");
        CHECK(bundle.localizations() == std::vector<std::string>{"de", "en"});
        CHECK(platform::Bundle(dir / "nowhere").localizations().empty());
    }
    SUBCASE("info dictionary") {
        CHECK(bundle.bundleIdentifier() == "com.example.velmora");
        CHECK(bundle.objectForInfoDictionaryKey("Flag").boolValue());
        CHECK(bundle.objectForInfoDictionaryKey("Absent").isNull());
        platform::Bundle empty(dir / "nowhere");
        CHECK(empty.infoDictionary().isDictionary());
        CHECK(empty.bundleIdentifier().empty());
    }
}
