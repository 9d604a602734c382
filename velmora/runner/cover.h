// Where a person's finger aimed at a view lands, and what takes it instead, named as the person sees it.
#pragma once

#include <optional>
#include <string>

#include "platform/gfx/geometry.h"

namespace platform::ui {
class View;
class ViewController;
class Window;
}  // namespace platform::ui

namespace velmora::runner {

// A page presented over the view, an overlay the window holds over the
// pages, the open drawer's panel, the shade the open drawer lays over the
// page beside its panel, or nothing of the view in sight.
enum class CoverKind { presented, overlay, drawer, besideDrawer, outOfSight };

struct Cover {
    CoverKind kind = CoverKind::presented;
    // As the person sees it: the alert "Clear History", the share sheet,
    // the loading overlay, the introduction, the rating prompt, the open
    // drawer. Out of sight: how to bring the view in ("scroll 2 0 brings its
    // row to the top"), or nothing when no command does.
    std::string name;
};

// Where a finger aimed at a view lands, in the window: on the view itself,
// or on the cover that takes the touch.
struct Touch {
    platform::gfx::Point at;
    std::optional<Cover> cover;
};

// A finger aims at the middle of what shows of a view and lands on the
// point of it nearest there that no cover takes: a page presented over it
// takes every point, an overlay the points under it, the open drawer's
// panel the points under it and the drawer's shade the rest of the page.
// With no point free: the shade where it takes one (a tap there closes the
// drawer), else what takes the point nearest the middle; out of sight when
// nothing of the view shows.
Touch touchOn(platform::ui::View& view);
// What takes the touches meant for the view; none when it takes them itself.
std::optional<Cover> coverOf(platform::ui::View& view);

// What shows of a view, in the window: its frame as far as the window's edge
// and its clipping ancestors (a table, a scroll view) let it show; empty
// when nothing or only a sliver thinner than a point does. Outside a
// window: its frame.
platform::gfx::Rect partInSight(const platform::ui::View& view);

// One line saying why the touch meant for `what` took no effect on it:
// "\"Clear\" is covered by the loading overlay", "... is out of sight: ...",
// "... lies beside the open drawer ...".
std::string refusal(const std::string& what, const Cover& cover);

// A tap on the open drawer's shade at that point of the window: the drawer
// closes. False when its shade is not there.
bool tapShade(platform::ui::Window& window, platform::gfx::Point at);

// A presented page as a person names it: an alert by its title, the share
// sheet, the introduction, the rating prompt, the manual.
std::string presentedPageName(const platform::ui::ViewController& page);

}  // namespace velmora::runner
