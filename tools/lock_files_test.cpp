// The tool's lock files as others may leave them: no regular file there, one this user cannot open, a
// preferences folder two data folders share, links planted at the names its writes take.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/plist_codec.h"
#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/odd_names.h"
#include "testsupport/other_user.h"
#include "testsupport/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

constexpr double kCommandTimeoutSeconds = 60;
constexpr const char* kSuiteName = "APMAnalyticsSuiteName.plist";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

fs::file_type typeAt(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type();
}

// The tool's own variables of this process are left out.
std::vector<std::string> toolEnvironment() { return testsupport::environmentWith({}, "VELMORA_"); }

struct Outcome {
    int status = -1;
    std::string err;
};

// Commands started together, each with its standard error in a file of
// `scratch`; their outcomes, in order, once all have ended.
std::vector<Outcome> runTogether(const std::vector<std::vector<std::string>>& commands, const fs::path& scratch) {
    std::vector<pid_t> pids;
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (std::size_t i = 0; i < commands.size(); ++i) {
        std::vector<std::string> argv{VELMORA_TOOL_PATH};
        argv.insert(argv.end(), commands[i].begin(), commands[i].end());
        const auto errPath = scratch / ("err-" + std::to_string(i));
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        REQUIRE(err >= 0);
        pids.push_back(testsupport::spawnChild(argv, toolEnvironment(), quiet, err));
        close(err);
    }
    close(quiet);
    std::vector<Outcome> outcomes;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        Outcome outcome;
        outcome.status = testsupport::waitForChild(pids[i], kCommandTimeoutSeconds);
        outcome.err = testsupport::readText(scratch / ("err-" + std::to_string(i)));
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

Outcome runTool(const std::vector<std::string>& arguments, const fs::path& scratch) {
    return runTogether({arguments}, scratch).front();
}

// A session at a prompt on the data folder, once it has answered a command
// (its folders held by then); its standard error kept in a file.
class RunningSession {
public:
    RunningSession(const std::string& folder, const fs::path& errPath) {
        int input[2], output[2];
        REQUIRE(pipe2(input, O_CLOEXEC) == 0);
        REQUIRE(pipe2(output, O_CLOEXEC) == 0);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        REQUIRE(err >= 0);
        pid_ = testsupport::spawnChild({VELMORA_TOOL_PATH, "app", "--data", folder}, toolEnvironment(), input[0],
                                       output[1], err);
        close(input[0]);
        close(output[1]);
        close(err);
        in_ = input[1];
        out_ = output[0];
        REQUIRE(write(in_, "help\n", 5) == 5);
        launched_ = readUntil("quit");
    }
    ~RunningSession() {
        if (in_ >= 0) quit();
    }
    RunningSession(const RunningSession&) = delete;
    RunningSession& operator=(const RunningSession&) = delete;

    pid_t pid() const { return pid_; }
    bool launched() const { return launched_; }
    // Ends it; its exit status.
    int quit() {
        const bool told = write(in_, "quit\n", 5) == 5;
        close(in_);
        in_ = -1;
        const int status = testsupport::waitForChild(pid_, kCommandTimeoutSeconds);
        close(out_);
        return told ? status : -1;
    }

private:
    // Reads what it prints until the text holds `part`, it ends, or the
    // limit passes.
    bool readUntil(const std::string& part) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(int(kCommandTimeoutSeconds));
        std::string text;
        while (!contains(text, part)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd readable{out_, POLLIN, 0};
            if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[4096];
            const ssize_t count = read(out_, buffer, sizeof buffer);
            if (count <= 0) return false;
            text.append(buffer, static_cast<std::size_t>(count));
        }
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    bool launched_ = false;
};

Value::Dictionary consentStored(const fs::path& folder) {
    const auto settings = platform::parsePropertyList(testsupport::readText(folder / "Preferences" / kSuiteName));
    REQUIRE((settings && settings->isDictionary()));
    const auto found = settings->asDictionary().find("consent_settings");
    REQUIRE(found != settings->asDictionary().end());
    return found->second.asDictionary();
}

std::string setAsideSaid(const fs::path& lock, const testsupport::OddKind& kind) {
    return lock.string() + " was " + testsupport::foundAs(kind) + ", not a lock file; set aside as " + lock.string() +
           ".corrupt\n";
}

}  // namespace

TEST_CASE("what lies at app.lock's place that is no regular file is set aside and said; a second session is refused") {
    for (const char* place : {"", "Preferences"}) {
        for (const auto& kind : testsupport::oddKinds()) {
            CAPTURE(place);
            CAPTURE(kind.what);
            testsupport::TempDir data, scratch;
            const std::string folder = data.path().string();
            const auto lock = data.path() / place / "app.lock";
            fs::create_directories(lock.parent_path());
            kind.make(lock, scratch / "outside");
            testsupport::writeText(scratch / "quit.script", "quit\n");
            {
                RunningSession first(folder, scratch / "first.err");
                REQUIRE(first.launched());
                const auto second = runTool({"app", "--script", (scratch / "quit.script").string(), "--data", folder},
                                            scratch.path());
                CHECK(second.status == 2);
                CHECK_MESSAGE(contains(second.err, "velmora app: another app session "), second.err);
                CHECK(contains(second.err, "(process " + std::to_string(first.pid()) + ")"));
                CHECK(first.quit() == 0);
            }
            CHECK(contains(testsupport::readText(scratch / "first.err"), "velmora app: warning: " + setAsideSaid(lock, kind)));
            CHECK(typeAt(lock) == fs::file_type::regular);
            testsupport::checkOutsideUntouched(kind, scratch / "outside");
        }
    }
}

TEST_CASE("two consent commands at once over a suite lock that is no regular file keep both changes; one sets it aside") {
    for (const auto& kind : testsupport::oddKinds()) {
        CAPTURE(kind.what);
        testsupport::TempDir data, scratch;
        const std::string folder = data.path().string();
        REQUIRE(runTool({"analytics", "consent", "ad_storage=granted", "analytics_storage=granted", "--data", folder},
                        scratch.path())
                    .status == 0);
        const auto lock = data.path() / "Preferences" / (std::string(kSuiteName) + ".lock");
        REQUIRE(fs::remove(lock));
        kind.make(lock, scratch / "outside");
        const auto outcomes = runTogether({{"analytics", "consent", "ad_storage=denied", "--data", folder},
                                           {"analytics", "consent", "analytics_storage=denied", "--data", folder}},
                                          scratch.path());
        int said = 0;
        for (const auto& outcome : outcomes) {
            CHECK_MESSAGE(outcome.status == 0, outcome.err);
            said += contains(outcome.err, "user defaults: " + setAsideSaid(lock, kind));
        }
        CHECK(said == 1);
        CHECK(consentStored(data.path()) == Value::Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "denied"}});
        CHECK(typeAt(lock) == fs::file_type::regular);
        testsupport::checkOutsideUntouched(kind, scratch / "outside");
    }
}

TEST_CASE("a lock file this user cannot open refuses the command with the reason, and nothing it would change is kept") {
    testsupport::TempDir data, scratch;
    const std::string folder = data.path().string();
    testsupport::writeText(scratch / "quit.script", "quit\n");
    REQUIRE(runTool({"analytics", "consent", "ad_storage=granted", "analytics_storage=granted", "--data", folder},
                    scratch.path())
                .status == 0);
    // Every mode lets the superuser through: where the tests run as root,
    // the commands run as another user, whose data folder it is, against
    // lock files of root's that it cannot open; with the programs and
    // resources where that user can reach them.
    const bool asOtherUser = ::geteuid() == 0;
    std::vector<std::string> variables;
    if (asOtherUser) {
        testsupport::openToOtherUsers(scratch.path());
        fs::copy(VELMORA_SOURCE_DIR "/velmora/resources", scratch / "resources", fs::copy_options::recursive);
        variables.push_back("VELMORA_RESOURCES=" + (scratch / "resources").string());
        testsupport::giveToOtherUser(data.path());
    }
    auto run = [&](const std::vector<std::string>& arguments) -> std::optional<Outcome> {
        if (!asOtherUser) return runTool(arguments, scratch.path());
        std::vector<std::string> argv{(testsupport::programsForOtherUsers(fs::path(VELMORA_TOOL_PATH).parent_path(),
                                                                          {"velmora", "velmora-app", "velmora-collector"}) /
                                       "velmora")
                                          .string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::string why;
        const auto ran =
            testsupport::runAsOtherUser(argv, variables, scratch.path(), "as-other", kCommandTimeoutSeconds, &why, "VELMORA_");
        if (!ran) {
            MESSAGE("skipped: " << why);
            return std::nullopt;
        }
        return Outcome{ran->status, ran->err};
    };
    struct Case {
        fs::path lock;
        std::vector<std::string> command;
        int status;
        std::string said;  // before the reason
    };
    const std::vector<Case> cases = {
        {data / "app.lock", {"app", "--script", (scratch / "quit.script").string(), "--data", folder}, 2,
         "velmora app: "},
        {data / "Preferences" / "app.lock", {"app", "--script", (scratch / "quit.script").string(), "--data", folder},
         2, "velmora app: "},
        {data / "Preferences" / (std::string(kSuiteName) + ".lock"),
         {"analytics", "consent", "ad_storage=denied", "--data", folder}, 1,
         "velmora analytics consent: the consent given was not kept: "},
    };
    for (const auto& c : cases) {
        CAPTURE(c.lock);
        testsupport::writeText(c.lock, "");
        fs::permissions(c.lock, fs::perms::none);
        const auto outcome = run(c.command);
        if (!outcome) return;
        CHECK(outcome->status == c.status);
        CHECK_MESSAGE(contains(outcome->err, c.said + "its lock file " + c.lock.string() +
                                                 " cannot be locked: Permission denied\n"),
                      outcome->err);
        CHECK(consentStored(data.path()) ==
              Value::Dictionary{{"ad_storage", "granted"}, {"analytics_storage", "granted"}});
        fs::remove(c.lock);
    }
}

TEST_CASE("two data folders that share one preferences folder through a link run one session at a time") {
    testsupport::TempDir folders, scratch;
    const auto first = folders / "first";
    fs::create_directories(first / "Preferences");
    testsupport::writeText(scratch / "quit.script", "quit\n");
    struct Case {
        std::string what;
        fs::path second;
        std::string refusal;
    };
    const auto shared = fs::canonical(first / "Preferences");
    const std::vector<Case> cases = {
        {"a data folder whose Preferences is a link to the first's", folders / "linked-preferences",
         "velmora app: another app session uses the preferences folder " + shared.string() + " (process "},
        {"a link to the first data folder", folders / "linked-folder",
         "velmora app: another app session runs on the data folder " + (folders / "linked-folder").string() +
             " (process "},
    };
    fs::create_directories(cases[0].second);
    fs::create_directory_symlink(first / "Preferences", cases[0].second / "Preferences");
    fs::create_directory_symlink(first, cases[1].second);
    RunningSession session(first.string(), scratch / "first.err");
    REQUIRE(session.launched());
    for (const auto& c : cases) {
        CAPTURE(c.what);
        const auto second =
            runTool({"app", "--script", (scratch / "quit.script").string(), "--data", c.second.string()}, scratch.path());
        CHECK(second.status == 2);
        CHECK_MESSAGE(contains(second.err, c.refusal + std::to_string(session.pid()) + ")"), second.err);
    }
    CHECK(session.quit() == 0);
    // Free again once the first has ended.
    for (const auto& c : cases) {
        CAPTURE(c.what);
        CHECK(runTool({"app", "--script", (scratch / "quit.script").string(), "--data", c.second.string()}, scratch.path())
                  .status == 0);
    }
}

TEST_CASE("links planted at the names a command's writes would take are neither followed nor left") {
    // The files a consent command writes through temporary files.
    const std::vector<std::string> written = {"Preferences/" + std::string(kSuiteName),
                                              "Application Support/Rozeda/Measurement/rozeda-measurement-settings.plist"};
    // Links at the first names of each, for a writer that numbered them.
    constexpr int kPlanted = 16;
    for (const bool toAFile : {true, false}) {
        CAPTURE(toAFile);
        testsupport::TempDir data, scratch;
        const auto outside = scratch / "outside";
        if (toAFile) testsupport::writeText(outside, "another program's");
        for (const auto& name : written) fs::create_directories((data / name).parent_path());
        // The command's process is known before it runs: a shell that waits
        // for a line, then becomes the command.
        int go[2];
        REQUIRE(pipe2(go, O_CLOEXEC) == 0);
        const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
        const pid_t pid = testsupport::spawnChild({"/bin/sh", "-c", "read line && exec \"$0\" \"$@\"", VELMORA_TOOL_PATH,
                                                   "analytics", "consent", "ad_storage=denied", "--data",
                                                   data.path().string()},
                                                  toolEnvironment(), go[0], quiet, quiet);
        close(go[0]);
        close(quiet);
        std::vector<fs::path> planted;
        for (const auto& name : written) {
            for (int n = 0; n < kPlanted; ++n) {
                planted.push_back((data / name).string() + ".tmp-" + std::to_string(pid) + "-" + std::to_string(n));
                fs::create_symlink(toAFile ? outside : scratch / ("nothing-" + std::to_string(planted.size())),
                                   planted.back());
            }
        }
        REQUIRE(write(go[1], "go\n", 3) == 3);
        close(go[1]);
        CHECK(testsupport::waitForChild(pid, kCommandTimeoutSeconds) == 0);
        // Nothing outside the data folder written or made.
        if (toAFile) CHECK(testsupport::readText(outside) == "another program's");
        for (const auto& entry : fs::directory_iterator(scratch.path())) {
            CHECK_MESSAGE(entry.path() == outside, entry.path());
        }
        for (const auto& name : written) CHECK(typeAt(data / name) == fs::file_type::regular);
        for (const auto& link : planted) CHECK_MESSAGE(typeAt(link) == fs::file_type::not_found, link);
        CHECK(consentStored(data.path()).at("ad_storage") == Value("denied"));
    }
}
