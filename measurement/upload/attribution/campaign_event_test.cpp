// Tests of the campaign event of a link: the parameter table, click identifiers under consent, the event and click times.
#include <doctest/doctest.h>

#include <map>

#include "measurement/upload/attribution/attribution_test_support.h"
#include "measurement/foundation/event_parameters.h"
#include "platform/foundation/process_info.h"

using namespace attribution_test;
using platform::Value;

namespace {

using Expected = std::map<std::string, std::string>;

// The event's parameters as text, its origin parameter left out.
Expected textParameters(const APMEvent& event) {
    Expected text;
    for (const auto& [name, value] : event.parameters()) {
        if (name != kAPMOriginParameter) text[name] = value.stringValue();
    }
    return text;
}

}  // namespace

TEST_CASE("an opened link becomes a campaign event with its renamed parameters") {
    const struct {
        const char* name;
        const char* url;
        Value::Dictionary extras;
        const char* event;  // none: no event, the code is logged instead
        Expected parameters;
        long code;
    } cases[] = {
        {"source and medium; unknown keys dropped", "bern://open?utm_source=news&utm_medium=mail&foo=bar", {}, "_cmp",
         {{"source", "news"}, {"medium", "mail"}}, 0},
        {"every key of the table under its event name",
         "https://example.org/p?aclid=a&anid=b&utm_campaign=c&cis=d&utm_content=e&cp1=f&dclid=g&gad_source=h&gclid=i"
         "&gbraid=j&utm_medium=k&utm_source=l&srsltid=m&utm_term=n&utm_id=o&utm_creative_format=p"
         "&utm_marketing_tactic=q&utm_source_platform=r&sfmc_id=s",
         {}, "_cmp",
         {{"aclid", "a"}, {"anid", "b"}, {"campaign", "c"}, {"_cis", "d"}, {"content", "e"}, {"cp1", "f"},
          {"dclid", "g"}, {"gad_source", "h"}, {"gclid", "i"}, {"gbraid", "j"}, {"medium", "k"}, {"source", "l"},
          {"srsltid", "m"}, {"term", "n"}, {"campaign_id", "o"}, {"creative_format", "p"}, {"marketing_tactic", "q"},
          {"source_platform", "r"}, {"sfmc_id", "s"}},
         0},
        {"content and cp1 alone make no campaign", "bern://open?cp1=x&utm_content=y", {}, nullptr, {},
         kAPMDeepLinkInvalidParamsCode},
        {"an empty value neither validates nor reaches the event", "bern://open?utm_source=&utm_campaign=spring", {},
         "_cmp", {{"campaign", "spring"}}, 0},
        {"only an empty campaign value", "bern://open?utm_source=", {}, nullptr, {}, kAPMDeepLinkInvalidParamsCode},
        {"no query", "bern://open", {}, nullptr, {}, kAPMDeepLinkQueryEmptyCode},
        {"not a URL, no extras", "(not set)", {}, nullptr, {}, kAPMDeepLinkQueryEmptyCode},
        {"escaped values are decoded", "bern://open?utm_source=caf%C3%A9+bar&utm_term=a%26b", {}, "_cmp",
         {{"source", "caf\xC3\xA9 bar"}, {"term", "a&b"}}, 0},
        {"the query beats an extra of the same name", "bern://open?utm_source=query",
         {{"utm_source", "extra"}, {"utm_medium", "extra"}}, "_cmp", {{"source", "query"}, {"medium", "extra"}}, 0},
        {"extras alone, the expired mark names _cmpx", "(not set)",
         {{"utm_source", "(not set)"}, {"utm_medium", "(not set)"}, {"_cc", 1}}, "_cmpx",
         {{"source", "(not set)"}, {"medium", "(not set)"}, {"_cc", "1"}}, 0},
        {"a number extra keeps its name; other values are dropped", "bern://open?gbraid=g1",
         {{"_cc", 1700000000000LL}, {"weird", Value::Array{}}}, "_cmp",
         {{"gbraid", "g1"}, {"_cc", "1700000000000"}}, 0},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.name));
        LinksFixture f;
        f.onWorker([&](APMDeepLinks& links) { links.handleOpenURLOnWorkerQueue(c.url, std::nullopt, 1700000100, c.extras); });
        if (!c.event) {
            CHECK(f.host->events.empty());
            CHECK(f.monitor().hasCode(c.code));
            continue;
        }
        REQUIRE(f.host->events.size() == 1);
        const auto& event = f.host->events[0];
        CHECK(event.name() == c.event);
        CHECK(event.origin() == "auto");
        CHECK_FALSE(event.isPublic());
        CHECK(textParameters(event) == c.parameters);
    }
}

TEST_CASE("click identifiers need an advertising identifier or authorised tracking") {
    const struct {
        const char* os;
        bool advertisingID;
        long status;
        bool kept;
    } cases[] = {
        {"13.7", false, 2, true},
        {"17.4", true, 2, true},
        {"17.4", false, 3, true},
        {"17.4", false, 0, false},
        {"17.4", false, 2, false},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.os));
        CAPTURE(c.status);
        LinksFixture f;
        platform::ProcessInfo::setOSVersion(c.os);
        if (!c.advertisingID) f.support()->idfa.reset();
        f.support()->status = c.status;
        // A click identifier handed over as a number is one too.
        f.onWorker([](APMDeepLinks& links) {
            links.handleOpenURLOnWorkerQueue("bern://open?gclid=G&dclid=D&srsltid=S&gbraid=B&utm_source=s",
                                             std::nullopt, 1700000100, {{"gclid", 42}});
        });
        REQUIRE(f.host->events.size() == 1);
        const auto parameters = textParameters(f.host->events[0]);
        Expected expected{{"gbraid", "B"}, {"source", "s"}};
        if (c.kept) expected.insert({{"gclid", "42"}, {"dclid", "D"}, {"srsltid", "S"}});
        CHECK(parameters == expected);
        // "gbraid" stays either way and becomes the "_gbraid" user property.
        REQUIRE(f.host->properties.size() == 1);
        CHECK(f.host->properties[0].name() == "_gbraid");
        CHECK(f.host->properties[0].value().stringValue() == "B");
        CHECK(f.host->properties[0].origin() == "auto");
    }
}

TEST_CASE("the event time, the click time and long values") {
    LinksFixture f;
    const double firstOpen = 1700000500.25;
    f.persisted().setFirstOpenTimestampMilliseconds(1700000500250);
    f.onWorker([](APMDeepLinks& links) {
        links.handleOpenURLOnWorkerQueue("bern://a?utm_source=early", 1700000499999, 1700000400, {});
        links.handleOpenURLOnWorkerQueue("bern://a?utm_source=late&utm_campaign=" + std::string(600, 'x'),
                                         std::nullopt, 1700000600, {});
    });
    REQUIRE(f.host->events.size() == 2);
    // Raised to the first open; the click time as given.
    CHECK(f.host->events[0].timestamp() == firstOpen);
    CHECK(textParameters(f.host->events[0]) ==
          Expected{{"source", "early"}, {"click_timestamp", "1700000499999"}});
    CHECK(f.host->events[1].timestamp() == 1700000600);
    // A value from outside is cut like every event's.
    CHECK(textParameters(f.host->events[1]).at("campaign") == std::string(500, 'x'));
    CHECK(f.monitor().hasCode(kAPMParameterValueTrimmedCode));
}
