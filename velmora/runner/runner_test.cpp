// Tests of the runner's parts: command lines, durations, value texts, the command table and the screen as text.
#include <doctest/doctest.h>

#include <cairo.h>

#include <cmath>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/foundation/bundle.h"
#include "platform/frameworks/material/buttons.h"
#include "platform/frameworks/star_rating/star_rating_view.h"
#include "platform/gfx/image.h"
#include "platform/dispatch/timer.h"
#include "platform/frameworks/onboarding/onboard_view_controller.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/table_view.h"
#include "platform/ui/text_field.h"
#include "testsupport/file_text.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/temp_dir.h"
#include "velmora/runner/app_session.h"
#include "velmora/runner/cover.h"
#include "velmora/runner/runner.h"
#include "velmora/runner/runner_commands.h"
#include "velmora/runner/screen_text.h"
#include "velmora/runner/value_text.h"
#include "velmora/screens/calc_manager.h"
#include "velmora/shell/view_manager.h"

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
    for (const auto& row : cases) {
        const auto& line = row.first;
        const auto& words = row.second;
        CAPTURE(line);
        CHECK(splitWords(line) == words);
    }
}

TEST_CASE("a # that begins a word outside quotes starts a note; within a word or quotes it is text") {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"alert Accept            # the consent alert", "alert Accept            "},
        {"# a line of its own", ""},
        {"tap Next\t# after a tab", "tap Next\t"},
        {"open bern://open#top # a note", "open bern://open#top "},
        {"tap \"No. #3\" # after quotes", "tap \"No. #3\" "},
        {"tap \"open # quote", "tap \"open # quote"},
    };
    for (const auto& row : cases) {
        const std::string& line = row.first;
        CAPTURE(line);
        CHECK(withoutNote(line) == row.second);
    }
}

TEST_CASE("durations for the clock") {
    const std::vector<std::pair<std::string, std::optional<double>>> cases = {
        {"+5s", 5},      {"+2m", 120},        {"+1h", 3600},      {"+500ms", 0.5},  {"+2d", 172800},
        {"+1.5", 1.5},   {"+.25s", 0.25},     {"+0", 0},          {" +3s ", 3},
        {"5s", std::nullopt},   {"+", std::nullopt},    {"+s", std::nullopt},  {"-5s", std::nullopt},
        {"+-5s", std::nullopt}, {"+5x", std::nullopt},  {"+5 s", std::nullopt}, {"+inf", std::nullopt},
        {"+nan", std::nullopt}, {"+1e400", std::nullopt}, {"+1e308h", std::nullopt},
    };
    for (const auto& row : cases) {
        const std::string& text = row.first;
        const std::optional<double>& seconds = row.second;
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
    for (const auto& row : cases) {
        const Value& value = row.first;
        const std::string& text = row.second;
        CAPTURE(text);
        CHECK(valueText(value) == text);
    }
}

TEST_CASE("the command table: built-in commands, added and replaced ones, the help") {
    CommandTable table;
    for (const char* name : {"help", "screen", "snapshot", "tap", "row", "swipe", "drag", "pan", "key", "focus", "menu",
                             "alert", "wait", "clock", "activate", "background", "foreground", "events", "defaults",
                             "opened", "quit"}) {
        CAPTURE(name);
        CHECK(table.find(name) != nullptr);
    }
    CHECK(table.find("record") == nullptr);
    const std::size_t before = table.commands().size();
    table.add({"record", "FILE", "write the session's commands into a file", {}});
    CHECK(table.commands().size() == before + 1);
    table.add({"screen", "", "a replacement", {}});
    CHECK(table.commands().size() == before + 1);
    CHECK(table.find("screen")->help == "a replacement");
    const std::string help = table.help();
    CHECK(help.find("  record FILE") != std::string::npos);
    CHECK(help.find("  snapshot FILE.png [--scale S] ") != std::string::npos);
    CHECK(help.find("a replacement") != std::string::npos);
    CHECK(help.find("  row S R ") != std::string::npos);
}

namespace {

// Nothing leaves the machine: no service is set, and the connection test
// fails at once.
void offlineOptions(platform::LaunchOptions& o) {
    o.connectionProbeURL = "http://127.0.0.1:9/";
    o.measurementServiceURL.reset();
    o.remoteConfigSource.reset();
}

// A session launched offline on a data folder of its own, at the screen
// size given (the default one otherwise).
struct LaunchedSession {
    explicit LaunchedSession(std::optional<platform::gfx::Size> screen = std::nullopt) {
        // Each session's calculations in its own preferences: the store of
        // an earlier one would write into its folder, gone with it.
        velmora::CalcManager::resetShared();
        SessionOptions options;
        options.dataDirectory = folder / "data";
        if (screen) options.screenSize = *screen;
        session.emplace(options);
        session->launch();
    }
    ~LaunchedSession() {
        session.reset();
        velmora::CalcManager::resetShared();
    }
    LaunchedSession(const LaunchedSession&) = delete;
    LaunchedSession& operator=(const LaunchedSession&) = delete;

    testsupport::ScopedLaunchOptions offline{offlineOptions};
    testsupport::TempDir folder;
    std::optional<AppSession> session;
};

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

TEST_CASE("the screen lists the rows in sight of the window, though the table holds cells past its edge") {
    platform::dispatch::ManualTime time;
    platform::ui::Application::shared().reset();
    // The table reaches past the window's bottom edge: it makes cells for
    // rows a person cannot see.
    auto window = std::make_shared<platform::ui::Window>(platform::gfx::Rect(0, 0, 320, 200));
    auto root = std::make_shared<platform::ui::ViewController>();
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    auto rows = std::make_shared<Rows>();
    auto table = std::make_shared<platform::ui::TableView>(platform::gfx::Rect(0, 0, 320, 400));
    table->setRowHeight(50);
    table->setDataSource(rows);
    root->view()->addSubview(table);
    // At 49.5 the first row shows a sliver of half a point: nothing a person sees.
    for (const double offset : {0.0, 49.5}) {
        CAPTURE(offset);
        table->setContentOffset({0, offset}, false);
        window->layoutIfNeeded();
        const std::string text = describeScreen(*window);
        CAPTURE(text);
        // A row is listed when the window shows a point of it, by the table's geometry.
        int cellsPastTheEdge = 0;
        for (int section = 0; section < 2; ++section) {
            for (int row = 0; row < rows->numberOfRows(*table, section); ++row) {
                const auto rect = table->convertRect(table->rectForRow({section, row}), nullptr);
                const bool seen = rect.intersection(window->bounds()).height() >= 1;
                if (!seen && table->cellForRow({section, row})) ++cellsPastTheEdge;
                const std::string label = "\n      " + std::to_string(section) + "." + std::to_string(row);
                const bool listed = text.find(label + " ") != std::string::npos || text.find(label + "\n") != std::string::npos;
                CHECK(listed == seen);
            }
        }
        CHECK(cellsPastTheEdge > 2);
    }
    window->setRootViewController(nullptr);
    time.settle();
    platform::ui::Application::shared().reset();
}

TEST_CASE("the screen names what a finger can reach: scroll views larger inside, stars, image buttons, edit mode") {
    auto root = std::make_shared<platform::ui::View>(platform::gfx::Rect(0, 0, 390, 844));
    auto wide = std::make_shared<platform::ui::ScrollView>(platform::gfx::Rect(0, 0, 300, 200));
    wide->setContentSize({1256, 440});
    wide->setContentOffset({400.4, 12});
    auto fitting = std::make_shared<platform::ui::ScrollView>(platform::gfx::Rect(0, 210, 300, 50));
    fitting->setContentSize({300, 50});
    auto stars = std::make_shared<platform::rating::StarRatingView>(platform::gfx::Rect(0, 300, 200, 40));
    stars->settings().totalStars = 3;
    stars->setRating(1.5);
    auto clear = std::make_shared<platform::ui::Button>(platform::gfx::Rect(0, 350, 40, 40));
    clear->setImage(platform::gfx::Image({24, 24}, 1, {}, "ic_clear"));
    auto rows = std::make_shared<Rows>();
    auto table = std::make_shared<platform::ui::TableView>(platform::gfx::Rect(0, 400, 390, 50));
    table->setDataSource(rows);
    table->setEditing(true, false);
    for (const auto& view : std::vector<std::shared_ptr<platform::ui::View>>{wide, fitting, stars, clear, table}) {
        root->addSubview(view);
    }
    root->layoutIfNeeded();
    table->layoutIfNeeded();
    const std::string text = describeView(*root);
    CAPTURE(text);
    CHECK(text.rfind("scroll view at 400,12 of 1256x440 (300x200 shown)\n"
                     "stars: 1.5 of 3 [star 1] [star 2] [star 3]\n"
                     "[ic_clear]\n"
                     "table (editing)\n",
                     0) == 0);
    CHECK(buttonName(*clear) == "ic_clear");

    const std::vector<std::pair<std::string, std::optional<int>>> names = {
        {"star 1", 1}, {"star 12", 12}, {"star 0", 0}, {"star", std::nullopt}, {"star ", std::nullopt},
        {"star x", std::nullopt}, {"star -1", std::nullopt}, {"star 1000", std::nullopt}, {"Star 1", std::nullopt},
        {"star 1 ", std::nullopt},
    };
    for (const auto& row : names) {
        const std::string& name = row.first;
        const std::optional<int>& number = row.second;
        CAPTURE(name);
        CHECK(starNumber(name) == number);
        if (number) CHECK(starName(*number) == name);
    }
}

namespace {

// The pixel size of a PNG file as the drawing library's own reader sees it;
// none when it cannot read the file.
std::optional<std::pair<int, int>> pngSize(const std::filesystem::path& file) {
    cairo_surface_t* surface = cairo_image_surface_create_from_png(file.c_str());
    std::optional<std::pair<int, int>> size;
    if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
        size = std::pair{cairo_image_surface_get_width(surface), cairo_image_surface_get_height(surface)};
    }
    cairo_surface_destroy(surface);
    return size;
}

}  // namespace

TEST_CASE("asked for a language its bundle has no texts in, the application says which it holds") {
    // The application's own bundle holds English texts alone.
    REQUIRE(platform::Bundle::main().localizations() == std::vector<std::string>{"en"});
    const std::vector<std::pair<std::string, bool>> cases{
        {"", false}, {"en", false}, {"en_US", false}, {"en-GB", false}, {"EN", false},
        {"de", true}, {"de_DE", true}, {"fr-FR", true}, {"zh-Hans_CN", true},
    };
    for (const auto& row : cases) {
        const std::string& identifier = row.first;
        const bool told = row.second;
        CAPTURE(identifier);
        auto notice = languageNotice(identifier);
        REQUIRE(notice.has_value() == told);
        if (!told) continue;
        const std::string language = identifier.substr(0, identifier.find_first_of("_-"));
        CHECK(notice->find("\"" + language + "\"") != std::string::npos);
        CHECK(notice->find("holds: en)") != std::string::npos);
        CHECK(notice->find("English") != std::string::npos);
    }
}

TEST_CASE("snapshot draws the screen into a PNG, refuses what it cannot do, and the session goes on") {
    LaunchedSession launched(platform::gfx::Size{320, 568});
    const auto& folder = launched.folder;
    std::ostringstream out;
    Runner runner(*launched.session, CommandTable(), out);
    const double screenScale = platform::ui::Screen::main().scale();
    std::filesystem::create_directory(folder / "folder.png");

    struct Case {
        std::string arguments;
        std::string file;           // relative to the folder; empty: none is written
        double scale;               // of a written picture
        std::string message;        // the start of what is printed
    };
    const std::vector<Case> cases{
        {"plain.png", "plain.png", screenScale, "wrote "},
        {"half.PNG --scale 1.5", "half.PNG", 1.5, "wrote "},
        {"--scale 3 first-scale.png", "first-scale.png", 3, "wrote "},
        // As the tool takes an option's value after "=".
        {"joined.png --scale=2", "joined.png", 2, "wrote "},
        {"screen.png --scale=", "", 0, "--scale takes a number"},
        {"screen.png --scale=2 --scale 2", "", 0, "--scale is given more than once"},
        {"new/folder/screen.png", "new/folder/screen.png", screenScale, "wrote "},
        {"plain.png/inside.png", "", 0, "no snapshot written: cannot write "},
        {"folder.png", "", 0, "no snapshot written: cannot replace "},
        {"screen.jpg", "", 0, "the snapshot is a PNG picture"},
        {"screen.png --scale 0", "", 0, "--scale takes a number"},
        {"screen.png --scale -2", "", 0, "--scale takes a number"},
        {"screen.png --scale 2x", "", 0, "--scale takes a number"},
        {"screen.png --scale nan", "", 0, "--scale takes a number"},
        {"screen.png --scale 11", "", 0, "--scale takes a number"},
        {"screen.png --scale", "", 0, "--scale takes a number"},
        // Which of two scales was meant cannot be told.
        {"screen.png --scale 1 --scale 2", "", 0, "--scale is given more than once: give it once"},
        {"--scale 2 screen.png --scale 2", "", 0, "--scale is given more than once"},
        {"", "", 0, "give a file"},
        {"one.png two.png", "", 0, "give a file"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.arguments);
        out.str("");
        const int failuresBefore = runner.failures();
        // File names go into the folder; the scale and its value stay as given.
        std::string line = "snapshot";
        std::string previous;
        for (const auto& word : splitWords(c.arguments)) {
            const bool path = word.rfind("--", 0) != 0 && previous != "--scale";
            line += " " + (path ? "\"" + (folder / word).string() + "\"" : word);
            previous = word;
        }
        CHECK(runner.execute(line));
        CHECK(out.str().rfind(c.message, 0) == 0);
        CHECK(runner.failures() == failuresBefore + (c.file.empty() ? 1 : 0));
        if (c.file.empty()) continue;
        const auto size = pngSize(folder / c.file);
        REQUIRE(size);
        CHECK(size->first == static_cast<int>(std::ceil(320 * c.scale)));
        CHECK(size->second == static_cast<int>(std::ceil(568 * c.scale)));
        CHECK(out.str().find(std::to_string(size->first) + "x" + std::to_string(size->second) + " pixels") !=
              std::string::npos);
    }
    CHECK(std::filesystem::is_directory(folder / "folder.png"));
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        CHECK(entry.path().filename().string().find(".tmp-") == std::string::npos);  // no half-written picture left
    }
    CHECK_FALSE(std::filesystem::exists(folder / "screen.png"));
    CHECK_FALSE(std::filesystem::exists(folder / "screen.jpg"));
    // The session is still there to drive.
    out.str("");
    CHECK(runner.execute("screen"));
    CHECK_FALSE(out.str().empty());
    runner.execute("quit");
}

namespace {

// A session on a data folder whose saved clock holds these bytes; not
// launched: the clock is the session's own.
struct SessionOnClock {
    explicit SessionOnClock(const std::string& saved) {
        std::filesystem::create_directories(folder / "data");
        std::ofstream(folder / "data" / "runner_clock") << saved;
        SessionOptions options;
        options.dataDirectory = folder / "data";
        session.emplace(options);
    }
    // Nothing leaves the machine: the connection test fails at once.
    testsupport::ScopedLaunchOptions offline{
        [](platform::LaunchOptions& o) { o.connectionProbeURL = "http://127.0.0.1:9/"; }};
    testsupport::TempDir folder;
    std::optional<AppSession> session;
};

}  // namespace

TEST_CASE("the clock moves no further than it can hold, nor further than a command may, in one step") {
    const std::string beyond = "the clock goes no further than 9999-12-31 23:59:59 UTC\n";
    const std::string tooLong = "the clock moves at most 366 days (+366d) at a time";
    struct Case {
        std::string line;
        std::string printed;  // the start of it
        double now;
    };
    const auto play = [](const std::string& saved, const std::vector<Case>& cases) {
        SessionOnClock on(saved);
        std::ostringstream out;
        Runner runner(*on.session, CommandTable(), out);
        for (const auto& c : cases) {
            CAPTURE(c.line);
            out.str("");
            runner.execute(c.line);
            CHECK(out.str().rfind(c.printed, 0) == 0);
            CHECK(on.session->now() == c.now);
        }
    };
    constexpr double kStart = AppSession::latestClock - 3600;
    play(std::to_string(static_cast<long long>(kStart)),
         {
             {"clock +1e300s", beyond, kStart},
             {"clock +9223372036854775807ms", beyond, kStart},
             {"clock +8760000h", beyond, kStart},
             {"clock +3601s", beyond, kStart},
             {"clock +1800s", "clock: 9999-12-31 23:29:59 UTC\n", kStart + 1800},
             {"clock +1800s", "clock: 9999-12-31 23:59:59 UTC\n", AppSession::latestClock},
             {"clock +1ms", beyond, AppSession::latestClock},
             {"clock +0s", "clock: 9999-12-31 23:59:59 UTC\n", AppSession::latestClock},
         });
    play("1700000000", {
                           {"clock +8760000h", tooLong, 1700000000},
                           {"clock +8784.5h", tooLong, 1700000000},
                           {"clock +367d", tooLong, 1700000000},
                           {"clock +31622401s", tooLong, 1700000000},
                           {"clock +90m", "clock: 2023-11-14 23:43:20 UTC\n", 1700005400},
                       });
}

TEST_CASE("a saved clock that holds no time the clock can show, or is no file, is ignored with a message") {
    const std::string ignored = "is ignored (it holds no time from 1970 to 9999-12-31 23:59:59 UTC): the clock starts at "
                                "2023-11-14 22:13:20 UTC";
    const struct {
        std::string saved;
        double now;
        std::string notice;  // a part of it; empty: none
    } cases[] = {
        {"1800000000.25\n", 1800000000.25, ""},
        {"  253402300801\n", 253402300801, ""},  // the latest moment and quit's grace
        {"1e308", 1700000000, ignored},
        {"nan", 1700000000, ignored},
        {"-inf", 1700000000, ignored},
        {"-5", 1700000000, ignored},
        {"0", 1700000000, ignored},
        {"253402300802", 1700000000, ignored},
        {"1800000000 and more", 1700000000, ignored},
        {"garbage", 1700000000, ignored},
        {"", 1700000000, ignored},
        {std::string(100, '1'), 1700000000, ignored},
    };
    for (const auto& c : cases) {
        CAPTURE(c.saved);
        SessionOnClock on(c.saved);
        CHECK(on.session->now() == c.now);
        const auto notices = on.session->takeNotices();
        REQUIRE(notices.size() == (c.notice.empty() ? 0u : 1u));
        if (!c.notice.empty()) CHECK(notices[0].find(c.notice) != std::string::npos);
    }

    // In place of the file, a fifo that nobody writes, a folder, and a link
    // to another file that holds a time.
    testsupport::TempDir folder;
    const auto data = folder / "data";
    const auto outside = folder / "outside";
    std::filesystem::create_directories(data);
    enum class Kind { fifo, folder, link };
    for (const Kind kind : {Kind::fifo, Kind::folder, Kind::link}) {
        CAPTURE(static_cast<int>(kind));
        const bool fifo = kind != Kind::folder;
        const auto file = data / "runner_clock";
        std::filesystem::remove_all(file);
        std::ofstream(outside) << "1800000000\n";
        bool made = true;
        if (kind == Kind::fifo) made = ::mkfifo(file.c_str(), 0644) == 0;
        if (kind == Kind::folder) made = std::filesystem::create_directory(file);
        if (kind == Kind::link) std::filesystem::create_symlink(outside, file);
        REQUIRE(made);
        SessionOptions options;
        options.dataDirectory = data;
        AppSession session(options);
        CHECK(session.now() == 1700000000);
        auto notices = session.takeNotices();
        REQUIRE(notices.size() == 1);
        CHECK(notices[0].find(kind == Kind::link ? "is ignored (it is a link, which is not followed)"
                                                 : "is ignored (it is not a regular file)") != std::string::npos);
        session.advanceClock(60);
        session.quit();
        notices = session.takeNotices();
        CHECK(testsupport::readText(outside) == "1800000000\n");
        if (fifo) {
            // Saved over it, for the next run to go on from.
            CHECK(notices.empty());
            std::ifstream saved(file);
            double seconds = 0;
            CHECK(static_cast<bool>(saved >> seconds));
            CHECK(seconds == 1700000000 + 60 + AppSession::quitGraceSeconds);
        } else {
            REQUIRE(notices.size() == 1);
            CHECK(notices[0].rfind("the clock is not saved for the next run: ", 0) == 0);
            CHECK(std::filesystem::is_directory(file));
        }
    }
}

TEST_CASE("the clock's write removes what a session killed before its rename left, and follows no link planted there") {
    SessionOnClock on("1700000000\n");
    const auto data = on.folder / "data";
    // As a session killed with SIGKILL while it wrote its clock leaves it:
    // its process is gone.
    const pid_t ended = ::fork();
    REQUIRE(ended >= 0);
    if (ended == 0) ::_exit(0);
    REQUIRE(::waitpid(ended, nullptr, 0) == ended);
    const auto abandoned = data / ("runner_clock.tmp-" + std::to_string(ended) + "-0");
    std::ofstream(abandoned) << "17000";
    // A link at a name this process's write could take, to a file outside.
    const auto outside = on.folder / "outside";
    std::ofstream(outside) << "another program's";
    const auto planted = data / ("runner_clock.tmp-" + std::to_string(::getpid()) + "-0");
    std::filesystem::create_symlink(outside, planted);
    on.session->advanceClock(60);
    on.session->quit();
    CHECK(on.session->takeNotices().empty());
    CHECK_FALSE(std::filesystem::exists(std::filesystem::symlink_status(abandoned)));
    CHECK_FALSE(std::filesystem::exists(std::filesystem::symlink_status(planted)));
    std::ifstream saved(data / "runner_clock"), other(outside);
    double seconds = 0;
    CHECK(static_cast<bool>(saved >> seconds));
    CHECK(seconds == 1700000000 + 60 + AppSession::quitGraceSeconds);
    std::string text;
    std::getline(other, text);
    CHECK(text == "another program's");
}

TEST_CASE("what covers a view is named as a person sees it, never by a class") {
    platform::dispatch::ManualTime time;
    const std::string longMessage = "A message that goes on and on, far longer than anyone would read in one line of "
                                    "a refusal";
    struct Case {
        std::string what;
        std::function<std::shared_ptr<platform::ui::ViewController>()> make;
        std::string name;
    };
    using platform::ui::AlertController;
    constexpr auto alertStyle = platform::ui::AlertControllerStyle::alert;
    const std::vector<Case> cases{
        {"an alert by its title", [] { return AlertController::make("Clear History", "Gone for good?", alertStyle); },
         "the alert \"Clear History\""},
        {"an alert without a title, by its message's beginning",
         [&] { return AlertController::make(std::nullopt, longMessage, alertStyle); },
         "the alert \"" + longMessage.substr(0, 57) + "...\""},
        {"an alert with nothing to read", [] { return AlertController::make("  ", std::nullopt, alertStyle); },
         "an alert without a title"},
        {"the share sheet",
         [] {
             return std::make_shared<platform::ui::ActivityViewController>(
                 std::vector<platform::ui::ActivityItem>{std::string("x")});
         },
         "the share sheet"},
        {"the introduction",
         [] {
             return std::make_shared<platform::onboard::OnboardViewController>(
                 std::vector<platform::onboard::OnboardPage>{});
         },
         "the introduction"},
        {"a page by its title",
         [] {
             auto page = std::make_shared<platform::ui::ViewController>();
             page->setTitle("Settings");
             return page;
         },
         "the page \"Settings\""},
        {"a page without a title", [] { return std::make_shared<platform::ui::ViewController>(); },
         "the page presented over it"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.what);
        platform::ui::Application::shared().reset();
        auto window = std::make_shared<platform::ui::Window>(platform::gfx::Rect(0, 0, 320, 568));
        auto root = std::make_shared<platform::ui::ViewController>();
        window->setRootViewController(root);
        window->makeKeyAndVisible();
        auto button = std::make_shared<platform::ui::Button>(platform::gfx::Rect(20, 200, 100, 44));
        root->view()->addSubview(button);
        CHECK_FALSE(coverOf(*button));
        auto presented = c.make();
        root->present(presented, false);
        time.settle();
        REQUIRE(window->topViewController() == presented);
        auto cover = coverOf(*button);
        REQUIRE(cover);
        CHECK(cover->kind == CoverKind::presented);
        CHECK(cover->name == c.name);
        // What the presented page holds itself is in reach.
        if (auto own = platform::ui::findFirst<platform::ui::Button>(*presented->view())) CHECK_FALSE(coverOf(*own));
        window->setRootViewController(nullptr);
        time.settle();
    }
    {
        // The loading overlay, here over the middle of the window only.
        platform::ui::Application::shared().reset();
        auto window = std::make_shared<platform::ui::Window>(platform::gfx::Rect(0, 0, 320, 568));
        auto root = std::make_shared<platform::ui::ViewController>();
        window->setRootViewController(root);
        window->makeKeyAndVisible();
        auto under = std::make_shared<platform::ui::Button>(platform::gfx::Rect(20, 200, 100, 44));
        auto beside = std::make_shared<platform::ui::Button>(platform::gfx::Rect(20, 500, 100, 44));
        root->view()->addSubview(under);
        root->view()->addSubview(beside);
        auto overlay = std::make_shared<platform::ui::View>(platform::gfx::Rect(0, 100, 320, 300));
        overlay->setTag(velmora::ViewManager::loadingOverlayTag);
        window->addSubview(overlay);
        auto cover = coverOf(*under);
        REQUIRE(cover);
        CHECK(cover->kind == CoverKind::overlay);
        CHECK(cover->name == "the loading overlay");
        CHECK_FALSE(coverOf(*beside));
        window->setRootViewController(nullptr);
        time.settle();
    }
    {
        // Out of sight below the window's edge or scrolled out of a scroll
        // view; half under an overlay, touched on its free half.
        platform::ui::Application::shared().reset();
        auto window = std::make_shared<platform::ui::Window>(platform::gfx::Rect(0, 0, 320, 568));
        auto root = std::make_shared<platform::ui::ViewController>();
        window->setRootViewController(root);
        window->makeKeyAndVisible();
        auto below = std::make_shared<platform::ui::Button>(platform::gfx::Rect(20, 600, 100, 44));
        auto scroll = std::make_shared<platform::ui::ScrollView>(platform::gfx::Rect(0, 100, 320, 100));
        auto scrolledAway = std::make_shared<platform::ui::Button>(platform::gfx::Rect(20, 150, 100, 44));
        auto half = std::make_shared<platform::ui::Button>(platform::gfx::Rect(20, 300, 100, 44));
        scroll->addSubview(scrolledAway);
        for (const auto& view : std::vector<std::shared_ptr<platform::ui::View>>{below, scroll, half}) {
            root->view()->addSubview(view);
        }
        window->addSubview(std::make_shared<platform::ui::View>(platform::gfx::Rect(0, 0, 320, 330)));
        const std::string pan = "pan the scroll view it lies in to bring it in";
        for (const auto& [view, name] : {std::pair{below, std::string()}, std::pair{scrolledAway, pan}}) {
            auto cover = coverOf(*view);
            REQUIRE(cover);
            CHECK(cover->kind == CoverKind::outOfSight);
            CHECK(cover->name == name);
        }
        const auto touch = touchOn(*half);
        CHECK_FALSE(touch.cover);
        CHECK(touch.at.y > 330);
        CHECK_FALSE(platform::ui::tap(*half));  // on its covered centre
        CHECK(platform::ui::tap(*half, touch.at));
        window->setRootViewController(nullptr);
        time.settle();
    }
    platform::ui::Application::shared().reset();
}

TEST_CASE("a page the platform refuses to present while another is shown is told, both named as a person sees them") {
    LaunchedSession launched;
    auto& session = *launched.session;
    session.takeNotices();
    REQUIRE(session.window());
    auto sheet = std::make_shared<platform::ui::ActivityViewController>(
        std::vector<platform::ui::ActivityItem>{std::string("x")});
    session.window()->rootViewController()->present(sheet, false);
    CHECK(session.takeNotices() ==
          std::vector<std::string>{"the share sheet was not shown: the introduction was shown already"});
    session.quit();
}

TEST_CASE("a touch lands on what shows of a control: a free edge takes it, a whole cover refuses it") {
    LaunchedSession launched;
    auto& session = *launched.session;
    std::ostringstream out;
    Runner runner(session, CommandTable(), out);
    for (const char* line : {"alert Accept", "tap Next", "tap Next", "tap Next", "tap Next", "tap Let's start"}) {
        REQUIRE(runner.execute(line));
    }
    auto window = session.window();
    auto named = [&](const std::string& name) {
        auto found = platform::ui::findViews(*window, [&](const platform::ui::View& v) {
            auto* button = dynamic_cast<const platform::ui::Button*>(&v);
            return v.accessibilityIdentifier() == name || (button && buttonName(*button) == name);
        });
        REQUIRE(found.size() == 1);
        return found.front();
    };
    const std::string covered = "is covered by a view over the page";
    // The line, the control it touches, whether a cover leaves its left fifth
    // free or lies over all of it, the start of what is printed, the k field after.
    const std::vector<std::tuple<std::string, std::string, bool, std::string, std::string>> cases{
        {"focus k", "kTextField", true, "focused kTextField", ""},
        {"key 7", "7", true, "pressed 7", "7"},
        {"key 8", "8", false, "the key \"8\" " + covered, "7"},
        {"tap Clear", "Clear", false, "\"Clear\" " + covered, "7"},
        {"tap Clear", "Clear", true, "tapped Clear", ""},
    };
    for (const auto& row : cases) {
        const auto& [command, control, edgeFree, printed, k] = row;
        const std::string& line = command;
        CAPTURE(line);
        const auto frame = named(control)->convertRect(named(control)->bounds(), nullptr);
        const double left = edgeFree ? frame.minX() + frame.width() / 5 : frame.minX() - 10;
        auto cover = std::make_shared<platform::ui::View>(
            platform::gfx::Rect(left, frame.minY() - 10, frame.maxX() + 10 - left, frame.height() + 20));
        window->addSubview(cover);
        out.str("");
        runner.execute(command);
        cover->removeFromSuperview();
        CHECK(out.str().rfind(printed, 0) == 0);
        CHECK(std::static_pointer_cast<platform::ui::TextField>(named("kTextField"))->text() == k);
    }
    runner.execute("quit");
}

TEST_CASE("a drag the page does not keep is said, and the rows stay as they were; one it keeps is said plainly") {
    velmora::CalcManager::resetShared();  // an earlier session's history keeps its own preferences
    LaunchedSession launched;
    std::ostringstream out;
    Runner runner(*launched.session, CommandTable(), out);
    for (const char* line : {"alert Accept", "tap Next", "tap Next", "tap Next", "tap Next", "tap Let's start",
                             "focus k", "key 1", "focus n", "key 2", "focus p", "key 0.5", "key calc", "menu",
                             "tap History", "tap ic_edit", "drag 0 0 0 1"}) {
        out.str("");
        REQUIRE(runner.execute(line));
    }
    CHECK(out.str() == "dragged row 0 0 to row 0 1\n");
    out.str("");
    runner.execute("screen");
    const std::string moved = out.str();
    // From here on the preferences take no write, whoever runs the test.
    const auto preferences = launched.folder / "data" / "Preferences", kept = launched.folder / "kept";
    std::filesystem::rename(preferences, kept);
    std::filesystem::create_directory_symlink("/proc/self", preferences);
    out.str("");
    runner.execute("drag 0 0 0 1");
    CHECK(out.str().rfind("dragged row 0 0 to row 0 1: the page did not keep it, and put the rows back\n", 0) == 0);
    out.str("");
    runner.execute("screen");  // the rows as before, the toast beside them
    CHECK(out.str().substr(0, out.str().find("\"The history could not be saved")) == moved);
    // A swipe the page does not keep says what it kept, as a drag does.
    out.str("");
    runner.execute("swipe 0 0");
    CHECK(out.str().rfind("swiped row 0 0: the page did not delete it, and kept the row\n", 0) == 0);
    out.str("");
    runner.execute("screen");
    CHECK(out.str().substr(0, out.str().find("\"The history could not be saved")) == moved);
    std::filesystem::remove(preferences);
    std::filesystem::rename(kept, preferences);
    runner.execute("quit");
    velmora::CalcManager::resetShared();
}
