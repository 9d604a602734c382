// Tests of the video address forms: identifiers, start times, and what is refused.
#include <doctest/doctest.h>

#include "velmora/shell/video_address.h"

using namespace velmora;

namespace {

const std::string kWatch = std::string("https://") + kVideoSiteHost + "/watch?v=";
const std::string kShorts = std::string("https://") + kVideoSiteHost + "/shorts/";

}  // namespace

TEST_CASE("video addresses become an identifier and player variables") {
    struct Row {
        std::string address;
        std::optional<std::string> videoId;  // none: refused
        std::optional<std::string> start;
    };
    const std::vector<Row> rows = {
        {kWatch + "bRn9Xq3LpTk", "bRn9Xq3LpTk", std::nullopt},
        {kWatch + "hV7cPz0YwQa&t=90s", "hV7cPz0YwQa", "90"},
        {kWatch + "hV7cPz0YwQa&t=1m30s", "hV7cPz0YwQa", std::nullopt},
        {kWatch + "hV7cPz0YwQa&t=90", "hV7cPz0YwQa", std::nullopt},
        {kWatch + "hV7cPz0YwQa&feature=share", "hV7cPz0YwQa", std::nullopt},
        {kWatch + "hV7cPz0YwQa&t=90s&feature=share", "hV7cPz0YwQa", std::nullopt},  // start not last
        {kWatch + "hV7cPz0YwQa&feature=share&t=0s", "hV7cPz0YwQa", "0"},
        {kWatch + "hV7cPz0YwQa&&t=12s&", "hV7cPz0YwQa", "12"},  // empty pieces are dropped
        {kWatch + "Ab_-9zYx0Wq", "Ab_-9zYx0Wq", std::nullopt},
        // starts that are not plain whole seconds reach the player as nothing
        {kWatch + "hV7cPz0YwQa&t=s", "hV7cPz0YwQa", std::nullopt},
        {kWatch + "hV7cPz0YwQa&t=-5s", "hV7cPz0YwQa", std::nullopt},
        {kWatch + "hV7cPz0YwQa&t=+5s", "hV7cPz0YwQa", std::nullopt},
        {kWatch + "hV7cPz0YwQa&t=9t=0s", "hV7cPz0YwQa", std::nullopt},
        {kWatch + "hV7cPz0YwQa&t=1\"});s", "hV7cPz0YwQa", std::nullopt},
        {kWatch + "hV7cPz0YwQa&t=99999999999999999999s", "hV7cPz0YwQa", std::nullopt},
        // identifiers must be eleven letters, digits, "_" or "-"
        {kWatch + "bRn9Xq3LpT", std::nullopt, std::nullopt},
        {kWatch + "bRn9Xq3LpTkk", std::nullopt, std::nullopt},
        {kWatch + "bRn9Xq3L\"T'", std::nullopt, std::nullopt},
        {kWatch + "bRn9Xq3Lp\xC3\xA9", std::nullopt, std::nullopt},  // ten characters, eleven bytes
        {kWatch + "bRn9Xq3Lp\xC3\xA9k", std::nullopt, std::nullopt},  // eleven characters, not all allowed
        {kWatch, std::nullopt, std::nullopt},
        {kWatch + "&t=90s", std::nullopt, std::nullopt},
        {kShorts + "Kd4mW8sNe2J", "Kd4mW8sNe2J", std::nullopt},
        {kShorts + "Kd4mW8sNe2J?feature=share", std::nullopt, std::nullopt},
        {kShorts + "Kd4mW8sNe2", std::nullopt, std::nullopt},
        {kShorts, std::nullopt, std::nullopt},
        {"https://elsewhere.example/watch?v=bRn9Xq3LpTk", std::nullopt, std::nullopt},
        {"http://" + std::string(kVideoSiteHost) + "/watch?v=bRn9Xq3LpTk", std::nullopt, std::nullopt},
        {std::string("https://") + kVideoSiteHost + "/embed/bRn9Xq3LpTk", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
    };
    for (const auto& row : rows) {
        CAPTURE(row.address);
        auto request = parseVideoAddress(row.address);
        REQUIRE(request.has_value() == row.videoId.has_value());
        if (!request) continue;
        CHECK(request->videoId == *row.videoId);
        CHECK(request->playerVars.at("iv_load_policy") == platform::Value(1));
        auto start = request->playerVars.find("start");
        CHECK((start != request->playerVars.end()) == row.start.has_value());
        if (row.start && start != request->playerVars.end()) CHECK(start->second == platform::Value(*row.start));
        CHECK(request->playerVars.size() == (row.start ? 2u : 1u));
    }
}
