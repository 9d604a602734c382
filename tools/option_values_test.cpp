// The parser's errors that no command of the tool meets yet, ended as every
// other: status 2 and the tool's words.
#include "tools/option_values.h"

#include <doctest/doctest.h>

#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

TEST_CASE("an option given without one it needs, or with one it excludes, ends the command with status 2") {
    struct Case {
        std::string line;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"calc --from 1", "velmora calc: --from needs --to as well\n"},
        {"calc --from 1 --to 2 --all", "velmora calc: --from cannot be given with --all\n"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.line);
        CLI::App app{"velmora"};
        auto* calc = app.add_subcommand("calc");
        std::string from, to;
        bool all = false;
        auto* fromOption = calc->add_option("--from", from, "the first");
        auto* toOption = calc->add_option("--to", to, "the last");
        fromOption->needs(toOption);
        calc->add_flag("--all", all, "every one")->excludes(fromOption);
        std::ostringstream err;
        auto* const kept = std::cerr.rdbuf(err.rdbuf());
        int status = -1;
        try {
            app.parse(c.line, false);
        } catch (const CLI::ParseError& error) {
            status = tools::exitForParseError(app, error);
        }
        std::cerr.rdbuf(kept);
        CAPTURE(err.str());
        CHECK(status == 2);
        CHECK(err.str().find(c.err) != std::string::npos);
    }
}

TEST_CASE("a size in points is two plain decimals joined by x, each within the bounds") {
    const std::vector<std::pair<std::string, std::optional<std::pair<double, double>>>> cases = {
        {"390x844", {{390, 844}}}, {"100x4096", {{100, 4096}}}, {"390.5x844", {{390.5, 844}}},
        {"", std::nullopt}, {"x", std::nullopt}, {"390", std::nullopt}, {"99x844", std::nullopt},
        {"390x4097", std::nullopt}, {"1e3x844", std::nullopt}, {" 390x844", std::nullopt}, {"+390x844", std::nullopt},
        {"390.x844", std::nullopt}, {"390x844x2", std::nullopt}, {"390X844", std::nullopt}, {"nanxnan", std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string& text = c.first;
        const auto& size = c.second;
        CAPTURE(text);
        const auto read = tools::readPointSize(text, 100, 4096);
        REQUIRE(read.has_value() == size.has_value());
        if (read) CHECK(std::pair{read->width, read->height} == *size);
    }
}
