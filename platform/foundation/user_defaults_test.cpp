#include <doctest/doctest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/dispatch/main_loop_turn.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/python_plistlib.h"
#include "platform/foundation/user_defaults.h"
#include "testsupport/file_text.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/temp_dir.h"

using platform::Data;
using platform::Date;
using platform::UserDefaults;
using platform::Value;

namespace {

// A fresh preferences folder for the length of one test.
struct PreferencesFolder {
    testsupport::TempDir dir;
    platform::ScopedDataDirectory scope{dir.path()};
};

Value::Dictionary everyKind() {
    return {
        {"text", "Grüße, \"quoted\" <xml> & more"},
        {"negative", -9007199254740993LL},
        {"largest", 9223372036854775807LL},
        {"real", 0.1},
        {"tiny", -1e-300},
        {"yes", true},
        {"no", false},
        {"bytes", Data{{0, 1, 2, 0xff, 0}}},
        {"when", Date{1700000000.25}},
        {"list", Value::Array{1, "two", Value::Array{3.5}}},
        {"nested", Value::Dictionary{{"inner", Value::Dictionary{{"k", "v"}}}, {"empty", Value::Array{}}}},
    };
}

std::optional<Value> parseFile(const std::filesystem::path& path) {
    auto bytes = platform::readFile(path);
    if (!bytes) return std::nullopt;
    return platform::parsePropertyList(*bytes);
}

}  // namespace

TEST_CASE("values of every kind survive the file") {
    PreferencesFolder folder;
    std::filesystem::path file;
    {
        UserDefaults writer("com.example.kinds");
        for (const auto& [key, value] : everyKind()) CHECK(writer.setObject(value, key));
        file = writer.filePath();
    }
    CHECK(file.parent_path() == folder.dir.path());

    SUBCASE("a fresh object reads them back") {
        UserDefaults reader("com.example.kinds");
        CHECK(reader.dictionaryRepresentation() == everyKind());
        CHECK(reader.stringForKey("text") == "Grüße, \"quoted\" <xml> & more");
        CHECK(reader.integerForKey("negative") == -9007199254740993LL);
        CHECK(reader.doubleForKey("real") == 0.1);
        CHECK(reader.boolForKey("yes"));
        CHECK(reader.dataForKey("bytes")->bytes == std::vector<std::uint8_t>{0, 1, 2, 0xff, 0});
        CHECK(reader.dateForKey("when")->secondsSince1970 == 1700000000.25);
        CHECK(reader.arrayForKey("list")->size() == 3);
        CHECK(reader.dictionaryForKey("nested")->count("inner") == 1);
    }
    SUBCASE("the file is a property list of the same dictionary") {
        auto parsed = parseFile(file);
        REQUIRE(parsed);
        CHECK(*parsed == Value(everyKind()));
    }
    SUBCASE("removing keys reaches the file") {
        UserDefaults defaults("com.example.kinds");
        CHECK(defaults.removeObjectForKey("text"));
        CHECK(defaults.setObject(Value(), "real"));  // null removes
        auto parsed = parseFile(file);
        REQUIRE(parsed);
        CHECK(parsed->find("text") == nullptr);
        CHECK(parsed->find("real") == nullptr);
        CHECK(parsed->asDictionary().size() == everyKind().size() - 2);
        CHECK(defaults.removeAllObjects());
        CHECK(*parseFile(file) == Value(Value::Dictionary{}));
        CHECK(UserDefaults("com.example.kinds").dictionaryRepresentation().empty());
    }
}

TEST_CASE("typed reads convert as preferences do") {
    PreferencesFolder folder;
    UserDefaults d("typed");
    d.setObject(1, "one");
    d.setObject("YES", "yesText");
    d.setObject("0", "zeroText");
    d.setObject(3.9, "real");
    d.setObject(-3.9, "negativeReal");
    d.setObject("42", "intText");
    d.setObject("2.5", "realText");
    d.setObject("abc", "word");
    d.setObject(1e300, "huge");
    d.setObject(Value::Dictionary{{"a", 1}}, "dict");

    CHECK(d.boolForKey("one"));
    CHECK(d.boolForKey("yesText"));
    CHECK_FALSE(d.boolForKey("zeroText"));
    CHECK_FALSE(d.boolForKey("word"));
    CHECK_FALSE(d.boolForKey("absent"));
    CHECK(d.integerForKey("real") == 3);
    CHECK(d.integerForKey("negativeReal") == -3);
    CHECK(d.integerForKey("intText") == 42);
    CHECK(d.integerForKey("realText") == 2);
    CHECK(d.integerForKey("huge") == INT64_MAX);
    CHECK(d.integerForKey("word") == 0);
    CHECK(d.integerForKey("absent") == 0);
    CHECK(d.doubleForKey("realText") == 2.5);
    CHECK(d.doubleForKey("one") == 1.0);
    CHECK(d.doubleForKey("dict") == 0.0);
    CHECK(d.stringForKey("one") == "1");
    CHECK(d.stringForKey("realText") == "2.5");
    CHECK(d.stringForKey("real") == "3.9");
    CHECK_FALSE(d.stringForKey("dict"));
    CHECK_FALSE(d.arrayForKey("dict"));
    CHECK_FALSE(d.dictionaryForKey("one"));
    CHECK_FALSE(d.dataForKey("word"));
    CHECK_FALSE(d.objectForKey("absent"));

    SUBCASE("a value holding a null is refused and reported") {
        CHECK_FALSE(d.setObject(Value::Array{1, Value()}, "list"));
        CHECK_FALSE(d.objectForKey("list"));
        REQUIRE(d.diagnostics().size() == 1);
        CHECK(d.diagnostics()[0].find("list") != std::string::npos);
    }
}

TEST_CASE("objects on one suite share what they hold") {
    PreferencesFolder folder;
    UserDefaults a("com.example.shared");
    UserDefaults b("com.example.shared");
    UserDefaults other("com.example.other");

    a.setObject("from a", "key");
    CHECK(b.stringForKey("key") == "from a");
    CHECK_FALSE(other.objectForKey("key"));
    b.removeObjectForKey("key");
    CHECK_FALSE(a.objectForKey("key"));

    SUBCASE("the standard suite is the application's own file") {
        UserDefaults::standard().setBool(true, "flag");
        CHECK(UserDefaults().boolForKey("flag"));
        CHECK(UserDefaults::standard().filePath().filename() ==
              platform::Bundle::main().bundleIdentifier() + ".plist");
    }
    SUBCASE("suite names cannot leave the folder") {
        UserDefaults odd("../outside/suite");
        odd.setObject(1, "k");
        CHECK(odd.filePath().parent_path() == folder.dir.path());
        CHECK(std::filesystem::exists(odd.filePath()));
    }
    SUBCASE("a change of folder opens other files") {
        testsupport::TempDir second;
        UserDefaults::setDataDirectory(second.path());
        CHECK_FALSE(UserDefaults("com.example.shared").objectForKey("missing"));
        UserDefaults("com.example.shared").setObject(2, "here");
        CHECK_FALSE(a.objectForKey("here"));
        UserDefaults::setDataDirectory(folder.dir.path());
        CHECK_FALSE(UserDefaults("com.example.shared").objectForKey("here"));
    }
}

TEST_CASE("writes from many threads at once lose nothing") {
    PreferencesFolder folder;
    constexpr int kThreads = 6;
    constexpr int kKeysEach = 30;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            UserDefaults own("com.example.threads");  // each thread its own object
            for (int i = 0; i < kKeysEach; ++i) {
                own.setInteger(t * 1000 + i, "t" + std::to_string(t) + "k" + std::to_string(i));
                (void)own.dictionaryRepresentation();
            }
        });
    }
    for (auto& thread : threads) thread.join();

    auto parsed = parseFile(UserDefaults::fileForSuite("com.example.threads"));
    REQUIRE(parsed);
    REQUIRE(parsed->asDictionary().size() == kThreads * kKeysEach);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kKeysEach; ++i) {
            CHECK((*parsed)["t" + std::to_string(t) + "k" + std::to_string(i)].intValue() == t * 1000 + i);
        }
    }
}

TEST_CASE("a reader of the file never sees half a write") {
    PreferencesFolder folder;
    auto file = UserDefaults::fileForSuite("com.example.atomic");
    std::atomic<bool> done{false};
    std::thread writer([&] {
        UserDefaults defaults("com.example.atomic");
        std::string growing;
        for (int i = 0; i < 150; ++i) {
            growing += "0123456789abcdef";
            defaults.setObject(growing, "text" + std::to_string(i % 7));
        }
        done = true;
    });
    int reads = 0;
    int broken = 0;
    while (!done) {
        if (auto bytes = platform::readFile(file)) {
            ++reads;
            auto parsed = platform::parsePropertyList(*bytes);
            if (!parsed || !parsed->isDictionary()) ++broken;
        }
    }
    writer.join();
    CHECK(broken == 0);
    INFO("complete reads while writing: " << reads);
    // No temporary file is left behind: the suite and the lock its writers
    // take turns under.
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder.dir.path())) {
        files.insert(entry.path().filename().string());
    }
    const std::string name = file.filename().string();
    CHECK(files == std::set<std::string>{name, name + ".lock"});
}

TEST_CASE("a damaged file is set aside and reported") {
    PreferencesFolder folder;
    auto file = UserDefaults::fileForSuite("com.example.damaged");
    auto damage = [&](const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; };
    auto aside = file;
    aside += ".corrupt";

    damage("<?xml version=\"1.0\"?><plist><dict><key>cut");
    {
        UserDefaults defaults("com.example.damaged");
        CHECK(defaults.dictionaryRepresentation().empty());
        REQUIRE(defaults.diagnostics().size() == 1);
        CHECK(defaults.diagnostics()[0].find("damaged") != std::string::npos);
        CHECK(platform::readFile(aside) == "<?xml version=\"1.0\"?><plist><dict><key>cut");
        CHECK_FALSE(std::filesystem::exists(file));

        CHECK(defaults.setObject("fresh", "key"));
        CHECK(parseFile(file) == Value(Value::Dictionary{{"key", "fresh"}}));
    }

    SUBCASE("a second damaged file does not replace the first one set aside") {
        damage(platform::writePropertyListXML(Value(Value::Array{1, 2})));  // no dictionary at the root
        UserDefaults defaults("com.example.damaged");
        CHECK(defaults.dictionaryRepresentation().empty());
        CHECK(defaults.diagnostics().size() == 1);
        auto second = file;
        second += ".corrupt-2";
        CHECK(std::filesystem::exists(second));
        CHECK(platform::readFile(aside) == "<?xml version=\"1.0\"?><plist><dict><key>cut");
    }
    SUBCASE("an empty file counts as damaged") {
        damage("");
        UserDefaults defaults("com.example.damaged");
        CHECK(defaults.diagnostics().size() == 1);
    }
}

TEST_CASE("a suite damaged again and again keeps its newest three copies; what is no copy of it stays") {
    namespace fs = std::filesystem;
    const std::string kDamage = "<plist>cut at ";
    struct Case {
        std::string what;
        int damaged;
        std::map<std::string, std::string> placed;  // after ".corrupt": "file", "folder" or "link"
        std::string after;  // each name after the file's, sorted: what was placed, or the damage's number
    };
    const std::vector<Case> cases = {
        {"once", 1, {}, ".corrupt=1"},
        {"three times", 3, {}, ".corrupt=1 .corrupt-2=2 .corrupt-3=3"},
        {"four times", 4, {}, ".corrupt-2=2 .corrupt-3=3 .corrupt-4=4"},
        {"thirty times", 30, {}, ".corrupt-28=28 .corrupt-29=29 .corrupt-30=30"},
        {"beside a number past the range", 4, {{"-1000", "file"}},
         ".corrupt-1000=file .corrupt-2=2 .corrupt-3=3 .corrupt-4=4"},
        {"at the end of the range", 1, {{"-999", "file"}}, ".corrupt=file .corrupt-2=1"},
        {"over a folder", 4, {{"", "folder"}}, ".corrupt=folder .corrupt-3=2 .corrupt-4=3 .corrupt-5=4"},
        {"over a link", 4, {{"", "link"}}, ".corrupt=link .corrupt-3=2 .corrupt-4=3 .corrupt-5=4"},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        PreferencesFolder folder;
        const auto file = UserDefaults::fileForSuite("com.example.again");
        const fs::path outside = folder.dir / "elsewhere" / "target";
        testsupport::writeText(outside, "another program's");
        const std::string copies = file.string() + ".corrupt";
        for (const auto& [rest, kind] : entry.placed) {
            if (kind == "file") testsupport::writeText(copies + rest, kind);
            if (kind == "folder") fs::create_directories(copies + rest);
            if (kind == "link") fs::create_symlink(outside, copies + rest);
        }
        for (int damage = 1; damage <= entry.damaged; ++damage) {
            testsupport::writeText(file, kDamage + std::to_string(damage));
            UserDefaults defaults("com.example.again");
            CHECK(defaults.dictionaryRepresentation().empty());
        }
        std::map<std::string, std::string> found;
        for (const auto& name : fs::directory_iterator(file.parent_path())) {
            const std::string path = name.path().string(), text = testsupport::readText(path);
            if (path.rfind(copies, 0) != 0) continue;
            found[path.substr(file.string().size())] = name.is_symlink()     ? "link"
                                                       : name.is_directory() ? "folder"
                                                       : text.rfind(kDamage, 0) == 0 ? text.substr(kDamage.size())
                                                                                     : text;
        }
        std::string after;
        for (const auto& [name, what] : found) after += (after.empty() ? "" : " ") + name + "=" + what;
        CHECK(after == entry.after);
        CHECK(testsupport::readText(outside) == "another program's");
    }
}

TEST_CASE("a suite file damaged by one byte, nested without end or replaced by a fifo starts the suite empty") {
    PreferencesFolder folder;
    const auto file = UserDefaults::fileForSuite("com.example.hostile");
    const std::string intact = platform::writePropertyListBinary(Value(Value::Dictionary{{"name", "Bernoulli"}}));
    std::string deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 200000; ++i) deep += "<array>";
    struct Case {
        const char* what;
        std::function<void()> make;
    };
    const std::vector<Case> cases = {
        {"a NUL byte inside a string",
         [&] {
             std::string damaged = intact;
             damaged[damaged.find("Bernoulli") + 4] = '\0';
             std::ofstream(file, std::ios::binary) << damaged;
         }},
        {"nesting 200000 deep", [&] { std::ofstream(file, std::ios::binary) << deep; }},
        {"a fifo", [&] { REQUIRE(::mkfifo(file.c_str(), 0600) == 0); }},
        {"a folder", [&] { std::filesystem::create_directories(file / "inside"); }},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        std::filesystem::remove_all(file);
        for (const auto& old : std::filesystem::directory_iterator(folder.dir.path())) std::filesystem::remove_all(old);
        entry.make();
        UserDefaults defaults("com.example.hostile");
        CHECK(defaults.dictionaryRepresentation().empty());
        REQUIRE(defaults.diagnostics().size() == 1);
        CHECK(defaults.diagnostics()[0].find("damaged") != std::string::npos);
        auto aside = file;
        aside += ".corrupt";
        CHECK(std::filesystem::exists(std::filesystem::symlink_status(aside)));
        CHECK(defaults.setObject("fresh", "key"));
        CHECK(parseFile(file) == Value(Value::Dictionary{{"key", "fresh"}}));
    }
}

TEST_CASE("a link at a suite's path is never read through: it is set aside and said, at the first read or at a write") {
    PreferencesFolder folder;
    testsupport::TempDir elsewhere;
    const auto outside = elsewhere / "outside.plist";
    const std::string outsideBytes =
        platform::writePropertyListBinary(Value(Value::Dictionary{{"outside", "another user's secret"}}));
    testsupport::writeText(outside, outsideBytes);
    struct Case {
        const char* suite;
        std::filesystem::path target;
        // Planted before the suite is first read, or between its read and
        // its next write.
        bool beforeRead;
    };
    const std::vector<Case> cases = {
        {"com.example.linked-before", outside, true},
        {"com.example.dangling-before", elsewhere / "nothing.plist", true},
        {"com.example.linked-after", outside, false},
    };
    for (const auto& entry : cases) {
        const std::string suite = entry.suite;
        CAPTURE(suite);
        const auto file = UserDefaults::fileForSuite(suite);
        auto aside = file;
        aside += ".corrupt";
        if (!entry.beforeRead) {
            testsupport::writeText(file, platform::writePropertyListBinary(Value(Value::Dictionary{{"mine", 1}})));
        } else {
            std::filesystem::create_symlink(entry.target, file);
        }
        UserDefaults defaults(suite);
        const Value::Dictionary read = defaults.dictionaryRepresentation();
        if (!entry.beforeRead) {
            CHECK(read == Value::Dictionary{{"mine", 1}});
            std::filesystem::remove(file);
            std::filesystem::create_symlink(entry.target, file);
        } else {
            CHECK(read.empty());
        }
        CHECK(defaults.setObject("fresh", "key"));
        auto expected = read;
        expected.emplace("key", "fresh");
        CHECK(parseFile(file) == Value(expected));
        CHECK(std::filesystem::is_regular_file(std::filesystem::symlink_status(file)));
        CHECK(std::filesystem::is_symlink(std::filesystem::symlink_status(aside)));
        REQUIRE(defaults.diagnostics().size() == 1);
        CHECK(defaults.diagnostics()[0] == "preferences file " + file.string() +
                                               " is damaged (it is a link, which is not followed); moved to " +
                                               aside.string() + " and started empty");
        CHECK(testsupport::readText(outside) == outsideBytes);
    }
}

TEST_CASE("a folder that cannot be written is reported, the value kept in memory") {
    PreferencesFolder folder;
    auto blocker = folder.dir / "blocked";
    std::ofstream(blocker) << "a file where the folder should be";
    UserDefaults::setDataDirectory(blocker / "Preferences");
    UserDefaults defaults("com.example.unwritable");
    // Each failure is kept; the same words twice running are said once.
    std::ostringstream said;
    auto* const terminal = std::cerr.rdbuf(said.rdbuf());
    CHECK_FALSE(defaults.setObject(1, "key"));
    CHECK_FALSE(defaults.setObject(2, "key"));
    std::cerr.rdbuf(terminal);
    CHECK(defaults.integerForKey("key") == 2);
    CHECK(defaults.diagnostics().size() == 2);
    const std::string text = said.str();
    CHECK(std::count(text.begin(), text.end(), '\n') == 1);
}

TEST_CASE("the suites whose latest write failed are listed, with why, until a write of theirs succeeds") {
    PreferencesFolder folder;
    const auto files = [] {
        std::vector<std::filesystem::path> listed;
        for (const auto& suite : UserDefaults::unsavedSuites()) listed.push_back(suite.file);
        return listed;
    };
    UserDefaults kept("com.example.kept"), lost("com.example.lost"), later("com.example.later");
    CHECK(kept.setObject(1, "k"));
    // A folder, not empty, where the file goes: the write cannot replace it.
    for (const auto* suite : {&lost, &later}) std::filesystem::create_directories(suite->filePath() / "inside");
    CHECK_FALSE(lost.setObject(2, "k"));
    {
        platform::dispatch::MainLoopTurn turn;
        CHECK(later.setObject(3, "k"));  // waits for the turn's end, but is tried before the list is made
        CHECK(files() == std::vector<std::filesystem::path>{later.filePath(), lost.filePath()});
    }
    CHECK(UserDefaults::unsavedSuites().back().why.find(lost.filePath().filename().string()) != std::string::npos);
    {
        platform::ScopedDataDirectory elsewhere(folder.dir / "elsewhere");  // another program's suites
        CHECK(files().empty());
    }
    std::filesystem::remove_all(lost.filePath());
    CHECK(lost.synchronize());
    CHECK(files() == std::vector<std::filesystem::path>{later.filePath()});
}

// A file holding more values than a property list is read with would be
// set aside, with every other preference in it, at the next launch.
TEST_CASE("preferences too large to read back are never written") {
    PreferencesFolder folder;
    const auto file = UserDefaults::fileForSuite("com.example.full");
    const auto half = [](const std::string& text) {
        return Value(Value::Array(platform::kPropertyListMaxValues / 2, Value(text)));
    };
    const auto storedKeys = [&] {
        std::set<std::string> keys;
        const auto stored = parseFile(file);
        REQUIRE(stored);
        for (const auto& entry : stored->asDictionary()) keys.insert(entry.first);
        return keys;
    };
    UserDefaults defaults("com.example.full");
    REQUIRE(defaults.setObject("small", "kept"));
    REQUIRE(defaults.setObject(half("a"), "first"));
    // One key alone over the limit is refused as it is set.
    CHECK_FALSE(defaults.setObject(Value(Value::Array(platform::kPropertyListMaxValues, Value(1))), "whole"));
    CHECK_FALSE(defaults.objectForKey("whole"));
    // Two that fit apart and not together: the second's write fails, and
    // the file keeps what it held, readable.
    CHECK_FALSE(defaults.setObject(half("b"), "second"));
    CHECK_FALSE(defaults.diagnostics().empty());
    CHECK(storedKeys() == std::set<std::string>{"first", "kept"});
    // Taking one back out lets the rest be written.
    CHECK(defaults.removeObjectForKey("first"));
    CHECK(storedKeys() == std::set<std::string>{"kept", "second"});
}

// A refused replacement has already let the old value go: the file must
// follow at the next write, whatever that write changes.
TEST_CASE("a refused replacement reaches the file with the next write") {
    PreferencesFolder folder;
    const auto stored = [&] {
        const auto parsed = parseFile(UserDefaults::fileForSuite("com.example.replace"));
        REQUIRE(parsed);
        return *parsed;
    };
    UserDefaults defaults("com.example.replace");
    REQUIRE(defaults.setObject(Value::Array{1, 2}, "history"));
    REQUIRE(defaults.setObject("kept", "other"));
    const Value before(Value::Dictionary{{"history", Value::Array{1, 2}}, {"other", "kept"}});
    REQUIRE(stored() == before);
    CHECK_FALSE(defaults.replaceObject("history", [] { return Value(Value::Array{Value()}); }));
    CHECK_FALSE(defaults.objectForKey("history"));
    CHECK_FALSE(defaults.diagnostics().empty());
    const Value after(Value::Dictionary{{"other", "kept"}});
    // Nothing is written for the refusal itself.
    CHECK(stored() == before);
    SUBCASE("synchronize") {
        CHECK(defaults.synchronize());
        CHECK(stored() == after);
    }
    SUBCASE("a value set again unchanged") {
        CHECK(defaults.setObject("kept", "other"));
        CHECK(stored() == after);
    }
    SUBCASE("a key removed that was not there") {
        CHECK(defaults.removeObjectForKey("absent"));
        CHECK(stored() == after);
    }
}

// Lists of more than a hundred values were freed twice once read.
TEST_CASE("a suite file with long lists and wide dictionaries reads back, XML or binary") {
    PreferencesFolder folder;
    const auto file = UserDefaults::fileForSuite("com.example.long");
    for (const std::size_t count : {std::size_t{101}, std::size_t{1000}, std::size_t{100000}}) {
        Value::Array list;
        Value::Dictionary wide;
        for (std::size_t i = 0; i < count; ++i) {
            list.emplace_back("entry " + std::to_string(i));
            wide["k" + std::to_string(i)] = Value(static_cast<std::int64_t>(i));
        }
        Value::Dictionary stored;
        stored["list"] = Value(list);
        stored["wide"] = Value(wide);
        for (const bool binary : {false, true}) {
            CAPTURE(count);
            CAPTURE(binary);
            const Value whole(stored);
            std::ofstream(file, std::ios::binary | std::ios::trunc)
                << (binary ? platform::writePropertyListBinary(whole) : platform::writePropertyListXML(whole));
            UserDefaults defaults("com.example.long");
            CHECK(defaults.diagnostics().empty());
            REQUIRE(defaults.arrayForKey("list"));
            CHECK(defaults.arrayForKey("list")->size() == count);
            CHECK(defaults.arrayForKey("list")->back() == Value("entry " + std::to_string(count - 1)));
            CHECK(defaults.dictionaryForKey("wide")->size() == count);
            CHECK(defaults.setObject("more", "another"));
            CHECK(UserDefaults("com.example.long").arrayForKey("list")->size() == count);
        }
    }
}

TEST_CASE("the default folder lies under an absolute data home") {
    struct Case {
        const char* what;
        std::optional<std::string> preferences, xdgDataHome;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"the data home", std::nullopt, "/data/home", "/data/home/velmora/Preferences"},
        {"a relative data home is none", std::nullopt, "data/home", "/home/someone/.local/share/velmora/Preferences"},
        {"the preferences folder first", "/prefs", "/data/home", "/prefs"},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::ScopedLaunchOptions options([&](platform::LaunchOptions& o) {
            if (entry.preferences) o.preferencesFolder = *entry.preferences;
            else o.preferencesFolder.reset();
            o.xdgDataHome = entry.xdgDataHome;
            o.home = "/home/someone";
        });
        platform::ScopedDataDirectory restore{"/unused"};
        UserDefaults::setDataDirectory({});
        CHECK(UserDefaults::dataDirectory() == entry.expected);
    }
}

namespace {

using platform::dispatch::MainLoopTurn;

// What the suite's file holds under the key; none when the file or the key
// is not there.
std::optional<Value> onDisk(const std::string& suite, const std::string& key) {
    auto parsed = parseFile(UserDefaults::fileForSuite(suite));
    if (!parsed || !parsed->find(key)) return std::nullopt;
    return (*parsed)[key];
}

}  // namespace

TEST_CASE("the changes of one turn are written once, when it ends") {
    PreferencesFolder folder;
    UserDefaults defaults("com.example.turns");
    REQUIRE(defaults.setObject("before", "kept"));

    SUBCASE("inside the turn the file holds none of them; after it, all") {
        {
            MainLoopTurn turn;
            CHECK(defaults.setObject(1, "a"));
            CHECK(defaults.setObject(2, "b"));
            CHECK(defaults.removeObjectForKey("kept"));
            CHECK(defaults.integerForKey("b") == 2);  // memory has them at once
            CHECK(onDisk("com.example.turns", "kept") == Value("before"));
            CHECK_FALSE(onDisk("com.example.turns", "a"));
        }
        CHECK(onDisk("com.example.turns", "a") == Value(1));
        CHECK(onDisk("com.example.turns", "b") == Value(2));
        CHECK_FALSE(onDisk("com.example.turns", "kept"));
    }
    SUBCASE("a turn that changes nothing writes nothing") {
        // A write renames a new file over the old one: another inode.
        const auto inode = [&] {
            struct stat info {};
            REQUIRE(::stat(defaults.filePath().c_str(), &info) == 0);
            return info.st_ino;
        };
        const auto before = inode();
        {
            MainLoopTurn turn;
            CHECK(defaults.setObject("before", "kept"));
        }
        CHECK(inode() == before);
    }
    SUBCASE("synchronize writes them before the turn ends") {
        MainLoopTurn turn;
        defaults.setObject(1, "a");
        CHECK(defaults.synchronize());
        CHECK(onDisk("com.example.turns", "a") == Value(1));
    }
    SUBCASE("another thread's change, in a turn of its own or not, is written at once, with the turn's") {
        MainLoopTurn turn;
        defaults.setObject(1, "a");
        std::thread([] {
            MainLoopTurn its;
            CHECK(UserDefaults("com.example.turns").setObject(2, "b"));
        }).join();
        CHECK(onDisk("com.example.turns", "a") == Value(1));
        CHECK(onDisk("com.example.turns", "b") == Value(2));
    }
    SUBCASE("the last handle let go writes what waits") {
        MainLoopTurn turn;
        UserDefaults("com.example.other").setObject(3, "c");
        CHECK(onDisk("com.example.other", "c") == Value(3));
    }
    SUBCASE("whenWritten answers once the turn's write is done, or failed") {
        std::vector<bool> answers;
        const auto note = [&](bool written) { answers.push_back(written); };
        {
            MainLoopTurn turn;
            defaults.setObject(1, "a");
            defaults.whenWritten(note);
            CHECK(answers.empty());
        }
        CHECK(answers == std::vector<bool>{true});
        defaults.whenWritten(note);  // nothing waits: at once
        CHECK(answers == std::vector<bool>{true, true});
        std::filesystem::remove(defaults.filePath());
        std::filesystem::create_directory(defaults.filePath());  // the file cannot be replaced
        std::filesystem::create_directory(defaults.filePath() / "inside");
        {
            MainLoopTurn turn;
            defaults.setObject(2, "a");
            defaults.whenWritten(note);
        }
        CHECK(answers == std::vector<bool>{true, true, false});
        CHECK(defaults.diagnostics().back().find("cannot save preferences") != std::string::npos);
        CHECK_FALSE(defaults.synchronize());
    }
}

TEST_CASE("a process killed once a turn ended keeps its changes; one that exits inside a turn writes them") {
    PreferencesFolder folder;
    int ready[2];
    REQUIRE(::pipe(ready) == 0);
    const pid_t killed = ::fork();
    REQUIRE(killed >= 0);
    if (killed == 0) {
        UserDefaults defaults("com.example.ending");
        {
            MainLoopTurn action;
            defaults.setObject("finished action", "kept");
        }
        MainLoopTurn unfinished;
        defaults.setObject("unfinished action", "lost");
        if (::write(ready[1], "a", 1) != 1) ::_exit(2);
        for (;;) ::pause();
    }
    char signal = 0;
    REQUIRE(::read(ready[0], &signal, 1) == 1);
    ::close(ready[0]);
    ::close(ready[1]);
    ::kill(killed, SIGKILL);
    int status = 0;
    ::waitpid(killed, &status, 0);
    CHECK(WIFSIGNALED(status));
    CHECK(onDisk("com.example.ending", "kept") == Value("finished action"));
    CHECK_FALSE(onDisk("com.example.ending", "lost"));

    const pid_t exiting = ::fork();
    REQUIRE(exiting >= 0);
    if (exiting == 0) {
        UserDefaults defaults("com.example.exit");  // alive through the exit: no handle lets go of it
        MainLoopTurn unfinished;
        defaults.setObject("written at exit", "last");
        std::exit(0);
    }
    ::waitpid(exiting, &status, 0);
    CHECK(WIFEXITED(status));
    CHECK(onDisk("com.example.exit", "last") == Value("written at exit"));
}

TEST_CASE("a history of 50,000 entries reads back equal, in a fresh store and through Python's plistlib") {
    PreferencesFolder folder;
    Value::Array history;
    for (int i = 0; i < 50000; ++i) {
        const std::string k = std::to_string(i % 9), n = std::to_string(9 + i % 50);
        const std::string p = "0." + std::to_string(1 + i % 9);
        Value::Dictionary inputs;
        inputs["kTextField"] = k;
        inputs["nTextField"] = n;
        inputs["pTextField"] = p;
        Value::Dictionary entry;
        entry["inputParameters"] = Value(std::move(inputs));
        entry["latexString"] = "p = " + p + " \\quad k = " + k + " \\quad n = " + n + " #" + std::to_string(i);
        entry["solutionSteps"] = Value(Value::Array{});
        entry["setupParameter"] = Value(Value::Dictionary{{"appKey", "QZT"}});
        history.emplace_back(std::move(entry));
    }
    const Value written(history);
    {
        UserDefaults defaults("com.example.history");
        REQUIRE(defaults.setObject(written, "Calculations"));
    }
    UserDefaults fresh("com.example.history");
    CHECK(fresh.diagnostics().empty());
    CHECK(fresh.objectForKey("Calculations") == written);
    if (!platform::testing::pythonPlistlibInstalled()) {
        MESSAGE(platform::testing::kNoPythonPlistlib);
        return;
    }
    const auto again = platform::testing::throughPythonPlistlib(*platform::readFile(fresh.filePath()));
    REQUIRE(again);
    const auto back = platform::parsePropertyList(*again);
    REQUIRE(back);
    CHECK((*back)["Calculations"] == written);
}
