#pragma once

#include <compare>
#include <string>

namespace platform::ui {

// A row (or item) of a section.
struct IndexPath {
    int section = 0;
    int row = 0;
    int item() const { return row; }
    auto operator<=>(const IndexPath&) const = default;
};
std::string describe(const IndexPath& path);  // "0,1"

}  // namespace platform::ui
