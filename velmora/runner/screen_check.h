// What a person would find wrong with the screen as shown: controls and texts on top of each other, cut by the window's edge or short, or too faint to read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/gfx/color.h"
#include "platform/gfx/geometry.h"

namespace platform::ui {
class View;
class Window;
}  // namespace platform::ui

namespace velmora::runner {

// A control or a text of the screen as the check saw it, in the window's
// coordinates.
struct CheckedItem {
    const platform::ui::View* view = nullptr;
    std::string text;           // the whole line of text drawn; empty for a control
    platform::gfx::Rect frame;  // the view's frame
    platform::gfx::Rect rect;   // a text's extent, or the control's frame
};

enum class FindingKind { overlap, underControl, cut, cutShort, contrast };

// Points past the window's edges; zero where nothing passes.
struct EdgeOverhang {
    double left = 0, top = 0, right = 0, bottom = 0;
};

struct Finding {
    FindingKind kind = FindingKind::overlap;
    CheckedItem item;
    std::optional<CheckedItem> other;  // overlap: what it lies on; under a control: the control
    EdgeOverhang overhang;             // cut
    double ratio = 0;                  // contrast
    platform::gfx::RGBA foreground;    // contrast: the text as drawn, over its background
    platform::gfx::RGBA background;    // contrast: what is drawn behind the text

    // One line: the kind, the views with their frames, and the measure.
    std::string description() const;
};

// The findings for the window as a person sees it now, in the order of
// drawing. Only what lies in front is looked at: a control or text under a
// presented page, an alert, a toast or the open drawer is left out, and so
// is a text hidden behind a view drawn over it.
// - overlap: a control or text lies on another that is neither its ancestor
//   nor its descendant, in the same layer of the screen, where the letters
//   of a text or the frame of a control meet the other's;
// - under a control: a text's letters run under a control drawn over it
//   (the controls of a table row's edit mode count as controls), in the
//   same layer of the screen;
// - cut: a control, text, scroll view or piece of content (a card of a row,
//   a view that draws a picture) reaches past the window's edge further
//   than a pan of the scroll views around it can bring it in: content of
//   something that does not scroll, or beyond the size it scrolls to;
// - cut short: a text is drawn ending in an ellipsis, its rectangle holding
//   fewer lines than it needs;
// - contrast: a text of an enabled control or of no control has a contrast
//   ratio under 3:1 with the colour drawn most behind it.
std::vector<Finding> checkScreen(platform::ui::Window& window);

// The WCAG 2 relative luminance of an opaque colour and the contrast ratio
// of two (1 to 21).
double relativeLuminance(const platform::gfx::RGBA& colour);
double contrastRatio(const platform::gfx::RGBA& first, const platform::gfx::RGBA& second);

// "FlatButton \"7\" in CalculateViewController": the class, what it shows
// or its identifier, and the page it belongs to.
std::string viewName(const platform::ui::View& view);

}  // namespace velmora::runner
