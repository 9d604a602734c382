// Text of recorded drawings, set with pango in real fonts.
#pragma once

#include <cairo.h>

#include <map>
#include <string>

#include "platform/gfx/color.h"
#include "platform/gfx/graphics_context.h"

typedef struct _PangoContext PangoContext;
typedef struct _PangoFontDescription PangoFontDescription;

namespace platform::render::detail {

// The installed font family that stands in for a platform family: the
// DejaVu families (Sans for Avenir, Helvetica, Arial and the system font;
// Sans Mono for Menlo and Courier; Serif for Georgia and Times New Roman).
std::string fallbackFamily(const gfx::Font& font);

// Sets each text operation in its rectangle: aligned as asked, centred
// vertically, a single line narrowed to fit when the real font is wider
// than the recorded layout assumed, longer text wrapped at the width. The
// real font is wider than the layout's estimate, so wrapped text may need
// more lines than the layout gave it: it is narrowed until it fits the
// rectangle's height when the layout gave it room for all of it, and cut
// with an ellipsis at the height only when it did not.
class TextPainter {
public:
    TextPainter();
    ~TextPainter();
    TextPainter(const TextPainter&) = delete;
    TextPainter& operator=(const TextPainter&) = delete;

    // The context's matrix is the operation's own space already.
    void paint(cairo_t* cr, const gfx::DrawOp& op, const gfx::RGBA& colour, double alpha);
    // Whether the text ends in an ellipsis where it is set.
    bool cutShort(const gfx::DrawOp& op);
    // What the letters' ink covers where the text is set, in the
    // operation's own space; empty for a text of no ink (spaces).
    gfx::Rect ink(const gfx::DrawOp& op);

private:
    struct Setting;
    struct Placement;
    Setting set(const gfx::DrawOp& op);
    Placement place(const gfx::DrawOp& op, const Setting& setting);
    PangoFontDescription* describe(const gfx::Font& font);

    PangoContext* context_ = nullptr;
    std::map<std::string, PangoFontDescription*> fonts_;
};

}  // namespace platform::render::detail

namespace platform::render {

// Whether a recorded text is drawn cut short, ending in an ellipsis: its
// rectangle holds fewer lines than it needs, even narrowed.
bool textCutShort(const gfx::DrawOp& op);
// The rectangle a recorded text's letters ink, in the operation's own space
// (its transform not applied); empty for a text of no ink.
gfx::Rect textInk(const gfx::DrawOp& op);
// Both are kept, for each thread, by what they depend on (the text, its
// font, its rectangle's size, its alignment), so that a screen looked over
// again sets only the texts that changed.

}  // namespace platform::render
