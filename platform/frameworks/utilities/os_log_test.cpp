// The platform logger's lines and their memory.
#include <doctest/doctest.h>

#include "platform/frameworks/utilities/os_log.h"

using namespace platform;

TEST_CASE("platform logger lines are kept, newest last, up to the capacity") {
    RULOSClearLoggedLines();
    RULOSLogInfo("<Tag>", "I-ACS036001", "first");
    RULOSLogWarning("<Tag>", "I-ACS036005", "second");
    auto lines = RULOSLoggedLines();
    REQUIRE(lines.size() == 2);
    CHECK(lines[0].level == RULOSLogLevel::info);
    CHECK(lines[1].level == RULOSLogLevel::warning);
    CHECK(lines[1].text() == "<Tag>[I-ACS036005] second");

    for (std::size_t i = 0; i < kRULOSLogCapacity; ++i) RULOSLogInfo("<Tag>", "I-ACS000001", std::to_string(i));
    lines = RULOSLoggedLines();
    CHECK(lines.size() == kRULOSLogCapacity);
    CHECK(lines.front().message == "0");
    CHECK(lines.back().message == std::to_string(kRULOSLogCapacity - 1));
    RULOSClearLoggedLines();
    CHECK(RULOSLoggedLines().empty());
}
