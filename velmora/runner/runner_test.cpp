// Tests of the runner's parts: command lines, durations, value texts, the command table and the screen as text.
#include <doctest/doctest.h>

#include "platform/frameworks/material/buttons.h"
#include "platform/ui/label.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/table_view.h"
#include "platform/ui/text_field.h"
#include "velmora/runner/runner_commands.h"
#include "velmora/runner/screen_text.h"
#include "velmora/runner/value_text.h"

using namespace velmora::runner;
using platform::Value;

TEST_CASE("command lines split into words, quotes grouping") {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"tap Next", {"tap", "Next"}},
        {"  row   0  1 ", {"row", "0", "1"}},
        {"tap \"Rate this app\"", {"tap", "Rate this app"}},
        {"alert \"\"", {"alert", ""}},
        {"tap \"open quote runs on", {"tap", "open quote runs on"}},
        {"key\t2", {"key", "2"}},
        {"", {}},
    };
    for (const auto& [line, words] : cases) {
        CAPTURE(line);
        CHECK(splitWords(line) == words);
    }
}

TEST_CASE("durations for the clock") {
    const std::vector<std::pair<std::string, std::optional<double>>> cases = {
        {"+5s", 5},      {"+2m", 120},        {"+1h", 3600},      {"+500ms", 0.5},
        {"+1.5", 1.5},   {"+.25s", 0.25},     {"+0", 0},          {" +3s ", 3},
        {"5s", std::nullopt},   {"+", std::nullopt},    {"+s", std::nullopt},  {"-5s", std::nullopt},
        {"+-5s", std::nullopt}, {"+5x", std::nullopt},  {"+5 s", std::nullopt}, {"+inf", std::nullopt},
        {"+nan", std::nullopt}, {"+1e400", std::nullopt}, {"+1e308h", std::nullopt},
    };
    for (const auto& [text, seconds] : cases) {
        CAPTURE(text);
        auto parsed = parseDuration(text);
        REQUIRE(parsed.has_value() == seconds.has_value());
        if (seconds) CHECK(*parsed == doctest::Approx(*seconds));
    }
}

TEST_CASE("values as short text") {
    const std::string longText(70, 'a');
    const std::string umlauts = std::string(59, 'a') + "\xC3\xA4\xC3\xA4";  // the cut falls inside the first "ä"
    const std::vector<std::pair<Value, std::string>> cases = {
        {Value("kuvo"), "\"kuvo\""},
        {Value(true), "true"},
        {Value(std::int64_t{27}), "27"},
        {Value(), "null"},
        {Value(platform::Date{1700000000}), "2023-11-14 22:13:20 UTC"},
        {Value(platform::Data{{1, 2, 3}}), "<3 bytes>"},
        {Value(longText), "\"" + std::string(60, 'a') + "...\""},
        {Value(umlauts), "\"" + std::string(59, 'a') + "...\""},
        {Value(Value::Array{}), "[]"},
        {Value(Value::Array{1, 2}), "[1, 2]"},
        {Value(Value::Array{1, 2, 3, 4}), "[4 entries]"},
        {Value(Value::Dictionary{{"b", 2}, {"a", "x"}}), "{a: \"x\", b: 2}"},
        {Value(Value::Dictionary{{"a", Value::Dictionary{{"b", Value::Dictionary{{"c", Value::Dictionary{{"d", 1}}}}}}}}),
         "{a: {b: {c: {1 entry}}}}"},
    };
    for (const auto& [value, text] : cases) {
        CAPTURE(text);
        CHECK(valueText(value) == text);
    }
}

TEST_CASE("the command table: built-in commands, added and replaced ones, the help") {
    CommandTable table;
    for (const char* name : {"help", "screen", "tap", "row", "key", "focus", "menu", "alert", "wait", "clock", "activate",
                             "background", "foreground", "events", "defaults", "opened", "quit"}) {
        CAPTURE(name);
        CHECK(table.find(name) != nullptr);
    }
    CHECK(table.find("snapshot") == nullptr);
    const std::size_t before = table.commands().size();
    table.add({"snapshot", "FILE.png", "draw the screen into a picture", {}});
    CHECK(table.commands().size() == before + 1);
    table.add({"screen", "", "a replacement", {}});
    CHECK(table.commands().size() == before + 1);
    CHECK(table.find("screen")->help == "a replacement");
    const std::string help = table.help();
    CHECK(help.find("  snapshot FILE.png") != std::string::npos);
    CHECK(help.find("a replacement") != std::string::npos);
    CHECK(help.find("  row S R ") != std::string::npos);
}

namespace {

struct Rows : platform::ui::TableViewDataSource {
    int numberOfSections(platform::ui::TableView&) override { return 2; }
    int numberOfRows(platform::ui::TableView&, int section) override { return section == 0 ? 2 : 30; }
    std::shared_ptr<platform::ui::TableViewCell> cellForRow(platform::ui::TableView&, platform::ui::IndexPath path) override {
        auto cell = std::make_shared<platform::ui::TableViewCell>();
        cell->textLabel()->setText("row " + std::to_string(path.section) + "." + std::to_string(path.row));
        return cell;
    }
};

}  // namespace

TEST_CASE("the screen as text") {
    auto root = std::make_shared<platform::ui::View>(platform::gfx::Rect(0, 0, 390, 844));
    auto bottom = std::make_shared<platform::ui::Label>(platform::gfx::Rect(0, 700, 390, 20));
    bottom->setText("below\nall");
    auto top = std::make_shared<platform::ui::Label>(platform::gfx::Rect(0, 10, 390, 20));
    top->setText("  first  ");
    auto hidden = std::make_shared<platform::ui::Label>(platform::gfx::Rect(0, 20, 390, 20));
    hidden->setText("hidden");
    hidden->setHidden(true);
    auto field = std::make_shared<platform::ui::TextField>(platform::gfx::Rect(0, 40, 100, 30));
    field->setAccessibilityIdentifier("kTextField");
    field->setPlaceholder("k");
    auto keys = std::make_shared<platform::ui::StackView>();
    keys->setFrame({0, 80, 390, 40});
    keys->setAxis(platform::ui::LayoutAxis::horizontal);
    for (const char* title : {"7", "8"}) keys->addArrangedSubview(std::make_shared<platform::material::FlatButton>(title, std::nullopt));
    auto off = std::make_shared<platform::material::FlatButton>("off", std::nullopt);
    off->setEnabled(false);
    keys->addArrangedSubview(off);
    auto rows = std::make_shared<Rows>();
    auto table = std::make_shared<platform::ui::TableView>(platform::gfx::Rect(0, 130, 390, 200));
    table->setDataSource(rows);
    for (const auto& view : std::vector<std::shared_ptr<platform::ui::View>>{bottom, top, hidden, field, keys, table}) {
        root->addSubview(view);
    }
    root->layoutIfNeeded();
    table->layoutIfNeeded();
    const auto visible = table->indexPathsForVisibleRows();
    REQUIRE_FALSE(visible.empty());
    const int shownOfSecond = static_cast<int>(std::count_if(visible.begin(), visible.end(), [](auto& p) { return p.section == 1; }));
    std::string expected = "\"first\"\n"
                           "kTextField: \"\" (placeholder \"k\")\n"
                           "[7] [8] [off] (disabled)\n"
                           "table\n"
                           "  section 0\n"
                           "    0.0 \"row 0.0\"\n"
                           "    0.1 \"row 0.1\"\n"
                           "  section 1\n";
    for (int row = 0; row < shownOfSecond; ++row) {
        expected += "    1." + std::to_string(row) + " \"row 1." + std::to_string(row) + "\"\n";
    }
    expected += "    (" + std::to_string(30 - shownOfSecond) + " rows out of sight)\n";
    expected += "\"below all\"\n";
    CHECK(describeView(*root) == expected);
}
