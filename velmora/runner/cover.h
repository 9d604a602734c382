// What lies over a view where a person's finger would land, named as the person sees it.
#pragma once

#include <optional>
#include <string>

namespace platform::ui {
class View;
}

namespace velmora::runner {

enum class CoverKind { presented, overlay, drawer };

struct Cover {
    CoverKind kind = CoverKind::presented;
    // As the person sees it: the alert "Clear History", the share sheet,
    // the loading overlay, the introduction, the rating prompt, the open
    // drawer.
    std::string name;
};

// What takes the touches meant for the view: a page presented over it (an
// alert, the share sheet, the introduction, the rating prompt), the loading
// overlay, or the open drawer's panel lying over its centre; none when the
// view takes its touches itself.
std::optional<Cover> coverOf(platform::ui::View& view);

}  // namespace velmora::runner
