#include <doctest/doctest.h>

#include <functional>
#include <type_traits>
#include <unordered_set>

#include "velmora/screens/display_type.h"

using velmora::DisplayType;

TEST_CASE("display types compare and hash by case") {
    CHECK(DisplayType::iPad == DisplayType::iPad);
    CHECK(DisplayType::iPad != DisplayType::iPadProBig);
    CHECK(std::hash<DisplayType>{}(DisplayType::iPad) == std::hash<DisplayType>{}(DisplayType::iPad));
    std::unordered_set<DisplayType> seen{DisplayType::unknown,     DisplayType::iphone4,       DisplayType::iphone5,
                                         DisplayType::iphone6,     DisplayType::iphone6plus,   DisplayType::iPadNonRetina,
                                         DisplayType::iPad,        DisplayType::iPadProBig,    DisplayType::iPad};
    CHECK(seen.size() == 8);
    // Declaration order is the order of the cases.
    CHECK(static_cast<int>(DisplayType::unknown) == 0);
    CHECK(static_cast<int>(DisplayType::iPadProBig) == 7);
    CHECK(std::is_empty_v<velmora::Display>);
}
