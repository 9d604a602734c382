// Tests of the attribution token stand-in.
#include <doctest/doctest.h>

#include <set>

#include "platform/frameworks/ad_services/aa_attribution.h"

using platform::AAAttribution;

TEST_CASE("the attribution class is found by its name while linked, and hands out tokens or scripted errors") {
    AAAttribution::reset();
    CHECK(AAAttribution::classExists("AAAttribution"));
    CHECK_FALSE(AAAttribution::classExists("AAAttributionX"));
    AAAttribution::setLinked(false);
    CHECK_FALSE(AAAttribution::classExists("AAAttribution"));
    AAAttribution::setLinked(true);

    std::set<std::string> tokens;
    for (int i = 0; i < 3; ++i) {
        std::optional<platform::AAAttributionError> error;
        auto token = AAAttribution::attributionTokenWithError(&error);
        REQUIRE(token);
        CHECK_FALSE(error);
        tokens.insert(*token);
    }
    CHECK(tokens.size() == 3);

    AAAttribution::failNextTokenRequests(1, {7, "offline"});
    std::optional<platform::AAAttributionError> error;
    CHECK_FALSE(AAAttribution::attributionTokenWithError(&error));
    REQUIRE(error);
    CHECK(error->code == 7);
    CHECK(AAAttribution::attributionTokenWithError(nullptr));

    AAAttribution::setFixedToken("");
    CHECK(AAAttribution::attributionTokenWithError(nullptr) == std::optional<std::string>(""));
    CHECK(AAAttribution::tokenRequestCount() == 6);

    AAAttribution::setServiceBaseURL("http://127.0.0.1:9");
    CHECK(AAAttribution::serviceBaseURL() == std::optional<std::string>("http://127.0.0.1:9"));
    AAAttribution::reset();
    CHECK(AAAttribution::tokenRequestCount() == 0);
}
