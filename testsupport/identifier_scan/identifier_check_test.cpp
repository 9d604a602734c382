// The identifiers check as CTest runs it, on a repository of its own: the
// files it must refuse fail it, naming them; those it must take pass.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"

namespace {

struct Run {
    int status = -1;
    std::string out;
};

// Tracks the file (gzipped first when asked) in a new repository and runs
// the check on it; what it printed, both streams.
Run checkRepositoryHolding(const std::string& name, const std::string& text, bool gzipped) {
    testsupport::TempDir repository;
    testsupport::TempDir logs;
    testsupport::writeText(repository / name, text);
    const int out = open((logs / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    REQUIRE(out >= 0);
    const std::string compress = gzipped ? "gzip -n \"$1\" && " : "";
    const std::vector<std::string> argv{
        "/bin/sh", "-c",
        "cd \"$0\" && " + compress +
            "git init -q && git add -A && exec \"$2\" -DSOURCE_DIR=\"$0\" -DSCANNER=\"$3\" -P \"$4\"",
        repository.path().string(), name, CMAKE_COMMAND_PATH, IDENTIFIER_SCAN_PATH, CHECK_IDENTIFIERS_SCRIPT};
    const pid_t pid = testsupport::spawnChild(argv, testsupport::environmentWith({}), out, out);
    close(out);
    Run run;
    run.status = testsupport::waitForChild(pid, 60);
    run.out = testsupport::readText(logs / "out");
    return run;
}

}  // namespace

TEST_CASE("the identifiers check fails on a file holding another product's identifier, stored or gzipped") {
    // Each shape in two string pieces, so that this file holds no match.
    const std::string foreignApp = "1:1111:i" "os:ab12";
    const std::string foreignAds = "c" "a-app-pub-0001";
    struct Case {
        std::string name;
        std::string text;
        bool gzipped;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"seed.json", "{\"app_id\": \"" + foreignApp + "\"}\n", false, true},
        {"Info.plist", "<string>" + foreignAds + "</string>\n", false, true},
        {"seed.json", "{\"app_id\": \"" + foreignApp + "\"}\n", true, true},
        {"seed.json", "{\"app_id\": \"velmora-bernoulli-ios\", \"ads\": \"velmora-ads-bernoulli-1\"}\n", false, false},
        {"seed.json", "{\"app_id\": \"velmora-bernoulli-ios\"}\n", true, false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.text);
        CAPTURE(c.gzipped);
        const auto run = checkRepositoryHolding(c.name, c.text, c.gzipped);
        CAPTURE(run.out);
        CHECK((run.status != 0) == c.refused);
        const std::string stored = c.gzipped ? c.name + ".gz" : c.name;
        CHECK((run.out.find(stored + ": ") != std::string::npos) == c.refused);
        if (!c.refused) CHECK(run.out.find("no tracked file holds a foreign identifier") != std::string::npos);
    }
}
