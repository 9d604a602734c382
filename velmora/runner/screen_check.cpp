// The screen looked over as a person would: what lies on what, what the window's edge cuts, which texts are too faint.
#include "velmora/runner/screen_check.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "platform/frameworks/material/navigation_drawer.h"
#include "platform/gfx/graphics_context.h"
#include "platform/gfx/image.h"
#include "platform/render/rasterizer.h"
#include "platform/render/text_painter.h"
#include "platform/ui/collection_view.h"
#include "platform/ui/control.h"
#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"
#include "platform/ui/table_view.h"
#include "platform/ui/text_field.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"

namespace velmora::runner {

using platform::gfx::Color;
using platform::gfx::DrawOp;
using platform::gfx::Rect;
using platform::gfx::RGBA;
using platform::ui::View;

namespace {

// Below this a view is not seen, and a background does not hide what lies
// under it.
constexpr double kInvisibleAlpha = 0.01;
// A background at least this opaque hides the text under it.
constexpr double kHidingAlpha = 0.5;
// Overlaps and cuts smaller than this (points) are rounding, not layout.
constexpr double kTolerance = 1;
// WCAG 2's least ratio for large text and for the parts of controls.
constexpr double kLeastContrast = 3;

// One shown view in the order of drawing.
struct Node {
    const View* view = nullptr;
    int surface = 0;     // the layer of the screen it belongs to
    Rect frame;          // in the window
    Rect clipped;        // the frame as far as clipping ancestors let it show (the window aside)
    std::optional<Rect> contentClip;  // where what it draws can show: its ancestors' clips and its own
    double alpha = 1;    // with its ancestors'
    EdgeOverhang reach;  // how far the scroll views around it can still bring it in, from each side
    bool hides = false;  // its background hides what lies under it
};

struct Item {
    CheckedItem checked;
    std::size_t node = 0;
    bool isText = false, isScroll = false, isControl = false;
    // A card of a row, or a view that draws a picture of its own (an image,
    // a chart, a player): only looked at for where the window's edge cuts it.
    bool isContent = false;
    RGBA colour;         // a text's colour, alpha included
    Rect ink;            // what a text's letters ink, in the window; empty for none
    double size = 0;     // a text's font size
    bool upright = true;  // a text set along the line, not turned
    bool inactive = false;
    bool cutShort = false;  // a text drawn ending in an ellipsis
};

bool hasArea(const Rect& r) { return r.width() > kTolerance && r.height() > kTolerance; }

// Where a view's layers begin: each view the window holds (the pages it
// presents, alerts, toasts) and each panel of a navigation drawer lies over
// what was drawn before it by design.
bool startsSurface(const View& view) {
    const View* parent = view.superviewPointer();
    if (!parent) return true;
    if (dynamic_cast<const platform::ui::Window*>(parent)) return true;
    return dynamic_cast<const platform::material::NavigationDrawerController*>(parent->viewController()) != nullptr;
}

double backgroundAlpha(const View& view) {
    auto colour = view.backgroundColor();
    if (!colour) return 0;
    return colour->rgba().value_or(RGBA{0, 0, 0, 0}).alpha;
}

// A clip as far as it limits what a person can see: a side at or past the
// window's edge limits nothing the window's edge does not, and must not
// hide how far a view reaches past that edge.
Rect openAtTheEdges(const Rect& clip, const Rect& window) {
    if (clip.isEmpty()) return clip;  // clipped away whole: nothing in it shows
    constexpr double far = 1e9;
    const double x0 = clip.minX() <= window.minX() ? -far : clip.minX();
    const double y0 = clip.minY() <= window.minY() ? -far : clip.minY();
    const double x1 = clip.maxX() >= window.maxX() ? far : clip.maxX();
    const double y1 = clip.maxY() >= window.maxY() ? far : clip.maxY();
    return {x0, y0, x1 - x0, y1 - y0};
}

// How far scrolling this scroll view, as well as those around it, brings
// its content in from each side: content past its right edge comes in as
// far as the offset can still grow, and so on. A scroll view that a touch
// cannot move (scrolling off, or taking no touches) brings nothing in.
EdgeOverhang broughtIn(const platform::ui::ScrollView& scroll, EdgeOverhang reach) {
    if (!scroll.isScrollEnabled() || !scroll.isUserInteractionEnabled()) return reach;
    const auto offset = scroll.contentOffset();
    const auto least = scroll.minimumContentOffset(), most = scroll.maximumContentOffset();
    reach.left += std::max(0.0, offset.x - least.x);
    reach.right += std::max(0.0, most.x - offset.x);
    reach.top += std::max(0.0, offset.y - least.y);
    reach.bottom += std::max(0.0, most.y - offset.y);
    return reach;
}

struct Walk {
    Rect window;
    std::vector<Node> nodes;
    int surfaces = 0;

    void visit(const View& view, int surface, std::optional<Rect> clip, double alpha, EdgeOverhang reach) {
        if (view.isHidden()) return;
        alpha *= view.alpha();
        if (alpha <= kInvisibleAlpha) return;
        if (startsSurface(view)) surface = surfaces++;
        Node node;
        node.view = &view;
        node.surface = surface;
        node.frame = view.convertRect(view.bounds(), nullptr);
        node.clipped = clip ? node.frame.intersection(*clip) : node.frame;
        node.alpha = alpha;
        node.reach = reach;
        node.hides = backgroundAlpha(view) * alpha >= kHidingAlpha;
        // The window's own edge is what the check measures against, not a clip.
        if (view.clipsToBounds() && view.superviewPointer()) clip = openAtTheEdges(node.clipped, window);
        node.contentClip = clip;
        nodes.push_back(node);
        if (auto* scroll = dynamic_cast<const platform::ui::ScrollView*>(&view)) reach = broughtIn(*scroll, reach);
        for (const auto& sub : view.subviews()) visit(*sub, surface, clip, alpha, reach);
    }
};

bool isAncestor(const View* ancestor, const View* view) {
    for (const View* v = view; v; v = v->superviewPointer()) {
        if (v == ancestor) return true;
    }
    return false;
}

bool related(const View* a, const View* b) { return isAncestor(a, b) || isAncestor(b, a); }

// The control a view belongs to, itself included.
const platform::ui::Control* owningControl(const View& view) {
    for (const View* v = &view; v; v = v->superviewPointer()) {
        if (auto* control = dynamic_cast<const platform::ui::Control*>(v)) return control;
    }
    return nullptr;
}

// The part of a text operation's rectangle its letters take, as the
// renderer sets them: one line narrowed to fit, or lines wrapped at the
// width and cut at the height; centred vertically.
Rect textExtent(const DrawOp& op) {
    Rect r = op.rect.standardized();
    auto font = op.font.value_or(platform::gfx::Font::system(17));
    const bool wraps = op.text.find('\n') != std::string::npos || font.widthOf(op.text) > r.width() + 0.5;
    platform::gfx::Size size = wraps ? font.measure(op.text, r.width(), 0)
                                     : platform::gfx::Size{std::min(font.widthOf(op.text), r.width()), font.lineHeight()};
    if (wraps && r.height() > 0) size.height = std::min(size.height, r.height());
    double x = r.minX();
    if (op.alignment == platform::gfx::TextAlignment::center) x += (r.width() - size.width) / 2;
    if (op.alignment == platform::gfx::TextAlignment::right) x += r.width() - size.width;
    return {x, r.minY() + (r.height() - size.height) / 2, size.width, size.height};
}

Rect transformed(const Rect& r, const platform::gfx::AffineTransform& t) {
    const platform::gfx::Point corners[] = {{r.minX(), r.minY()}, {r.maxX(), r.minY()}, {r.minX(), r.maxY()},
                                            {r.maxX(), r.maxY()}};
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    for (const auto& c : corners) {
        auto p = t.apply(c);
        x0 = std::min(x0, p.x);
        y0 = std::min(y0, p.y);
        x1 = std::max(x1, p.x);
        y1 = std::max(y1, p.y);
    }
    return {x0, y0, x1 - x0, y1 - y0};
}

bool blank(const std::string& text) { return text.find_first_not_of(" \t\n") == std::string::npos; }

// Pieces of text this far apart (in ems) or closer on one line read as one
// line: the glyphs of a formula, spaced by its widest space (a quad) at most.
constexpr double kLineGap = 2;
// A gap wider than this (in ems) reads as a space between words.
constexpr double kWordGap = 0.2;

Rect unionOf(const Rect& a, const Rect& b) {
    if (a.isEmpty()) return b;
    if (b.isEmpty()) return a;
    return a.unionWith(b);
}

// Whether a piece of text continues a line: upright, of its colour, at its
// height, and just after it.
bool continues(const Item& line, const Item& piece) {
    const Rect a = line.checked.rect, b = piece.checked.rect;
    const double shared = std::min(a.maxY(), b.maxY()) - std::max(a.minY(), b.minY());
    const double gap = b.minX() - a.maxX();
    const double em = std::max(line.size, piece.size);
    return line.upright && piece.upright && line.colour == piece.colour && shared >= std::min(a.height(), b.height()) / 2 && gap <= kLineGap * em &&
           gap >= -kTolerance - em;
}

// The pieces a view sets side by side (a formula's glyphs, one a piece) as
// the lines a person reads, each named by its whole text.
std::vector<Item> wholeLines(std::vector<Item> pieces) {
    std::stable_sort(pieces.begin(), pieces.end(),
                     [](const Item& a, const Item& b) { return a.checked.rect.minX() < b.checked.rect.minX(); });
    std::vector<Item> lines;
    for (auto& piece : pieces) {
        auto line = std::find_if(lines.begin(), lines.end(), [&](const Item& l) { return continues(l, piece); });
        if (line == lines.end()) {
            lines.push_back(std::move(piece));
            continue;
        }
        const double gap = piece.checked.rect.minX() - line->checked.rect.maxX();
        line->checked.text += (gap > kWordGap * std::max(line->size, piece.size) ? " " : "") + piece.checked.text;
        line->checked.rect = line->checked.rect.unionWith(piece.checked.rect);
        line->ink = unionOf(line->ink, piece.ink);
        line->cutShort = line->cutShort || piece.cutShort;
    }
    return lines;
}

// What a view draws itself (not its subviews'), as drawing it now records
// it: its texts, and whether it draws anything else.
struct OwnDrawing {
    std::vector<Item> texts;
    bool picture = false;
};

OwnDrawing drawingOf(const Node& node, std::size_t index) {
    View& view = const_cast<View&>(*node.view);
    platform::gfx::GraphicsContext recording(view.bounds().size);
    view.drawLayer(*view.layer(), recording);
    OwnDrawing drawing;
    auto& texts = drawing.texts;
    const auto* control = owningControl(view);
    for (const auto& op : recording.displayList().ops()) {
        if (op.kind != DrawOp::Kind::text && op.kind != DrawOp::Kind::clip) drawing.picture = true;
        if (op.kind != DrawOp::Kind::text || blank(op.text)) continue;
        Item item;
        item.node = index;
        item.isText = true;
        item.checked.view = node.view;
        item.checked.text = op.text;
        item.checked.frame = node.frame;
        item.checked.rect = view.convertRect(transformed(textExtent(op), op.transform), nullptr);
        const Rect ink = platform::render::textInk(op);
        if (!ink.isEmpty()) item.ink = view.convertRect(transformed(ink, op.transform), nullptr);
        item.size = op.font.value_or(platform::gfx::Font::system(17)).pointSize();
        item.upright = op.transform.b == 0 && op.transform.c == 0;
        RGBA colour = op.color.value_or(Color::label()).rgba().value_or(RGBA{0, 0, 0, 1});
        colour.alpha *= op.alpha * node.alpha;
        item.colour = colour;
        item.inactive = control && (!control->isEnabled() || !control->isUserInteractionEnabled());
        item.cutShort = platform::render::textCutShort(op);
        texts.push_back(item);
    }
    texts = wholeLines(std::move(texts));
    return drawing;
}

// A control as a person touches it: the controls of a table row's edit mode
// are touched as controls, though drawn as plain views.
bool touchedAsControl(const View& view) {
    if (dynamic_cast<const platform::ui::Control*>(&view)) return true;
    const auto* cell = dynamic_cast<const platform::ui::TableViewCell*>(view.superviewPointer());
    if (!cell) return false;
    const auto controls = cell->editingControls();
    return std::any_of(controls.begin(), controls.end(), [&](const auto& control) { return control.get() == &view; });
}

std::vector<Item> itemsOf(const std::vector<Node>& nodes) {
    std::vector<Item> items;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const View& view = *nodes[i].view;
        const bool scroll = dynamic_cast<const platform::ui::ScrollView*>(&view) != nullptr;
        const bool control = !scroll && touchedAsControl(view);
        if (scroll || control) {
            Item item;
            item.node = i;
            item.isScroll = scroll;
            item.isControl = control;
            item.checked = {&view, {}, nodes[i].frame, nodes[i].frame};
            items.push_back(item);
        }
        auto drawing = drawingOf(nodes[i], i);
        const bool card = dynamic_cast<const platform::ui::CollectionViewCell*>(&view) != nullptr;
        if (!scroll && !dynamic_cast<const platform::ui::Control*>(&view) && (card || drawing.picture)) {
            Item item;
            item.node = i;
            item.isContent = true;
            item.checked = {&view, {}, nodes[i].frame, nodes[i].frame};
            items.push_back(item);
        }
        for (auto& text : drawing.texts) items.push_back(std::move(text));
    }
    return items;
}

// A rectangle as far as the item's clipping ancestors let it show.
Rect shownPart(const Item& item, const Node& node) {
    if (!item.isText) return node.clipped;
    return node.contentClip ? item.checked.rect.intersection(*node.contentClip) : item.checked.rect;
}

// What a later layer of the screen puts over the item: a presented page,
// an alert, a toast, the open drawer. An item wholly past the window's edge
// is under a layer that covers the whole window.
bool underLaterSurface(const Rect& shown, const Rect& window, const Node& node, const std::vector<Node>& nodes) {
    const Rect within = shown.intersection(window);
    for (const auto& other : nodes) {
        if (other.surface <= node.surface) continue;
        if (!other.hides && !(backgroundAlpha(*other.view) > 0)) continue;
        if (hasArea(within) ? hasArea(other.clipped.intersection(within)) : other.clipped.intersection(window) == window) {
            return true;
        }
    }
    return false;
}

// Whether views drawn after the text, other than its own ancestors, hide
// at least half of it.
bool hiddenBehind(const Rect& shown, std::size_t index, const std::vector<Node>& nodes) {
    const double area = shown.width() * shown.height();
    double covered = 0;
    for (std::size_t i = index + 1; i < nodes.size(); ++i) {
        if (!nodes[i].hides || isAncestor(nodes[i].view, nodes[index].view)) continue;
        const Rect over = nodes[i].clipped.intersection(shown);
        covered = std::max(covered, over.width() * over.height());
    }
    return area > 0 && covered >= area / 2;
}

std::string edgeText(const EdgeOverhang& o) {
    std::string text;
    auto add = [&](const char* edge, double points) {
        if (points <= 0) return;
        if (!text.empty()) text += ", ";
        text += std::string(edge) + " edge by " + platform::gfx::formatNumber(std::round(points * 10) / 10);
    };
    add("left", o.left);
    add("top", o.top);
    add("right", o.right);
    add("bottom", o.bottom);
    return text;
}

std::string hex(const RGBA& c) {
    auto byte = [](double v) { return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", byte(c.red), byte(c.green), byte(c.blue));
    return buffer;
}

std::string shortText(const std::string& text) {
    std::string oneLine;
    for (char c : text) oneLine += c == '\n' ? ' ' : c;
    if (oneLine.size() > 40) {
        std::size_t cut = 37;
        while (cut > 0 && (static_cast<unsigned char>(oneLine[cut]) & 0xC0) == 0x80) --cut;
        oneLine = oneLine.substr(0, cut) + "...";
    }
    return "\"" + oneLine + "\"";
}

// A text is named by its whole line, however long.
std::string itemText(const CheckedItem& item) {
    std::string text = viewName(*item.view) + " (" + platform::gfx::describe(item.frame) + ")";
    if (item.text.empty()) return text;
    std::string line;
    for (char c : item.text) line += c == '\n' ? ' ' : c;
    return text + " text \"" + line + "\"";
}

// Where an item meets others: a text where its letters ink, a control or
// scroll view where its frame lies, as far as its clipping ancestors let
// either show.
Rect markOf(const Item& item, const Node& node, const Rect& shown) {
    if (!item.isText) return shown;
    return node.contentClip ? item.ink.intersection(*node.contentClip) : item.ink;
}

// Overlaps within one layer, once for each pair of views, where ink or
// frames meet; a text that a control drawn after it lies on runs under that
// control.
void findOverlaps(const std::vector<Item>& items, const std::vector<Rect>& shown, const std::vector<bool>& inFront,
                  const std::vector<Node>& nodes, std::vector<Finding>& findings) {
    std::vector<Rect> marks;
    for (std::size_t i = 0; i < items.size(); ++i) marks.push_back(markOf(items[i], nodes[items[i].node], shown[i]));
    std::set<std::pair<const View*, const View*>> reported;
    for (std::size_t a = 0; a < items.size(); ++a) {
        if (!inFront[a] || items[a].isScroll || items[a].isContent) continue;
        for (std::size_t b = a + 1; b < items.size(); ++b) {
            if (!inFront[b] || items[b].isScroll || items[b].isContent) continue;
            if (nodes[items[a].node].surface != nodes[items[b].node].surface) continue;
            const View* va = items[a].checked.view;
            const View* vb = items[b].checked.view;
            if (related(va, vb) || !hasArea(marks[a].intersection(marks[b]))) continue;
            if (!reported.insert({va, vb}).second) continue;
            Finding finding;
            if (items[a].isText && items[b].isControl) {
                finding.kind = FindingKind::underControl;
                finding.item = items[a].checked;
                finding.other = items[b].checked;
            } else {
                finding.kind = FindingKind::overlap;
                finding.item = items[b].checked;  // drawn later: lies on the other
                finding.other = items[a].checked;
            }
            findings.push_back(finding);
        }
    }
}

void findCuts(const std::vector<Item>& items, const std::vector<bool>& inFront, const std::vector<Node>& nodes,
              const Rect& window, std::vector<Finding>& findings) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Node& node = nodes[items[i].node];
        if (!inFront[i]) continue;
        const Rect r = shownPart(items[i], node);
        EdgeOverhang o;
        o.left = std::max(0.0, window.minX() - r.minX() - node.reach.left);
        o.right = std::max(0.0, r.maxX() - window.maxX() - node.reach.right);
        o.top = std::max(0.0, window.minY() - r.minY() - node.reach.top);
        o.bottom = std::max(0.0, r.maxY() - window.maxY() - node.reach.bottom);
        if (std::max({o.left, o.right, o.top, o.bottom}) < kTolerance) continue;
        Finding finding;
        finding.kind = FindingKind::cut;
        finding.item = items[i].checked;
        finding.overhang = o;
        findings.push_back(finding);
    }
}

// Texts a person reads only up to an ellipsis: their rectangle holds fewer
// lines than they need.
void findCutShortTexts(const std::vector<Item>& items, const std::vector<bool>& inWindow,
                       std::vector<Finding>& findings) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].cutShort || !inWindow[i]) continue;
        Finding finding;
        finding.kind = FindingKind::cutShort;
        finding.item = items[i].checked;
        findings.push_back(finding);
    }
}

// The screen drawn without its texts: what lies behind each.
std::optional<platform::render::Bitmap> backdrop(platform::ui::Window& window) {
    auto image = window.snapshotImage();
    if (!image) return std::nullopt;
    platform::gfx::DisplayList withoutText;
    for (const auto& op : image->drawing().ops()) {
        if (op.kind != DrawOp::Kind::text) withoutText.append(op);
    }
    platform::render::RenderOptions options;
    options.scale = 1;
    options.background = Color::systemBackground();
    return platform::render::rasterize(platform::gfx::Image(image->size(), 1, std::move(withoutText)), options);
}

// The colour most pixels under the rectangle have.
std::optional<RGBA> mostDrawnColour(const platform::render::Bitmap& pixels, const Rect& r) {
    std::map<std::uint32_t, int> counts;
    for (int y = static_cast<int>(std::floor(r.minY())); y < static_cast<int>(std::ceil(r.maxY())); ++y) {
        for (int x = static_cast<int>(std::floor(r.minX())); x < static_cast<int>(std::ceil(r.maxX())); ++x) {
            if (x < 0 || y < 0 || x >= pixels.width() || y >= pixels.height()) continue;
            auto p = pixels.pixel(x, y);
            ++counts[(std::uint32_t{p.red} << 16) | (std::uint32_t{p.green} << 8) | p.blue];
        }
    }
    if (counts.empty()) return std::nullopt;
    auto most = std::max_element(counts.begin(), counts.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; });
    return RGBA{((most->first >> 16) & 0xFF) / 255.0, ((most->first >> 8) & 0xFF) / 255.0, (most->first & 0xFF) / 255.0, 1};
}

RGBA over(const RGBA& top, const RGBA& below) {
    const double a = std::clamp(top.alpha, 0.0, 1.0);
    return {top.red * a + below.red * (1 - a), top.green * a + below.green * (1 - a), top.blue * a + below.blue * (1 - a), 1};
}

void findFaintTexts(platform::ui::Window& window, const std::vector<Item>& items, const std::vector<Rect>& shown,
                    const std::vector<bool>& inFront, const std::vector<Node>& nodes, std::vector<Finding>& findings) {
    std::optional<platform::render::Bitmap> pixels;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].isText || !inFront[i] || items[i].inactive) continue;
        // Judged on what shows of its letters: a text scrolled nearly out
        // of sight may show only the empty top of its line, or a line drawn
        // there by something else, as a fraction's bar.
        const Rect visible = markOf(items[i], nodes[items[i].node], shown[i]).intersection(window.bounds());
        if (!hasArea(visible)) continue;
        if (hiddenBehind(visible, items[i].node, nodes)) continue;
        if (!pixels) pixels = backdrop(window);
        if (!pixels) return;
        auto behind = mostDrawnColour(*pixels, visible);
        if (!behind) continue;
        const RGBA text = over(items[i].colour, *behind);
        const double ratio = contrastRatio(text, *behind);
        if (ratio >= kLeastContrast) continue;
        Finding finding;
        finding.kind = FindingKind::contrast;
        finding.item = items[i].checked;
        finding.ratio = ratio;
        finding.foreground = text;
        finding.background = *behind;
        findings.push_back(finding);
    }
}

}  // namespace

std::string viewName(const View& view) {
    std::string name = view.className();
    std::string shows;
    if (auto* button = dynamic_cast<const platform::ui::Button*>(&view)) shows = button->currentTitle().value_or("");
    if (auto* label = dynamic_cast<const platform::ui::Label*>(&view)) shows = label->text();
    if (!view.accessibilityIdentifier().empty()) {
        name += " " + view.accessibilityIdentifier();
    } else if (!blank(shows)) {
        name += " " + shortText(shows);
    }
    for (const View* v = &view; v; v = v->superviewPointer()) {
        if (auto* controller = v->viewController()) return name + " in " + controller->className();
    }
    return name;
}

std::string Finding::description() const {
    std::ostringstream out;
    switch (kind) {
        case FindingKind::overlap:
            out << "overlap: " << itemText(item) << " lies on " << itemText(*other);
            break;
        case FindingKind::underControl:
            out << "under a control: " << itemText(item) << " runs under " << itemText(*other);
            break;
        case FindingKind::cut:
            out << "cut: " << itemText(item) << " passes the window's " << edgeText(overhang);
            break;
        case FindingKind::cutShort:
            out << "cut short: " << itemText(item) << " ends in an ellipsis: its rectangle ("
                << platform::gfx::describe(item.rect) << ") holds fewer lines than it needs";
            break;
        case FindingKind::contrast:
            out << "contrast " << platform::gfx::formatNumber(std::floor(ratio * 100) / 100) << ":1: " << itemText(item)
                << " in " << hex(foreground) << " on " << hex(background) << " ("
                << platform::gfx::describe(item.rect) << ")";
            break;
    }
    return out.str();
}

double relativeLuminance(const RGBA& c) {
    auto linear = [](double v) {
        v = std::clamp(v, 0.0, 1.0);
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.red) + 0.7152 * linear(c.green) + 0.0722 * linear(c.blue);
}

double contrastRatio(const RGBA& first, const RGBA& second) {
    const double a = relativeLuminance(first), b = relativeLuminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

std::vector<Finding> checkScreen(platform::ui::Window& window) {
    window.layoutIfNeeded();
    Walk walk;
    walk.window = window.bounds();
    walk.visit(window, 0, std::nullopt, 1, {});
    const auto& nodes = walk.nodes;
    const auto items = itemsOf(nodes);
    // What shows of each item; whether it is laid out in front (it may
    // still lie past the window's edge), and whether it is in front and
    // within the window.
    std::vector<Rect> shown;
    std::vector<bool> inFront, inWindow;
    for (const auto& item : items) {
        const Node& node = nodes[item.node];
        Rect part = shownPart(item, node);
        const bool laidOut = hasArea(part);
        const bool within = laidOut && hasArea(part.intersection(window.bounds()));
        const bool covered = laidOut && underLaterSurface(part, window.bounds(), node, nodes);
        shown.push_back(part);
        inFront.push_back(laidOut && !covered);
        inWindow.push_back(within && !covered);
    }
    std::vector<Finding> findings;
    findOverlaps(items, shown, inWindow, nodes, findings);
    findCuts(items, inFront, nodes, window.bounds(), findings);
    findCutShortTexts(items, inWindow, findings);
    findFaintTexts(window, items, shown, inWindow, nodes, findings);
    return findings;
}

}  // namespace velmora::runner
