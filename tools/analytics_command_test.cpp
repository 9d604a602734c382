// `velmora analytics` and `velmora calc` as separate processes: many at once
// on one data folder, with a database that refuses the event, against a
// service that fails or is not there, and a dump of rows that do not read.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "measurement/foundation/bundle_tags.h"
#include "measurement/foundation/messages.h"
#include "measurement/store/config_test_support.h"
#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/other_user.h"
#include "testsupport/loopback_server.h"
#include "testsupport/sqlite_file.h"
#include "testsupport/temp_dir.h"

namespace {

namespace fs = std::filesystem;

struct Run {
    int status = -1;  // the exit status; -1 when killed after the limit
    std::string out;
    std::string err;
};

// One `velmora` process with its output in files of the folder; the
// variables are added to this process's environment.
class Process {
public:
    Process(const std::vector<std::string>& arguments, const std::vector<std::string>& variables, const fs::path& logs,
            const std::string& tag)
        : out_(logs / (tag + ".out")), err_(logs / (tag + ".err")) {
        std::vector<std::string> argv{VELMORA_TOOL_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        REQUIRE((out >= 0 && err >= 0));
        pid_ = testsupport::spawnChild(argv, testsupport::environmentWith(variables), out, err);
        close(out);
        close(err);
    }

    // Waits for the process to end (the test's own time limit stops a
    // process that never does).
    Run wait() {
        int status = 0;
        Run run;
        if (ended_) {
            status = *ended_;
        } else {
            REQUIRE(waitpid(pid_, &status, 0) == pid_);
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return finish(run);
    }

    // Whether the process says the text on its standard error within that
    // many seconds.
    bool saysWithin(const std::string& text, double seconds) const {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (testsupport::readText(err_).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= limit) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // Whether the process ends within that many seconds; one that does is
    // waited for, and wait() then reports it.
    bool endsWithin(double seconds) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done < 0) FAIL("the process cannot be waited for");
            if (done == pid_) {
                ended_ = status;
                return true;
            }
            if (std::chrono::steady_clock::now() >= limit) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Whether the process's standard output holds that text within that
    // many seconds.
    bool printsWithin(const std::string& text, double seconds) const {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (testsupport::readText(out_).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= limit) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

private:
    Run finish(Run& run) {
        run.out = testsupport::readText(out_);
        run.err = testsupport::readText(err_);
        return run;
    }

    fs::path out_;
    fs::path err_;
    pid_t pid_ = -1;
    std::optional<int> ended_;
};

// The application's events (not the engine's own, "_" first) of every
// batch the service received, each as often as it arrived.
std::multiset<std::string> receivedEvents(const testsupport::LoopbackServer& service) {
    std::multiset<std::string> names;
    for (const auto& request : service.requests()) {
        if (request.path != "/a") continue;
        const auto batch = measurement::APMPBMeasurementBatch::initWithBuffer(request.body);
        REQUIRE(batch);
        for (const auto& bundle : measurement::NANOGetArray<measurement::APMPBMeasurementBundle>(*batch, 0)) {
            const auto events = measurement::NANOGetArray<measurement::APMPBEvent>(
                bundle, measurement::bundleFieldIndex(measurement::bundle_tag::kEvents));
            for (const auto& event : events) {
                const auto name = measurement::NANOGetString(event, measurement::event_field::kName).value_or("");
                if (!name.empty() && name[0] != '_') names.insert(name);
            }
        }
    }
    return names;
}

// The tool as another user runs it: its three programs side by side in a
// folder every user may enter, as `velmora` wants them.
std::string toolForOtherUsers() {
    return (testsupport::programsForOtherUsers(fs::path(VELMORA_TOOL_PATH).parent_path(),
                                               {"velmora", "velmora-app", "velmora-collector"}) /
            "velmora")
        .string();
}

class ToolFixture {
public:
    fs::path data() const { return folder / "data"; }
    fs::path database() const { return data() / "Application Support" / "Rozeda" / "Measurement" / "rozeda-app-measurement.sql"; }

    Run run(const std::vector<std::string>& arguments, const std::vector<std::string>& variables = {}) {
        return Process(arguments, variables, folder.path(), "run" + std::to_string(++runs_)).wait();
    }
    Run log(const std::string& name, const std::vector<std::string>& variables = {}) {
        return run({"analytics", "log", name, "--data", data().string()}, variables);
    }
    nlohmann::json dump() {
        const Run result = run({"analytics", "dump", "--data", data().string()});
        REQUIRE(result.status == 0);
        return nlohmann::json::parse(result.out);
    }
    // The events stored, raw or already bundled into the upload queue.
    std::multiset<std::string> storedNames() {
        std::multiset<std::string> names;
        const auto stored = dump();
        for (const auto& event : stored["raw_events"]) names.insert(event["name"].get<std::string>());
        for (const auto& bundle : stored["queued_bundles"]) {
            for (const auto& name : bundle["events"]) names.insert(name.get<std::string>());
        }
        return names;
    }
    void sql(const std::string& statement) { testsupport::runSQL(database(), statement); }

    testsupport::TempDir folder;

private:
    int runs_ = 0;
};

}  // namespace

TEST_CASE("Many processes logging into one data folder at once lose no event") {
    ToolFixture tool;
    // Started together on an empty folder: they also race to make the
    // database.
    constexpr int kProcesses = 60;
    std::vector<Process> processes;
    processes.reserve(kProcesses);
    for (int i = 0; i < kProcesses; ++i) {
        processes.emplace_back(std::vector<std::string>{"analytics", "log", "together_" + std::to_string(i), "--data",
                                                        tool.data().string()},
                               std::vector<std::string>{}, tool.folder.path(), "together" + std::to_string(i));
    }
    for (auto& process : processes) {
        const Run result = process.wait();
        CHECK_MESSAGE(result.status == 0, result.err);
    }
    const auto names = tool.storedNames();
    for (int i = 0; i < kProcesses; ++i) CHECK(names.count("together_" + std::to_string(i)) == 1);
}

TEST_CASE("Purchases made at once are each stored; a transaction reported twice is named as a duplicate") {
    ToolFixture tool;
    // In millionths; the last at the largest value the engine stores, which
    // it reaches through a double: the nearest one below 2^63.
    const std::vector<std::pair<std::string, long long>> prices = {{"0.99", 990'000},
                                                                   {"12", 12'000'000},
                                                                   {"0.000001", 1},
                                                                   {"9007199254.740993", 9'007'199'254'740'992},
                                                                   {"9223372036854.775807", INT64_MAX - 1023}};
    const int kPurchases = static_cast<int>(prices.size());
    std::vector<Process> processes;
    processes.reserve(prices.size());
    for (int i = 0; i < kPurchases; ++i) {
        processes.emplace_back(std::vector<std::string>{"analytics", "purchase", "pro_" + std::to_string(i), "--price",
                                                        prices[i].first, "--data", tool.data().string()},
                               std::vector<std::string>{}, tool.folder.path(), "purchase" + std::to_string(i));
    }
    for (auto& process : processes) {
        const Run result = process.wait();
        CHECK_MESSAGE(result.status == 0, result.err);
    }
    std::map<std::string, long long> values;
    const auto stored = tool.dump();
    for (const auto& event : stored["raw_events"]) {
        if (event["name"] == "_iapx") values[event["parameters"]["product_id"]] = event["parameters"]["value"];
    }
    REQUIRE(values.size() == prices.size());
    for (int i = 0; i < kPurchases; ++i) CHECK(values["pro_" + std::to_string(i)] == prices[i].second);
    const auto purchaseEvents = [&tool] { return tool.storedNames().count("_iapx"); };

    const std::vector<std::string> twice = {"analytics", "purchase", "pro_0", "--price", "0.99", "--transaction",
                                            "4711", "--data", tool.data().string()};
    CHECK(tool.run(twice).status == 0);
    const Run again = tool.run(twice);
    CHECK(again.status == 1);
    CHECK(again.err.find("the engine dropped the purchase as a duplicate: transaction 4711 was reported before") !=
          std::string::npos);
    CHECK(purchaseEvents() == kPurchases + 1);
}

TEST_CASE("Processes that start together on a new data folder record one first open and all open the experiments database") {
    ToolFixture tool;
    constexpr int kProcesses = 20;
    std::vector<Process> processes;
    processes.reserve(kProcesses);
    for (int i = 0; i < kProcesses; ++i) {
        processes.emplace_back(std::vector<std::string>{"analytics", "log", "started_" + std::to_string(i), "--data",
                                                        tool.data().string()},
                               std::vector<std::string>{}, tool.folder.path(), "started" + std::to_string(i));
    }
    for (auto& process : processes) {
        const Run result = process.wait();
        CHECK_MESSAGE(result.status == 0, result.err);
        // The experiments database's failures to open or make its tables.
        CHECK_MESSAGE(result.err.find("[I-ACS81000") == std::string::npos, result.err);
    }
    CHECK(tool.storedNames().count("_f") == 1);
}

TEST_CASE("Processes that start together on another program's database set it aside once and store every event in the new one") {
    // Rounds, since how the processes meet differs from one to the next.
    constexpr int kRounds = 3;
    constexpr int kProcesses = 20;
    for (int round = 0; round < kRounds; ++round) {
        CAPTURE(round);
        ToolFixture tool;
        fs::create_directories(tool.database().parent_path());
        tool.sql("CREATE TABLE raw_events (something TEXT)");
        std::vector<Process> processes;
        processes.reserve(kProcesses);
        for (int i = 0; i < kProcesses; ++i) {
            processes.emplace_back(std::vector<std::string>{"analytics", "log", "foreign_" + std::to_string(i), "--data",
                                                            tool.data().string()},
                                   std::vector<std::string>{}, tool.folder.path(), "foreign" + std::to_string(i));
        }
        for (auto& process : processes) {
            const Run result = process.wait();
            CHECK_MESSAGE(result.status == 0, result.err);
        }
        const auto names = tool.storedNames();
        for (int i = 0; i < kProcesses; ++i) CHECK(names.count("foreign_" + std::to_string(i)) == 1);
        CHECK(fs::exists(tool.database().string() + ".corrupt"));
        CHECK_FALSE(fs::exists(tool.database().string() + ".corrupt-2"));
    }
}

TEST_CASE("A command on the system clock after an application session on its manual clock keeps the session's events") {
    testsupport::LoopbackServer failing;
    testsupport::ScriptedResponse refusal;
    refusal.status = 500;
    failing.answer("/a", refusal);
    const std::vector<std::string> offline = {"VELMORA_MEASUREMENT_SERVICE_URL=http://127.0.0.1:9"};
    const std::vector<std::string> refused = {"VELMORA_MEASUREMENT_SERVICE_URL=" + failing.url("")};
    struct Case {
        std::string what;
        std::vector<std::vector<std::string>> commands;  // each run with the data folder added
        std::vector<std::string> variables;
    };
    const std::vector<Case> cases = {
        {"an event logged", {{"analytics", "log", "after_app"}}, offline},
        {"the experiments shown", {{"experiments"}}, offline},
        // The first bundles the session's events into the queue, which the
        // second's clean-up finds there.
        {"two events whose uploads are refused", {{"analytics", "log", "after_app"}, {"analytics", "log", "later"}},
         refused},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        ToolFixture tool;
        const auto script = tool.folder / "session.txt";
        {
            std::ofstream(script) << "screen\nquit\n";
        }
        REQUIRE(tool.run({"app", "--data", tool.data().string(), "--script", script.string()}).status == 0);
        const auto session = tool.storedNames();
        REQUIRE(session.count("_f") == 1);
        for (auto arguments : entry.commands) {
            arguments.insert(arguments.end(), {"--data", tool.data().string()});
            const Run result = tool.run(arguments, entry.variables);
            CHECK_MESSAGE(result.status == 0, result.err);
            CHECK(result.err.find("older than the max queue time") == std::string::npos);
        }
        const auto after = tool.storedNames();
        for (const auto& name : session) CHECK(after.count(name) >= session.count(name));
    }
}

TEST_CASE("A database that cannot be used is set aside, and the event is stored and dumped") {
    struct Case {
        const char* what;
        std::function<void(ToolFixture&)> damage;
    };
    const std::vector<Case> cases = {
        {"a folder in place of the database", [](ToolFixture& t) { fs::create_directories(t.database()); }},
        {"a fifo in place of the database",
         [](ToolFixture& t) {
             fs::create_directories(t.database().parent_path());
             REQUIRE(mkfifo(t.database().c_str(), 0600) == 0);
         }},
        {"a table without its columns",
         [](ToolFixture& t) {
             fs::create_directories(t.database().parent_path());
             t.sql("CREATE TABLE raw_events (something TEXT)");
         }},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        ToolFixture fresh;
        entry.damage(fresh);
        const Run result = fresh.log("after_damage");
        CHECK_MESSAGE(result.status == 0, result.err);
        CHECK(result.err.find("[I-ACS034025]") != std::string::npos);
        CHECK(fs::exists(fresh.database().string() + ".corrupt"));
        const auto names = fresh.storedNames();
        CHECK(names.count("after_damage") == 1);
        CHECK(names.count("before") == 0);
    }
}

namespace {

// The raw events made again with a check that refuses the events of those
// names, "no_room" (their rows kept): a file that refuses some writes of the
// engine, as a full disk does, without being damaged.
void refuseEventsNamed(ToolFixture& tool, const std::string& names) {
    testsupport::runSQL(tool.database(),
          "BEGIN; CREATE TABLE refusing (metadata_fingerprint INTEGER NOT NULL, name TEXT NOT NULL, timestamp REAL NOT "
          "NULL, data BLOB NOT NULL, is_realtime INTEGER NOT NULL DEFAULT 0, clock INTEGER, CONSTRAINT no_room CHECK "
          "(name NOT IN (" + names + "))); INSERT INTO refusing (rowid, metadata_fingerprint, name, timestamp, data, "
          "is_realtime, clock) SELECT rowid, metadata_fingerprint, name, timestamp, data, is_realtime, clock FROM "
          "raw_events; DROP TABLE raw_events; ALTER TABLE refusing RENAME TO raw_events; COMMIT");
}

}  // namespace

TEST_CASE("An event that is not stored makes the command fail with the reason") {
    ToolFixture tool;
    REQUIRE(tool.log("before").status == 0);
    refuseEventsNamed(tool, "'refused', '_cmp', 'kuvo_calculate', '_vs'");
    const auto script = tool.folder / "session.txt";
    {
        std::ofstream(script) << "screen\nquit\n";
    }
    struct Case {
        std::vector<std::string> command;
        std::string said;
    };
    const Case cases[] = {
        {{"analytics", "log", "refused"}, "the event was not stored: "},
        {{"analytics", "open", "bern://open?utm_source=mail"}, "velmora analytics open: event _cmp was not stored: "},
        // The calculation itself is shown all the same.
        {{"calc", "--k", "2", "--n", "5", "--p", "0.3"}, "velmora: event kuvo_calculate was not stored: "},
        // The session's screen view, when it goes on to the end.
        {{"app", "--script", script.string()}, "velmora app: event _vs was not stored: "},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.command[1]);
        auto command = entry.command;
        command.insert(command.end(), {"--data", tool.data().string()});
        const Run result = tool.run(command);
        CHECK(result.status == 1);
        CHECK_MESSAGE(result.err.find(entry.said) != std::string::npos, result.err);
        CHECK(result.err.find("no_room") != std::string::npos);
    }
    // The database itself is usable: it is kept.
    CHECK_FALSE(fs::exists(tool.database().string() + ".corrupt"));
    CHECK(tool.log("taken").status == 0);
}

TEST_CASE("With the service failing or absent the commands return once the event is stored") {
    ToolFixture tool;
    testsupport::LoopbackServer service;
    testsupport::ScriptedResponse failure;
    failure.status = 500;
    service.answer("/a", failure);
    service.answer("/config/app/velmora-bernoulli-ios", failure);
    const std::map<std::string, std::string> services = {{"failing", service.url("")},
                                                         {"absent", "http://127.0.0.1:9"}};
    for (const auto& entry : services) {
        const std::string& what = entry.first;
        const std::string& url = entry.second;
        CAPTURE(what);
        const std::vector<std::string> variables = {"VELMORA_MEASUREMENT_SERVICE_URL=" + url};
        const Run logged = tool.log("offline_" + what, variables);
        CHECK(logged.status == 0);
        // The upload's attempt ended with its failure; nothing waited for a
        // retry.
        CHECK(logged.err.find("did not finish") == std::string::npos);
        const Run calculated =
            tool.run({"calc", "--k", "2", "--n", "5", "--p", "0.3"},
                     {"VELMORA_MEASUREMENT_SERVICE_URL=" + url, "VELMORA_DATA=" + tool.data().string()});
        CHECK(calculated.status == 0);
        CHECK(calculated.err.find("did not finish") == std::string::npos);
        CHECK(calculated.err.find("not stored") == std::string::npos);
    }
    CHECK(service.requestCount() >= 2);
    const auto names = tool.storedNames();
    CHECK(names.count("offline_failing") == 1);
    CHECK(names.count("offline_absent") == 1);
}

TEST_CASE("A command waits for the answer of the batch it sent, so that the next run does not send it again") {
    ToolFixture tool;
    testsupport::LoopbackServer service;
    const std::vector<std::string> variables = {"VELMORA_MEASUREMENT_SERVICE_URL=" + service.url("")};
    // The service takes the first batch and answers it only when the test
    // lets it: later than the 10 s in which a command starts batches, well
    // within the request's own timeout (60 s).
    testsupport::ScriptedResponse confirmation;
    confirmation.status = 204;
    testsupport::ScriptedResponse late = confirmation;
    late.hold = true;
    service.answer("/a", late);
    Process first({"analytics", "log", "answered_late", "--data", tool.data().string()}, variables, tool.folder.path(),
                  "late");
    REQUIRE(service.waitForHeld(1, 60));
    CHECK_FALSE(first.endsWithin(15));
    service.answer("/a", confirmation);
    service.release();
    const Run answered = first.wait();
    CHECK(answered.status == 0);
    CHECK_MESSAGE(answered.err.find("did not end") == std::string::npos, answered.err);

    const Run next = tool.log("answered_at_once", variables);
    REQUIRE(next.status == 0);
    CHECK(receivedEvents(service) == std::multiset<std::string>{"answered_at_once", "answered_late"});
    const auto left = tool.storedNames();
    CHECK(left.count("answered_late") == 0);
    CHECK(left.count("answered_at_once") == 0);
}

TEST_CASE("velmora analytics config returns with the configuration while the batch it let go is held") {
    ToolFixture tool;
    REQUIRE(tool.log("stored_before").status == 0);
    testsupport::LoopbackServer service;
    // The configuration comes at once, with a request timeout longer than
    // the command's own wait was; the batch is held.
    const auto bytes =
        config_test::ConfigBuilder().version(7).setting("measurement.network.network_timeout", "120").bytes();
    service.answer("/config/app/velmora-bernoulli-ios", {200, {}, std::string(bytes.begin(), bytes.end())});
    service.answer("/a", {204, {}, "", "application/octet-stream", 0, true});
    Process config({"analytics", "config", "--data", tool.data().string()},
                   {"VELMORA_MEASUREMENT_SERVICE_URL=" + service.url("")}, tool.folder.path(), "config");
    REQUIRE(service.waitForHeld(1, 60));
    CHECK(config.printsWithin("configuration version 7\n", 30));
    service.release();
    const Run result = config.wait();
    CHECK_MESSAGE(result.status == 0, result.err);
    CHECK(receivedEvents(service) == std::multiset<std::string>{"stored_before"});
}

TEST_CASE("The dump lists the rows it cannot read with their row ID and reason") {
    ToolFixture tool;
    REQUIRE(tool.log("kept").status == 0);
    REQUIRE(tool.log("damaged").status == 0);
    tool.sql("UPDATE raw_events SET data = x'ffff' WHERE name = 'damaged'");
    tool.sql("INSERT INTO queue (rowid, data, bundle_end_timestamp) VALUES (77, x'010203', 1)");
    tool.sql("INSERT INTO user_attributes (rowid, name, origin, set_timestamp, value) VALUES (5, 'p', 'app', 1, x'00')");
    const auto dump = tool.dump();
    std::map<std::string, std::pair<long long, std::string>> unreadable;
    for (const auto& row : dump["unreadable_rows"]) {
        unreadable[row["table"].get<std::string>()] = {row["rowid"].get<long long>(), row["reason"].get<std::string>()};
    }
    REQUIRE(unreadable.size() == 3);
    CHECK(unreadable["raw_events"].second == "the event data does not decode");
    CHECK(unreadable["queue"].first == 77);
    CHECK(unreadable["queue"].second.find("does not inflate") != std::string::npos);
    CHECK(unreadable["user_attributes"] == std::pair<long long, std::string>{5, "the value is neither text nor a number"});
    std::vector<std::string> names;
    for (const auto& event : dump["raw_events"]) names.push_back(event["name"]);
    CHECK(std::count(names.begin(), names.end(), "kept") == 1);
    CHECK(std::count(names.begin(), names.end(), "damaged") == 0);
}

namespace {

// Every path under the folder, to tell that nothing was made.
std::set<std::string> pathsUnder(const fs::path& folder) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) paths.insert(entry.path().string());
    return paths;
}

void setWritable(const fs::path& folder, bool writable) {
    const auto bits = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        fs::permissions(entry.path(), bits, writable ? fs::perm_options::add : fs::perm_options::remove);
    }
    fs::permissions(folder, bits, writable ? fs::perm_options::add : fs::perm_options::remove);
}

// The dump of a data folder that cannot be written. Permissions do not
// hold back the superuser: the dump then runs as an unprivileged user, to
// whom the folder is read-only.
Run readOnlyDump(ToolFixture& tool) {
    setWritable(tool.data(), false);
    std::vector<std::string> argv;
    if (geteuid() == 0) {
        fs::permissions(tool.folder.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
        argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    argv.insert(argv.end(), {geteuid() == 0 ? toolForOtherUsers() : std::string(VELMORA_TOOL_PATH), "analytics",
                             "dump", "--data", tool.data().string()});
    const auto outPath = tool.folder / "readonly.out";
    const auto errPath = tool.folder / "readonly.err";
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    REQUIRE((out >= 0 && err >= 0));
    const pid_t pid = testsupport::spawnChild(argv, testsupport::environmentWith({}), out, err);
    close(out);
    close(err);
    Run run;
    run.status = testsupport::waitForChild(pid, 60);
    run.out = testsupport::readText(outPath);
    run.err = testsupport::readText(errPath);
    setWritable(tool.data(), true);
    return run;
}

// How often the dump lists a raw event of that name.
long rawEventCount(const Run& dump, const std::string& name) {
    const auto events = nlohmann::json::parse(dump.out)["raw_events"];
    return std::count_if(events.begin(), events.end(), [&](const auto& event) { return event["name"] == name; });
}

}  // namespace

TEST_CASE("The dump only reads: a read-only data folder is read, and a missing one is reported, not made") {
    ToolFixture tool;
    REQUIRE(tool.log("kept").status == 0);

    SUBCASE("a folder that cannot be written") {
        const auto before = pathsUnder(tool.data());
        const Run dump = readOnlyDump(tool);
        CHECK_MESSAGE(dump.status == 0, dump.err);
        CHECK(rawEventCount(dump, "kept") == 1);
        CHECK(pathsUnder(tool.data()) == before);
    }
    SUBCASE("a log left without its index: its rows are read, in a folder that can be written or not") {
        // As a writer killed once the index was gone: the event is in the
        // log alone.
        const std::string log = tool.database().string() + "-wal";
        REQUIRE(fs::file_size(log) > 0);
        for (const bool writable : {true, false}) {
            CAPTURE(writable);
            fs::remove(tool.database().string() + "-shm");
            const auto before = pathsUnder(tool.data());
            const Run dump =
                writable ? tool.run({"analytics", "dump", "--data", tool.data().string()}) : readOnlyDump(tool);
            CHECK_MESSAGE(dump.status == 0, dump.err);
            CHECK(rawEventCount(dump, "kept") == 1);
            auto after = pathsUnder(tool.data());
            // The index of the log, which any reader of it makes where it
            // can, and through which it reads beside the writers.
            CHECK(after.erase(tool.database().string() + "-shm") == (writable ? 1u : 0u));
            CHECK(after == before);
            CHECK(fs::file_size(log) > 0);
        }
    }
    SUBCASE("a folder that does not exist") {
        const auto missing = tool.folder / "missing";
        const Run result = tool.run({"analytics", "dump", "--data", missing.string()});
        CHECK(result.status == 1);
        CHECK(result.err.find("no data folder at " + missing.string()) != std::string::npos);
        CHECK(result.out.empty());
        CHECK_FALSE(fs::exists(missing));
    }
    SUBCASE("a folder where nothing is stored yet: an empty dump, and nothing made in it") {
        const auto fresh = tool.folder / "fresh";
        fs::create_directory(fresh);
        const Run result = tool.run({"analytics", "dump", "--data", fresh.string()});
        CHECK_MESSAGE(result.status == 0, result.err);
        CHECK(nlohmann::json::parse(result.out)["raw_events"].empty());
        CHECK(fs::is_empty(fresh));
    }
}

TEST_CASE("The dump of a file that lacks tables lists the rest and names what it lacks, changing nothing") {
    ToolFixture tool;
    REQUIRE(tool.log("kept").status == 0);
    struct Case {
        std::string what;
        std::string statement;  // run on the stored file; empty: a file of 0 bytes
        std::string missing;    // what the standard error names
        std::size_t events;     // the raw events still listed
    };
    const std::vector<Case> cases = {
        {"a dropped queue", "DROP TABLE queue", "queue", 2},
        {"dropped properties and headers", "DROP TABLE user_attributes; DROP TABLE raw_events_metadata",
         "raw_events_metadata and user_attributes", 2},
        {"a file of 0 bytes", "", "raw_events_metadata, raw_events, queue and user_attributes", 0},
    };
    const auto kept = tool.folder / "kept";
    fs::copy(tool.data(), kept, fs::copy_options::recursive);
    for (const auto& c : cases) {
        CAPTURE(c.what);
        fs::remove_all(tool.data());
        fs::copy(kept, tool.data(), fs::copy_options::recursive);
        if (c.statement.empty()) {
            for (const char* beside : {"-wal", "-shm"}) fs::remove(tool.database().string() + beside);
            fs::resize_file(tool.database(), 0);
        } else {
            tool.sql(c.statement);
        }
        const std::string before = testsupport::readText(tool.database());
        const Run dump = tool.run({"analytics", "dump", "--data", tool.data().string()});
        CAPTURE(dump.err);
        CHECK(dump.status == 0);
        CHECK(dump.err.find("velmora analytics dump: the database holds no table " + c.missing +
                            " (read as holding no row); nothing was changed\n") != std::string::npos);
        CHECK(dump.err.find("no such table") == std::string::npos);
        const auto listed = nlohmann::json::parse(dump.out);
        CHECK(listed["raw_events"].size() == c.events);
        CHECK(listed["queued_bundles"].empty());
        CHECK(listed["user_properties"].empty());
        CHECK(listed["damage"].empty());
        CHECK(testsupport::readText(tool.database()) == before);
    }
}

TEST_CASE("A lock another process keeps is waited for once, up to the bound: the command says which, and fails "
          "only when the event is not stored") {
    const std::vector<std::string> bound{"VELMORA_LOCK_WAIT_SECONDS=0.3"};
    struct Case {
        std::string what;
        const char* lockFile;
        bool stopped;
        // What the command says of it, after "gave up waiting for the lock of ".
        const char* purpose;
        // Whether the folder was used before: the settings are written only
        // when something in them changes, as at a first run.
        bool usedBefore;
        bool stored;
    };
    const Case cases[] = {
        // As `flock -x <database>-lock sleep 75`.
        {"the measurement database's lock", "rozeda-app-measurement.sql-lock", false,
         "the database rozeda-app-measurement.sql", true, false},
        // As an `analytics log` stopped in the middle of its settings write.
        {"the settings' lock", "rozeda-measurement-settings.plist.lock", true, "the engine's settings", false, true},
        {"the experiments database's lock", "rozeda_experimentation_database.sql-lock", false,
         "the database rozeda_experimentation_database.sql", true, true},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        ToolFixture tool;
        if (entry.usedBefore) REQUIRE(tool.log("before").status == 0);
        const auto folder = tool.database().parent_path();
        const auto settings = folder / "rozeda-measurement-settings.plist";
        const std::string settingsBefore = entry.usedBefore ? testsupport::readText(settings) : "";
        const std::string lock = (folder / entry.lockFile).string();
        fs::create_directories(folder);
        {
            testsupport::FileLockHolder holder(lock, true);
            if (entry.stopped) holder.stop();
            const std::string held =
                "process " + std::to_string(holder.pid()) + (entry.stopped ? " (stopped)" : "");
            const Run result = tool.log("held", bound);
            // Failed only when the event is not stored, so that a caller
            // that tries again on failure stores nothing twice.
            CHECK(result.status == (entry.stored ? 0 : 1));
            const std::string waiting = "Waiting for the lock of " + std::string(entry.purpose) + ", held by " + held +
                                        ", for up to 0.3 s. Lock file: " + lock;
            CHECK_MESSAGE(result.err.find(waiting) != std::string::npos, result.err);
            // Once: the writes and opens after the first wait only try.
            CHECK(result.err.find(waiting, result.err.find(waiting) + 1) == std::string::npos);
            CHECK(result.err.find(std::string("velmora analytics log: ") + (entry.stored ? "warning: " : "") +
                                  "gave up waiting for the lock of " + entry.purpose) != std::string::npos);
            CHECK(result.err.find(lock + " stayed locked by " + held + " for 0.3 s") != std::string::npos);
            CHECK((result.err.find("the event was not stored") == std::string::npos) == entry.stored);
            if (!entry.stored) {
                // The dump, which only reads, waits as long and says why.
                const Run dump = tool.run({"analytics", "dump", "--data", tool.data().string()}, bound);
                CHECK(dump.status == 1);
                CHECK(dump.err.find("velmora analytics dump: Failed to open database: ") != std::string::npos);
                CHECK(dump.err.find(lock + " stayed locked by " + held + " for 0.3 s") != std::string::npos);
            }
        }
        // What was stored stays; the event is there when it was stored.
        CHECK((entry.usedBefore ? testsupport::readText(settings) == settingsBefore : !fs::exists(settings)));
        CHECK(tool.log("after").status == 0);
        const auto names = tool.storedNames();
        CHECK(names.count("before") == (entry.usedBefore ? 1u : 0u));
        CHECK(names.count("held") == (entry.stored ? 1u : 0u));
        CHECK(names.count("after") == 1);
        CHECK(fs::exists(settings));
    }
}

TEST_CASE("Each command fails on a lock given up only when what it was to store is not stored") {
    const char* const measurement = "rozeda-app-measurement.sql-lock";
    const char* const settings = "rozeda-measurement-settings.plist.lock";
    const char* const experiments = "rozeda_experimentation_database.sql-lock";
    testsupport::TempDir scripts;
    testsupport::writeText(scripts / "quit.script", "quit\n");
    const std::vector<std::string> app{"app", "--script", (scripts / "quit.script").string()};
    const std::vector<std::string> calc{"calc", "--k", "2", "--n", "5", "--p", "0.3"};
    // The command's name, its arguments, the lock held and the status. Consent is kept in the
    // preferences; the app instance ID that processes share, in the measurement database.
    const std::tuple<std::string, std::vector<std::string>, const char*, int> cases[] = {
        {"analytics purchase", {"analytics", "purchase", "coins", "--price", "0.99"}, settings, 0},
        {"analytics open", {"analytics", "open", "bern://open?utm_source=mail"}, experiments, 0},
        {"analytics open", {"analytics", "open", "bern://open?utm_source=mail"}, measurement, 1},
        {"analytics consent", {"analytics", "consent", "ad_storage=granted"}, measurement, 0},
        {"analytics identity", {"analytics", "identity"}, measurement, 1},
        {"calc", calc, settings, 0}, {"calc", calc, measurement, 1},
        {"experiments", {"experiments"}, settings, 0}, {"experiments", {"experiments"}, experiments, 1},
        {"app", app, settings, 0}, {"app", app, measurement, 1},
    };
    for (const auto& entry : cases) {
        const std::string said = "velmora " + std::get<0>(entry) + (std::get<3>(entry) == 0 ? ": warning: " : ": ");
        CAPTURE(said);
        CAPTURE(std::get<2>(entry));
        ToolFixture tool;
        fs::create_directories(tool.database().parent_path());
        testsupport::FileLockHolder holder((tool.database().parent_path() / std::get<2>(entry)).string(), true);
        auto arguments = std::get<1>(entry);
        arguments.insert(arguments.end(), {"--data", tool.data().string()});
        const Run result = tool.run(arguments, {"VELMORA_LOCK_WAIT_SECONDS=0.3"});
        CHECK(result.status == std::get<3>(entry));
        CHECK_MESSAGE(result.err.find(said + "gave up waiting for the lock of ") != std::string::npos, result.err);
    }
}

TEST_CASE("A lock wait that is no number of seconds is refused before anything starts") {
    ToolFixture tool;
    for (const char* text : {"soon", "-1", "3601", "1e3", "nan", ""}) {
        CAPTURE(text);
        const Run result = tool.log("never", {std::string("VELMORA_LOCK_WAIT_SECONDS=") + text});
        CHECK(result.status == 2);
        CHECK(result.err == std::string("velmora: VELMORA_LOCK_WAIT_SECONDS is a number of seconds from 0 to 3600 "
                                         "(such as 30 or 0.5), not \"") + text + "\"\n");
    }
    CHECK_FALSE(fs::exists(tool.data()));
}

namespace {

// Every file under the folder with its bytes.
std::map<std::string, std::string> filesUnder(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) files[entry.path().string()] = testsupport::readText(entry.path());
    }
    return files;
}

// The leaf pages of a table, in key order, with the rows each holds (from
// SQLite's page statistics).
std::vector<std::pair<std::int64_t, std::int64_t>> leafPages(const fs::path& database, const std::string& table) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, "SELECT pageno, ncell FROM dbstat WHERE name = ? AND pagetype = 'leaf' ORDER BY path",
                               -1, &statement, nullptr) == SQLITE_OK);
    sqlite3_bind_text(statement, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    std::vector<std::pair<std::int64_t, std::int64_t>> pages;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        pages.emplace_back(sqlite3_column_int64(statement, 0), sqlite3_column_int64(statement, 1));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return pages;
}

// The events logged so far doubled `times` over, all in the file: its log
// copied into it. The leaf pages of the raw events then.
std::vector<std::pair<std::int64_t, std::int64_t>> doubleEvents(ToolFixture& tool, int times) {
    for (int i = 0; i < times; ++i) {
        tool.sql("INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data, is_realtime, clock) "
                 "SELECT metadata_fingerprint, name, timestamp, data, is_realtime, clock FROM raw_events");
    }
    tool.sql("PRAGMA wal_checkpoint(TRUNCATE)");
    return leafPages(tool.database(), "raw_events");
}

// Copies of an event until the last leaf of the raw events is full: the
// next event splits it. The leaf pages of the raw events then.
std::vector<std::pair<std::int64_t, std::int64_t>> fillLastLeaf(ToolFixture& tool) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(tool.database().c_str(), &db) == SQLITE_OK);
    for (const auto leaves = leafPages(tool.database(), "raw_events").size();;) {
        REQUIRE(sqlite3_exec(db, "BEGIN; INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data, "
                                 "is_realtime, clock) SELECT metadata_fingerprint, name, timestamp, data, is_realtime, "
                                 "clock FROM raw_events WHERE rowid = 2",
                             nullptr, nullptr, nullptr) == SQLITE_OK);
        sqlite3_stmt* count = nullptr;
        REQUIRE(sqlite3_prepare_v2(db, "SELECT count(*) FROM dbstat WHERE name = 'raw_events' AND pagetype = 'leaf'", -1,
                                   &count, nullptr) == SQLITE_OK);
        const bool split =
            sqlite3_step(count) == SQLITE_ROW && static_cast<std::size_t>(sqlite3_column_int64(count, 0)) != leaves;
        sqlite3_finalize(count);
        REQUIRE(sqlite3_exec(db, split ? "ROLLBACK" : "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK);
        if (split) break;
    }
    REQUIRE(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr) == SQLITE_OK);
    sqlite3_close(db);
    return leafPages(tool.database(), "raw_events");
}

// 600 bytes of a fixed pattern written over a page of the database, from
// `offset` on within it.
void writeOverPage(const fs::path& database, std::int64_t page, std::int64_t offset = 0) {
    constexpr std::int64_t kPageSize = 4096;
    std::fstream file(database, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp((page - 1) * kPageSize + offset);
    for (int i = 0; i < 600; ++i) file.put(static_cast<char>(i * 131 % 256));
}

}  // namespace

TEST_CASE("The dump of a damaged database prints every row that still reads, reports the damage and changes no file") {
    constexpr int kDoublings = 9;  // 512 times the rows logged, on tens of leaf pages
    struct Case {
        const char* what;
        // Committed after the damage by a connection that keeps its log.
        bool keptLog;
    };
    for (const Case entry : {Case{"no log beside the file", false}, Case{"a log kept beside the file", true}}) {
        const std::string what = entry.what;
        CAPTURE(what);
        ToolFixture tool;
        REQUIRE(tool.log("stored").status == 0);
        const auto pages = doubleEvents(tool, kDoublings);
        REQUIRE(pages.size() >= 4);
        const auto [page, rowsOnPage] = pages[pages.size() / 2];
        writeOverPage(tool.database(), page);
        std::int64_t stored = 0;
        for (const auto& leaf : pages) stored += leaf.second;
        if (entry.keptLog) {
            sqlite3* db = nullptr;
            REQUIRE(sqlite3_open(tool.database().c_str(), &db) == SQLITE_OK);
            REQUIRE(sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK);
            REQUIRE(sqlite3_exec(db,
                                 "INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data, is_realtime, "
                                 "clock) SELECT metadata_fingerprint, name, timestamp, data, is_realtime, clock FROM "
                                 "raw_events WHERE rowid = 1",
                                 nullptr, nullptr, nullptr) == SQLITE_OK);
            sqlite3_close(db);
            REQUIRE(fs::exists(tool.database().string() + "-wal"));
            ++stored;
        }
        const auto before = filesUnder(tool.data());

        const Run result = tool.run({"analytics", "dump", "--data", tool.data().string()});
        CHECK(result.status == 0);
        CHECK(result.err.find("the database is damaged") != std::string::npos);
        const auto dump = nlohmann::json::parse(result.out.empty() ? "{}" : result.out);
        CHECK(dump["raw_events"].size() == static_cast<std::size_t>(stored - rowsOnPage));
        REQUIRE(dump["damage"].size() == 1);
        const auto& damage = dump["damage"][0];
        CHECK(damage["table"] == "raw_events");
        // The rows of the page lie between the last read before it and the
        // first read after it.
        CHECK(damage["before_rowid"].get<std::int64_t>() - damage["after_rowid"].get<std::int64_t>() - 1 == rowsOnPage);
        const auto after = filesUnder(tool.data());
        for (const auto& file : after) {
            CHECK_MESSAGE((before.count(file.first) && before.at(file.first) == file.second), file.first);
        }
        CHECK(after.size() == before.size());
    }
}

namespace {

// A folder whose database holds a few hundred events, with the start of the
// last leaf page of the raw events written over (as the store's damage tests
// do): the check at every open finds it.
void damageLastEventsLeaf(ToolFixture& tool) {
    constexpr int kDoublings = 8;
    REQUIRE(tool.log("stored").status == 0);
    const auto pages = doubleEvents(tool, kDoublings);
    REQUIRE(pages.size() >= 4);
    writeOverPage(tool.database(), pages.back().first);
}

}  // namespace

TEST_CASE("An event logged on a damaged database that another process has open is stored in the file the next start "
          "reads, or the command fails") {
    struct Case {
        const char* what;
        // The holder lets go once the command waits for it.
        bool letGo;
        const char* bound;
    };
    for (const Case entry : {Case{"kept open past the bound", false, "0.3"}, Case{"let go meanwhile", true, "60"}}) {
        const std::string what = entry.what;
        CAPTURE(what);
        ToolFixture tool;
        damageLastEventsLeaf(tool);
        // As `velmora app` with the file open.
        testsupport::FileLockHolder holder(tool.database().string() + "-lock", false);
        Process logging({"analytics", "log", "held", "--data", tool.data().string()},
                        {std::string("VELMORA_LOCK_WAIT_SECONDS=") + entry.bound}, tool.folder.path(), "held");
        if (entry.letGo) {
            CHECK(logging.saysWithin("Waiting for the other processes that have the database open", 60));
            holder.letGo();
        }
        const Run result = logging.wait();
        if (!entry.letGo) holder.letGo();
        CHECK_MESSAGE(result.status == (entry.letGo ? 0 : 1), result.err);
        if (!entry.letGo) {
            CHECK(result.err.find("the event was not stored: ") != std::string::npos);
            CHECK(result.err.find("Database is damaged and cannot be replaced now") != std::string::npos);
        }
        CHECK(tool.log("after").status == 0);
        const auto names = tool.storedNames();
        CHECK(names.count("held") == (entry.letGo ? 1u : 0u));
        CHECK(names.count("after") == 1);
        CHECK(fs::exists(tool.database().string() + ".corrupt"));
    }
}

TEST_CASE("Processes started together on a damaged database: each that succeeds has its event in the file the next "
          "start reads") {
    constexpr int kRounds = 2;
    constexpr int kProcesses = 20;
    for (int round = 0; round < kRounds; ++round) {
        CAPTURE(round);
        ToolFixture tool;
        damageLastEventsLeaf(tool);
        // Held open until every one of them has found the damage and waits.
        testsupport::FileLockHolder holder(tool.database().string() + "-lock", false);
        std::vector<Process> processes;
        processes.reserve(kProcesses);
        for (int i = 0; i < kProcesses; ++i) {
            processes.emplace_back(std::vector<std::string>{"analytics", "log", "damaged_" + std::to_string(i),
                                                            "--data", tool.data().string()},
                                   std::vector<std::string>{}, tool.folder.path(), "damaged" + std::to_string(i));
        }
        for (auto& process : processes) {
            CHECK(process.saysWithin("Waiting for the other processes that have the database open", 60));
        }
        holder.letGo();
        std::vector<int> statuses;
        for (auto& process : processes) {
            const Run result = process.wait();
            CHECK_MESSAGE(result.status == 0, result.err);
            statuses.push_back(result.status);
        }
        const auto names = tool.storedNames();
        for (int i = 0; i < kProcesses; ++i) {
            CAPTURE(i);
            CHECK(names.count("damaged_" + std::to_string(i)) == (statuses[i] == 0 ? 1u : 0u));
        }
        // Carried once, by one of them.
        CHECK(fs::exists(tool.database().string() + ".corrupt"));
        CHECK_FALSE(fs::exists(tool.database().string() + ".corrupt-2"));
    }
}

namespace {

// Turns one byte of the page of a frame of the database's log that a later
// frame holds again (the first such, a middle one or the last): no reader
// needs it, but SQLite's checksums stop there, and with them every commit
// after it.
void turnByteOfSupersededFrame(ToolFixture& tool, const std::string& which) {
    const std::string path = tool.database().string() + "-wal";
    std::string log = testsupport::readText(path);
    REQUIRE(log.size() > 32);
    auto word = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(log[at + i]);
        return value;
    };
    const std::size_t frameSize = 24 + word(8);
    std::vector<std::uint32_t> pages;
    for (std::size_t at = 32; at + frameSize <= log.size(); at += frameSize) pages.push_back(word(at));
    std::vector<std::size_t> superseded;
    for (std::size_t frame = 0; frame < pages.size(); ++frame) {
        if (std::find(pages.begin() + static_cast<std::ptrdiff_t>(frame) + 1, pages.end(), pages[frame]) != pages.end()) {
            superseded.push_back(frame);
        }
    }
    REQUIRE(superseded.size() >= 3);
    const std::size_t frame = which == "first" ? superseded.front()
                              : which == "last" ? superseded.back()
                                                : superseded[superseded.size() / 2];
    REQUIRE(testsupport::overwriteBytes(path, 32 + frame * frameSize + 24 + frameSize / 2,
                                        std::string(1, static_cast<char>(log[32 + frame * frameSize + 24 + frameSize / 2] ^ 0x20))));
}

}  // namespace

TEST_CASE("One byte of a superseded frame of the log, after one-event processes or during an app session, loses no "
          "acknowledged event: the damage is said and one copy set aside") {
    const std::vector<std::string> offline = {"VELMORA_MEASUREMENT_SERVICE_URL=http://127.0.0.1:9"};
    for (const std::string which : {"first", "middle", "last"}) {
        for (const bool session : {false, true}) {
            CAPTURE(which);
            CAPTURE(session);
            ToolFixture tool;
            std::vector<std::string> acknowledged;
            if (!session) {
                for (int i = 0; i < 20; ++i) {
                    const std::string name = "logged_" + std::to_string(i);
                    REQUIRE(tool.log(name, offline).status == 0);
                    acknowledged.push_back(name);
                }
                turnByteOfSupersededFrame(tool, which);
                // The dump, which only reads, lists every event read past the
                // damaged frame, and names that frame as damage.
                const auto listed = tool.dump();
                REQUIRE(listed["damage"].size() == 1);
                CHECK(listed["damage"][0]["table"] == "sqlite_master");
                CHECK(listed["damage"][0]["error"].get<std::string>().find("its log's frame") != std::string::npos);
                const auto dumped = tool.storedNames();
                for (const auto& name : acknowledged) CHECK(dumped.count(name) == 1);
            } else {
                // The session stores a campaign event for each link it is
                // opened with; the byte is turned while it runs.
                int input[2];
                REQUIRE(pipe2(input, O_CLOEXEC) == 0);
                const int out = open((tool.folder / "app.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                const int err = open((tool.folder / "app.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                const pid_t app = testsupport::spawnChild({VELMORA_TOOL_PATH, "app", "--data", tool.data().string()},
                                                          testsupport::environmentWith(offline), input[0], out, err);
                close(input[0]);
                close(out);
                close(err);
                auto play = [&](int first, int last) {
                    std::string commands;
                    for (int i = first; i <= last; ++i) {
                        commands += "open velmora://calc?utm_source=s" + std::to_string(i) + "&utm_campaign=c" +
                                    std::to_string(i) + "\nwait\n";
                    }
                    commands += "events\n";
                    REQUIRE(write(input[1], commands.data(), commands.size()) == static_cast<ssize_t>(commands.size()));
                    const std::string shown = "source=\"s" + std::to_string(last) + "\"";
                    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                    while (testsupport::readText(tool.folder / "app.out").find(shown) == std::string::npos) {
                        REQUIRE(std::chrono::steady_clock::now() < limit);
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    }
                };
                play(1, 8);
                turnByteOfSupersededFrame(tool, which);
                play(9, 15);
                // Beside the session, whose index of the log still reads
                // past the damaged frame, an event is stored, not refused.
                const Run beside = tool.log("beside", offline);
                CHECK_MESSAGE(beside.status == 0, beside.err);
                if (beside.status == 0) acknowledged.push_back("beside");
                REQUIRE(write(input[1], "quit\n", 5) == 5);
                close(input[1]);
                CHECK(testsupport::waitForChild(app, 60) == 0);
                for (int i = 1; i <= 15; ++i) acknowledged.push_back("_cmp");
            }
            const Run next = tool.log("after", offline);
            CHECK_MESSAGE(next.status == 0, next.err);
            // By the session itself, at a table's first write after the
            // byte was turned, or by the next process.
            const std::string said = next.err + (session ? testsupport::readText(tool.folder / "app.err") : "");
            CHECK(said.find("its log's frame") != std::string::npos);
            CHECK(said.find("Database is damaged. Set aside") != std::string::npos);
            acknowledged.push_back("after");
            const auto stored = tool.storedNames();
            for (const auto& name : std::set<std::string>(acknowledged.begin(), acknowledged.end())) {
                CAPTURE(name);
                CHECK(stored.count(name) == static_cast<std::size_t>(std::count(acknowledged.begin(), acknowledged.end(), name)));
            }
            CHECK(fs::exists(tool.database().string() + ".corrupt"));
            CHECK_FALSE(fs::exists(tool.database().string() + ".corrupt-2"));
        }
    }
}

// The app instance ID the engine hands out now, in that data folder.
std::string appInstanceID(ToolFixture& tool) {
    const Run identity = tool.run({"analytics", "identity", "--json", "--data", tool.data().string()});
    REQUIRE(identity.status == 0);
    return nlohmann::json::parse(identity.out).value("app_instance_id", "");
}

TEST_CASE("Damage in the app metadata is found, dumped and carried: no second first open, and the app instance ID "
          "kept while the settings hold it, a new one only with a word") {
    constexpr std::int64_t kPageSize = 4096;
    for (const bool settingsKept : {true, false}) {
        CAPTURE(settingsKept);
        ToolFixture tool;
        REQUIRE(tool.log("before").status == 0);
        const std::string instanceID = appInstanceID(tool);
        REQUIRE_FALSE(instanceID.empty());
        tool.sql("PRAGMA wal_checkpoint(TRUNCATE)");
        const auto pages = leafPages(tool.database(), "app_metadata");
        REQUIRE(pages.size() == 1);
        // Random bytes past the page's header: its one cell points past
        // the page, and its row reads as none rather than fail. Only
        // SQLite's check of the table, in the one row it gives, says so.
        REQUIRE(testsupport::overwriteBytes(tool.database(), static_cast<std::size_t>((pages[0].first - 1) * kPageSize + 8),
                                            testsupport::seededBytes(1, 600)));
        if (!settingsKept) REQUIRE(fs::remove(tool.database().parent_path() / "rozeda-measurement-settings.plist"));

        const Run dump = tool.run({"analytics", "dump", "--data", tool.data().string()});
        CHECK(dump.status == 0);
        const auto damage = nlohmann::json::parse(dump.out.empty() ? "{}" : dump.out)["damage"];
        CHECK(std::any_of(damage.begin(), damage.end(), [](const auto& d) { return d["table"] == "app_metadata"; }));

        const Run after = tool.log("after");
        CHECK_MESSAGE(after.status == 0, after.err);
        for (const char* code : {"[I-ACS034002]", "[I-ACS012004]"}) {
            CHECK_MESSAGE(after.err.find(code) != std::string::npos, code);
        }
        CHECK((after.err.find("[I-ACS023073]") == std::string::npos) == settingsKept);
        CHECK((appInstanceID(tool) == instanceID) == settingsKept);
        const auto names = tool.storedNames();
        CHECK(names.count("_f") == 1);
        CHECK(names.count("before") == 1);
        CHECK(names.count("after") == 1);
    }
}

TEST_CASE("A file header SQLite refuses: the dump says why it read nothing and changes no file; the next event sets "
          "the file aside, carries what reads, and is stored") {
    struct Case {
        const char* what;
        std::size_t offset;
        std::string bytes;
        // What SQLite says of the file; none when it reads it (but will not write it).
        std::optional<std::string> refusal;
        // Whether its rows still read from their cells, which SQLite's
        // refusal of the header leaves as they were.
        bool carried = false;
        // The file cut after its first page, with an empty log beside it,
        // which a read that takes the log into memory would delete.
        bool cutWithEmptyLog = false;
    };
    const std::vector<Case> cases = {
        {"the schema format number 9", 44, std::string("\0\0\0\x09", 4), "unsupported file format", true},
        {"no database's first bytes", 0, "not a database!", "file is not a database"},
        {"a write version past SQLite's", 18, "\x07", std::nullopt, true},
        {"the first page alone, an empty log beside it", 0, "", "database disk image is malformed", false, true},
    };
    for (const auto& entry : cases) {
        const std::string what = entry.what;
        CAPTURE(what);
        ToolFixture tool;
        REQUIRE(tool.log("before").status == 0);
        tool.sql("PRAGMA wal_checkpoint(TRUNCATE)");
        REQUIRE(testsupport::overwriteBytes(tool.database(), entry.offset, entry.bytes));
        if (entry.cutWithEmptyLog) {
            constexpr std::uintmax_t kPageSize = 4096;  // the engine's files', SQLite's default
            fs::resize_file(tool.database(), kPageSize);
            testsupport::writeText(tool.database().string() + "-wal", "");
            fs::remove(tool.database().string() + "-shm");
        }
        const auto damaged = testsupport::readText(tool.database());
        const auto files = filesUnder(tool.data());

        const Run dump = tool.run({"analytics", "dump", "--data", tool.data().string()});
        CHECK_MESSAGE(dump.status == 0, dump.err);
        const auto read = nlohmann::json::parse(dump.out.empty() ? "{}" : dump.out);
        CHECK(read["raw_events"].empty() == entry.refusal.has_value());
        CHECK(read["damage"].size() == (entry.refusal ? 1u : 0u));
        if (entry.refusal && read["damage"].size() == 1) {
            CHECK(read["damage"][0]["table"] == "sqlite_master");
            CHECK(read["damage"][0]["error"].get<std::string>().find(*entry.refusal) != std::string::npos);
            CHECK(dump.err.find("nothing could be read: the file does not read as a database: " + *entry.refusal) !=
                  std::string::npos);
        }
        // Each file as it was; a log without an index is read through one
        // made for it, as by every reader of the log.
        auto left = filesUnder(tool.data());
        if (entry.cutWithEmptyLog) left.erase(tool.database().string() + "-shm");
        CHECK(left == files);

        const Run after = tool.log("after");
        CHECK_MESSAGE(after.status == 0, after.err);
        CHECK(after.err.find("[I-ACS034002]") != std::string::npos);
        CHECK(testsupport::readText(tool.database().string() + ".corrupt") == damaged);
        const auto names = tool.storedNames();
        CHECK(names.count("after") == 1);
        // Carried when its cells still read; the first open is not said again.
        CHECK(names.count("before") == (entry.carried ? 1u : 0u));
        CHECK(names.count("_f") == (entry.carried ? 1u : 0u));
        CHECK(tool.log("later").status == 0);
    }
}

namespace {

constexpr double kRunLimitSeconds = 120;

void giveToNobody(const fs::path& folder) { testsupport::giveToOtherUser(folder); }

// The tool run as the other user, with the variables; none, with why, when
// this process cannot switch to it or the tool cannot run as that user.
std::optional<Run> runAsNobody(const fs::path& logs, const std::vector<std::string>& arguments,
                               const std::vector<std::string>& variables, std::string* why) {
    const auto probe = testsupport::runAsOtherUser({toolForOtherUsers(), "--help"}, variables, logs, "probe",
                                                   kRunLimitSeconds, why);
    if (!probe) return std::nullopt;
    if (probe->status != 0) {
        *why = "the tool cannot run as user " + std::to_string(testsupport::kOtherUser) +
               " here (its folder, or setpriv, refuses)";
        return std::nullopt;
    }
    std::vector<std::string> command{toolForOtherUsers()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const auto run = testsupport::runAsOtherUser(command, variables, logs, "as-nobody", kRunLimitSeconds, why);
    if (!run) return std::nullopt;
    return Run{run->status, run->out, run->err};
}

}  // namespace

TEST_CASE("A database the user may only read is kept as it is: the event is not stored, and nothing is set aside") {
    ToolFixture tool;
    REQUIRE(tool.log("before").status == 0);
    fs::permissions(tool.folder.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
    giveToNobody(tool.data());
    fs::permissions(tool.database(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string stored = testsupport::readText(tool.database());
    // A copy of the resources beside the data: the source tree may lie in
    // a folder only its owner can enter.
    const fs::path resources = tool.folder.path() / "resources";
    fs::copy(VELMORA_SOURCE_DIR "/velmora/resources", resources, fs::copy_options::recursive);
    std::string why;
    const auto run = runAsNobody(tool.folder.path(), {"analytics", "log", "refused", "--data", tool.data().string()},
                                 {"VELMORA_RESOURCES=" + resources.string()}, &why);
    if (!run) {
        MESSAGE("skipped: " << why);
        return;
    }
    CHECK_MESSAGE(run->status == 1, run->err);
    CHECK(run->err.find("velmora analytics log: the event was not stored: ") != std::string::npos);
    CHECK(testsupport::readText(tool.database()) == stored);
    CHECK_FALSE(fs::exists(tool.database().string() + ".corrupt"));
    CHECK(tool.storedNames() == std::multiset<std::string>{"_f", "before"});
}

TEST_CASE("What this user may not make is refused or said with the system's cause, once, by the commands that store") {
    using Cases = std::vector<std::pair<std::vector<std::string>, std::string>>;
    for (const bool made : {false, true}) {
        CAPTURE(made);
        ToolFixture tool;
        // Only root writes in the test's folder; made, the data folder is the user's but for the engine's folder.
        const fs::path root = tool.folder.path();
        fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        fs::copy(VELMORA_SOURCE_DIR "/velmora/resources", root / "resources", fs::copy_options::recursive);
        std::ofstream(root / "quit.script") << "quit\n";
        if (made) {
            fs::create_directories(tool.data() / "Preferences");
            giveToNobody(tool.data());
            fs::create_directories(tool.data() / "Application Support");
        }
        const std::string data = tool.data().string(), support = data + "/Application Support";
        const std::vector<std::string> app = {"app", "--script", (root / "quit.script").string()};
        // Not made: each command's name; made: a part of what it says.
        const Cases cases = !made ? Cases{{app, "velmora app"}, {{"analytics", "log", "x"}, "velmora analytics log"},
                                          {{"analytics", "identity"}, "velmora analytics identity"},
                                          {{"analytics", "consent", "ad_storage=denied"}, "velmora analytics consent"},
                                          {{"calc", "--k", "1", "--n", "2", "--p", "0.5"}, "velmora calc"},
                                          {{"experiments"}, "velmora experiments"}}
                                  : Cases{{app, support + "/RemoteConfig cannot be made: Permission denied"},
                                          {{"analytics", "purchase", "pro", "--price", "1", "--receipt"},
                                           "the receipt cannot be written: cannot write " + support +
                                               "/Store/receipt: the folder " + support + "/Store cannot be made: "
                                               "Permission denied\n"}};
        for (auto [arguments, said] : cases) {
            arguments.insert(arguments.end(), {"--data", data});
            std::string why;
            const auto run = runAsNobody(root, arguments, {"VELMORA_RESOURCES=" + (root / "resources").string()}, &why);
            if (!run) {
                MESSAGE("skipped: " << why);
                return;
            }
            CAPTURE(run->err);
            CHECK((run->out + run->err).find("No such file or directory") == std::string::npos);
            CHECK(run->status == (made ? 1 : 2));
            // Not made: one line with the system's reason, and nothing run.
            const std::string expected = made ? said : said + ": --data cannot be made: " + root.string() +
                                                           " takes no new folder from this user (Permission denied): " +
                                                           data + "\n";
            CHECK((run->out + run->err).find(expected) != std::string::npos);
            if (!made) CHECK(run->err == expected);
        }
        if (!made) CHECK_FALSE(fs::exists(tool.data()));
    }
}

TEST_CASE("A name in a damaged file's schema reaches the standard error escaped, from the dump and from the engine") {
    ToolFixture tool;
    REQUIRE(tool.log("before").status == 0);
    // A name of bytes that are no UTF-8, and that would clear the terminal.
    const std::string name = "bad\xff\x1b[2J";
    tool.sql("PRAGMA writable_schema = ON; INSERT INTO sqlite_master VALUES ('table', CAST(x'626164ff1b5b324a' AS "
             "TEXT), CAST(x'626164ff1b5b324a' AS TEXT), 0, 'CREATE TABLE bad (a')");
    const std::string escaped = "bad\\xff\\x1b[2J";
    const Run dump = tool.run({"analytics", "dump", "--data", tool.data().string()});
    const Run logged = tool.log("after");
    for (const Run& run : {dump, logged}) {
        CAPTURE(run.err);
        CHECK(run.err.find(name) == std::string::npos);
        CHECK(run.err.find('\x1b') == std::string::npos);
    }
    CHECK(logged.err.find(escaped) != std::string::npos);
    // The schema read as far as it parses: the events are dumped, and the
    // schema named as damage, in the JSON's own escapes.
    CHECK(dump.err.find("velmora analytics dump: the database is damaged: 1 stretch(es)") != std::string::npos);
    const auto read = nlohmann::json::parse(dump.out.empty() ? "{}" : dump.out);
    CHECK(std::any_of(read["raw_events"].begin(), read["raw_events"].end(),
                      [](const auto& event) { return event["name"] == "before"; }));
    REQUIRE(read["damage"].size() == 1);
    CHECK(read["damage"][0]["table"] == "sqlite_master");
    CHECK(read["damage"][0]["error"].get<std::string>().find("malformed database schema (bad") != std::string::npos);
}

namespace {

// Gives rows of the raw events values of other types than the table
// declares, as damage to their cells' bytes leaves them: the declared types,
// through which SQLite would convert them, are set aside meanwhile.
void storeAsDamageLeavesThem(ToolFixture& tool, const std::vector<std::string>& updates) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(tool.database().c_str(), &db) == SQLITE_OK);
    sqlite3_stmt* read = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE name = 'raw_events'", -1, &read, nullptr) ==
            SQLITE_OK);
    REQUIRE(sqlite3_step(read) == SQLITE_ROW);
    const std::string declared = reinterpret_cast<const char*>(sqlite3_column_text(read, 0));
    sqlite3_finalize(read);
    sqlite3_close(db);
    auto setSchema = [&](const std::string& sql) {
        std::string quoted;
        for (const char c : sql) quoted += c == '\'' ? std::string("''") : std::string(1, c);
        tool.sql("PRAGMA writable_schema = ON; UPDATE sqlite_master SET sql = '" + quoted +
                 "' WHERE name = 'raw_events'");
    };
    setSchema("CREATE TABLE raw_events (metadata_fingerprint, name, timestamp, data, is_realtime, clock)");
    for (const auto& update : updates) tool.sql(update);
    setSchema(declared);
}

// The first column of the first row a query gives on a database file.
std::int64_t integerIn(const fs::path& database, const std::string& query) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    std::int64_t value = -1;
    auto first = [](void* out, int, char** columns, char**) {
        *static_cast<std::int64_t*>(out) = std::stoll(columns[0]);
        return 0;
    };
    const int rc = sqlite3_exec(db, query.c_str(), first, &value, nullptr);
    sqlite3_close(db);
    REQUIRE(rc == SQLITE_OK);
    return value;
}

}  // namespace

TEST_CASE("A carried file with cells that damage gave values of other types uploads every event that reads, and "
          "nothing else") {
    ToolFixture tool;
    REQUIRE(tool.log("stored").status == 0);
    const auto pages = doubleEvents(tool, 8);
    REQUIRE(pages.size() >= 4);
    // A name that is a real, one that is an integer, data that is a real, a
    // fingerprint that is a real: rows of the first leaves. Counted from the
    // last, so that each offset still names a row called "stored".
    auto row = [](int offset) {
        return "WHERE rowid = (SELECT rowid FROM raw_events WHERE name = 'stored' ORDER BY rowid LIMIT 1 OFFSET " +
               std::to_string(offset) + ")";
    };
    storeAsDamageLeavesThem(tool, {"UPDATE raw_events SET name = 1.5 " + row(40),
                                   "UPDATE raw_events SET name = 12 " + row(30),
                                   "UPDATE raw_events SET data = 2.5 " + row(20),
                                   "UPDATE raw_events SET metadata_fingerprint = 2.5 " + row(10)});
    // The events that will read, each value of its declared type: all but
    // those given other types, and those of the last leaf (the highest row
    // IDs), which damage the open finds: the file is carried.
    std::int64_t stored = 0;
    for (const auto& [page, rows] : pages) stored += rows;
    const auto readable = integerIn(tool.database(), "SELECT count(*) FROM raw_events WHERE rowid <= " +
                                                         std::to_string(stored - pages.back().second) +
                                                         " AND name = 'stored' AND typeof(metadata_fingerprint) = "
                                                         "'integer' AND typeof(data) = 'blob'");
    writeOverPage(tool.database(), pages.back().first);
    // The dump lists each of those rows as damage, with what was wrong.
    const auto damage = tool.dump()["damage"];
    for (const char* wrong : {"\"name\" holds a real where it is declared TEXT",
                              "\"name\" holds an integer where it is declared TEXT",
                              "\"data\" holds a real where it is declared BLOB",
                              "\"metadata_fingerprint\" holds a real where it is declared INTEGER"}) {
        CAPTURE(wrong);
        CHECK(std::count_if(damage.begin(), damage.end(), [&](const auto& stretch) {
                  return stretch["error"].template get<std::string>().find(wrong) != std::string::npos;
              }) == 1);
    }

    testsupport::LoopbackServer service;
    service.answer("/a", {204, {}, "", "application/octet-stream", 0, false});
    const Run logged = tool.log("after", {"VELMORA_MEASUREMENT_SERVICE_URL=" + service.url("")});
    CHECK_MESSAGE(logged.status == 0, logged.err);
    REQUIRE(fs::exists(tool.database().string() + ".corrupt"));
    const auto received = receivedEvents(service);
    CHECK(static_cast<std::int64_t>(received.count("stored")) == readable);
    CHECK(received.count("after") == 1);
    CHECK(received.size() == received.count("stored") + received.count("after"));
    CHECK(tool.storedNames().count("stored") == 0);
}

namespace {

// What the second holds more than the first.
std::multiset<std::string> added(const std::multiset<std::string>& before, std::multiset<std::string> after) {
    for (const auto& name : before) {
        if (const auto found = after.find(name); found != after.end()) after.erase(found);
    }
    return after;
}

// The events a command names as not stored, each as often as it says so.
std::multiset<std::string> namedNotStored(const std::string& err, const std::string& command) {
    std::multiset<std::string> names;
    const std::string head = command + ": event ";
    for (auto at = err.find(head); at != std::string::npos; at = err.find(head, at + 1)) {
        const auto start = at + head.size();
        names.insert(err.substr(start, err.find(' ', start) - start));
    }
    return names;
}

}  // namespace

TEST_CASE("A database whose last leaf of raw events is damaged past its header keeps every event a command "
          "acknowledges, and the command names each it does not") {
    // Past the page's header, where the check at open does not look: the
    // page's largest row ID reads wrong. Or two bytes over the last cell
    // pointer of a full leaf: SQLite reads the page's largest row ID as a
    // smaller one, and the next event would split the page under it, where
    // the look-ups of the rows above it no longer lead (the seed is one that
    // loses them so).
    constexpr std::uint32_t kLastPointerSeed = 33;
    auto prepared = [](ToolFixture& tool, bool damaged, bool lastPointer) {
        REQUIRE(tool.log("stored").status == 0);
        auto pages = doubleEvents(tool, 8);
        if (lastPointer) pages = fillLastLeaf(tool);
        const std::int64_t page = pages.back().first, cells = pages.back().second;
        if (damaged && !lastPointer) writeOverPage(tool.database(), page, 8);
        if (damaged && lastPointer) {
            const auto pointer = static_cast<std::size_t>((page - 1) * 4096 + 8 + 2 * (cells - 1));
            REQUIRE(testsupport::overwriteBytes(tool.database(), pointer, testsupport::seededBytes(kLastPointerSeed, 2)));
        }
        return tool.storedNames();
    };
    auto session = [](ToolFixture& tool) {
        std::ofstream(tool.folder / "session.txt") << "screen\nalert Accept\ntap Next\nquit\n";
        return std::vector<std::string>{"app", "--script", (tool.folder / "session.txt").string(), "--data",
                                        tool.data().string()};
    };
    // 0: the application; below 0, that many processes on the last pointer damaged.
    for (const int processes : {1, 6, 0, -1, -6}) {
        CAPTURE(processes);
        ToolFixture tool;
        const auto before = prepared(tool, true, processes < 0);
        std::multiset<std::string> expected, accounted;
        std::vector<Process> running;
        for (int i = 0; i < std::max(std::abs(processes), 1); ++i) {
            const std::string name = "acked_" + std::to_string(i);
            expected.insert(name);
            running.emplace_back(processes == 0 ? session(tool)
                                                : std::vector<std::string>{"analytics", "log", name, "--data",
                                                                           tool.data().string()},
                                 std::vector<std::string>{}, tool.folder.path(), name);
        }
        for (int i = 0; i < std::max(std::abs(processes), 1); ++i) {
            const Run result = running[i].wait();
            CAPTURE(result.err);
            const bool said = result.err.find("velmora analytics log: the event was not stored: ") != std::string::npos;
            const auto named = processes == 0 ? namedNotStored(result.err, "velmora app")
                               : said         ? std::multiset<std::string>{"acked_" + std::to_string(i)}
                                              : std::multiset<std::string>{};
            accounted.insert(named.begin(), named.end());
            CHECK((result.status == 0) == named.empty());
        }
        if (processes == 0) {  // the events of the same session on the same rows undamaged
            ToolFixture control;
            const auto controlBefore = prepared(control, false, false);
            REQUIRE(control.run(session(control)).status == 0);
            expected = added(controlBefore, control.storedNames());
        }
        const auto after = tool.storedNames();
        const auto kept = added(before, after);
        accounted.insert(kept.begin(), kept.end());
        CHECK(accounted == expected);
        // Every event that read before the commands still reads.
        CHECK(std::includes(after.begin(), after.end(), before.begin(), before.end()));
    }
}

TEST_CASE("velmora calc with measurement switched off names each event it left out once, and succeeds") {
    ToolFixture tool;
    fs::create_directories(tool.database().parent_path());
    testsupport::writeText(tool.database().parent_path() / "rozeda-measurement-settings.plist",
                           "<plist version=\"1.0\"><dict><key>/rozeda/measurement/measurement_enabled</key><false/>"
                           "</dict></plist>");
    const Run result = tool.run({"calc", "--k", "2", "--n", "5", "--p", "0.3", "--data", tool.data().string()});
    CHECK_MESSAGE(result.status == 0, result.err);
    CHECK(namedNotStored(result.err, "velmora") == std::multiset<std::string>{"_f", "kuvo_calculate"});
    CHECK(result.err.find("was not stored: analytics is disabled") != std::string::npos);
}

TEST_CASE("Nothing a database file holds runs: its triggers, or statements after a declaration, whose file is "
          "carried into one of the engine's own declarations") {
    struct Case {
        const char* what;
        std::string change;
        // Damage beside the change, which makes the next command carry.
        bool headerRefusesWrites = false;
    };
    const std::string elsewhere = "ELSEWHERE";
    const std::vector<Case> cases = {
        {"a trigger that deletes the earlier events", testsupport::kTriggerDeletingEarlierEvents},
        {"a trigger that renames the new event", testsupport::kTriggerRenamingNewEvent},
        {"a trigger that refuses every event", testsupport::kTriggerRefusingEveryEvent},
        {"a declaration that goes on to attach another file and write into it, and a header that refuses writes",
         "PRAGMA writable_schema = ON; UPDATE sqlite_master SET sql = sql || '; ATTACH ''" + elsewhere +
             "'' AS x; CREATE TABLE x.t (a); INSERT INTO x.t VALUES (''from the file'')' WHERE name = 'raw_events'",
         true},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        ToolFixture tool;
        const fs::path outside = tool.folder / "outside" / "x.db";
        fs::create_directories(outside.parent_path());
        REQUIRE(tool.log("before").status == 0);
        std::string change = entry.change;
        for (auto at = change.find(elsewhere); at != std::string::npos; at = change.find(elsewhere)) {
            change.replace(at, elsewhere.size(), outside.string());
        }
        testsupport::runSQL(tool.database(), change + "; PRAGMA wal_checkpoint(TRUNCATE)");
        if (entry.headerRefusesWrites) {
            REQUIRE(testsupport::overwriteBytes(tool.database(), testsupport::kWriteVersionAt,
                                                testsupport::kWriteVersionPastSQLite));
        }

        const Run after = tool.log("after");
        CHECK_MESSAGE(after.status == 0, after.err);
        CHECK(after.err.find("[I-ACS034002]") != std::string::npos);
        CHECK_FALSE(fs::exists(outside));
        const auto names = tool.storedNames();
        CHECK(names.count("before") == 1);
        CHECK(names.count("after") == 1);
        CHECK(names.count("renamed") == 0);
        const fs::path aside = tool.database().string() + ".corrupt";
        CHECK(integerIn(aside, "SELECT count(*) FROM sqlite_master WHERE sql LIKE '%CREATE TRIGGER%' OR sql LIKE "
                               "'%ATTACH%'") == 1);
        CHECK(integerIn(tool.database(), "SELECT count(*) FROM sqlite_master WHERE sql LIKE '%CREATE TRIGGER%' OR "
                                         "sql LIKE '%ATTACH%'") == 0);
    }
}
