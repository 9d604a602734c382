#pragma once
// Images of views and of whole tables, for sharing a solution as one tall image.

#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "platform/dispatch/main_task.h"
#include "platform/gfx/image.h"
#include "platform/ui/table_view.h"

namespace velmora {

// The area of the view under the rectangle (in the view's bounds
// coordinates), drawn into an image of the rectangle's size at the main
// screen's scale; none for a rectangle without area.
std::optional<platform::gfx::Image> screenshotForCroppingRect(platform::ui::View& view,
                                                              const platform::gfx::Rect& croppingRect);
// The image of the view's bounds.
std::optional<platform::gfx::Image> screenshot(platform::ui::View& view);

// The images one under another in order, from the left edge, on a canvas as
// wide as the widest and as high as all together, at the main screen's
// scale, filled with the background where an image is narrower (clear
// without one); none for no images.
std::optional<platform::gfx::Image> verticallyStitched(
    const std::vector<platform::gfx::Image>& images,
    const std::optional<platform::gfx::Color>& background = std::nullopt);

// The whole table as one image: its header view, then for every section its
// header (when the set is absent or holds the section), its rows and its
// footer (likewise), each scrolled into view and captured on the page's
// background, the scroll position put back after every capture. A step is
// drawn as wide as its whole formula and a chart that scrolls (the
// probability tree) as large as its whole drawing; the background fills the
// canvas beside narrower rows. A chart row is given two seconds on the
// clock to finish drawing before it is captured; meanwhile the main queue
// goes on. Main thread only; one walk at a time per table, as both would
// move the same scroll position.
platform::dispatch::Async<std::optional<platform::gfx::Image>> screenshot(
    std::shared_ptr<platform::ui::TableView> table, std::optional<std::set<int>> headerSections = std::nullopt,
    std::optional<std::set<int>> footerSections = std::nullopt);

// What a chart row is given before its capture.
inline constexpr double kChartDrawingPause = 2.0;

}  // namespace velmora
