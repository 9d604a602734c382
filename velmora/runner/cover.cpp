// Where a finger aimed at a view lands: the part of it in sight, point by point under the covers, each named as a person sees it.
#include "velmora/runner/cover.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/frameworks/material/navigation_drawer.h"
#include "platform/frameworks/onboarding/onboard_view_controller.h"
#include "platform/gfx/utf8_text.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/interaction.h"
#include "platform/ui/scroll_view.h"
#include "platform/ui/table_view.h"
#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"
#include "velmora/runner/value_text.h"
#include "velmora/screens/rating_view_controller.h"
#include "velmora/shell/manual_view_controller.h"
#include "velmora/shell/view_manager.h"

namespace velmora::runner {

namespace {

using platform::ui::View;

// A long message reads as its beginning: enough to tell one alert from
// another.
std::string quoted(const std::string& text) {
    constexpr std::size_t kLongest = 60;
    std::u32string letters = platform::gfx::decodeUTF8(trimmed(text));
    for (auto& c : letters) {
        if (c == U'\n') c = U' ';
    }
    if (letters.size() <= kLongest) return "\"" + platform::gfx::encodeUTF8(letters) + "\"";
    return "\"" + platform::gfx::encodeUTF8(letters.substr(0, kLongest - 3)) + "...\"";
}

// An alert goes by its title, else by its message.
std::string alertName(const platform::ui::AlertController& alert) {
    for (const auto& text : {alert.alertTitle(), alert.message()}) {
        if (text && !trimmed(*text).empty()) return "the alert " + quoted(*text);
    }
    return "an alert without a title";
}

std::string pageName(const platform::ui::ViewController& page) {
    if (auto* alert = dynamic_cast<const platform::ui::AlertController*>(&page)) return alertName(*alert);
    if (dynamic_cast<const platform::ui::ActivityViewController*>(&page)) return "the share sheet";
    if (dynamic_cast<const platform::onboard::OnboardViewController*>(&page)) return "the introduction";
    if (dynamic_cast<const RatingViewController*>(&page)) return "the rating prompt";
    if (dynamic_cast<const ManualViewController*>(&page)) return "the manual";
    if (!trimmed(page.title()).empty()) return "the page " + quoted(page.title());
    return "the page presented over it";
}

using platform::gfx::Point;
using platform::gfx::Rect;

// The drawer at the window's root with its panel open, when the view lies
// on the page beside the panel, under the drawer's shade.
std::shared_ptr<platform::material::NavigationDrawerController> openDrawerOver(View& view) {
    auto window = view.window();
    if (!window) return nullptr;
    auto drawer =
        std::dynamic_pointer_cast<platform::material::NavigationDrawerController>(window->rootViewController());
    if (!drawer || !drawer->isLeftViewOpened() || !drawer->leftViewController()) return nullptr;
    auto panel = drawer->leftViewController()->viewIfLoaded();
    if (!panel || panel->isHiddenOnScreen() || view.isDescendantOf(panel.get())) return nullptr;
    auto host = drawer->viewIfLoaded();
    if (!host || !view.isDescendantOf(host.get())) return nullptr;
    return drawer;
}

Rect panelRect(const platform::material::NavigationDrawerController& drawer) {
    auto panel = drawer.leftViewController()->viewIfLoaded();
    return panel->convertRect(panel->bounds(), nullptr);
}

// The name a person gives what covers the screen: a presented page's view
// or a layer the window holds over the pages.
std::string coverName(const View& cover) {
    if (cover.tag() == ViewManager::loadingOverlayTag) return "the loading overlay";
    for (const View* v = &cover; v; v = v->superviewPointer()) {
        if (auto* page = v->viewController()) return pageName(*page);
    }
    return "a view over the page";
}

Cover coverFor(const View& cover) {
    return {cover.viewController() ? CoverKind::presented : CoverKind::overlay, coverName(cover)};
}

// What takes a touch meant for the view at a point of the window; none
// when the view does.
std::optional<Cover> takerAt(View& view, Point at,
                             const std::shared_ptr<platform::material::NavigationDrawerController>& drawer) {
    if (auto cover = platform::ui::coveringView(view, at)) return coverFor(*cover);
    if (!drawer) return std::nullopt;
    if (panelRect(*drawer).contains(at)) return Cover{CoverKind::drawer, "the open drawer"};
    return Cover{CoverKind::besideDrawer, "the open drawer"};
}

// Where the sides of the part and of whatever may lie over it fall along
// one axis, inside the part: between two neighbours every point has the same
// cover.
std::vector<double> cuts(double low, double high, const std::vector<Rect>& over, bool across) {
    std::vector<double> at{low, high};
    for (const auto& r : over) {
        const double edges[] = {across ? r.minX() : r.minY(), across ? r.maxX() : r.maxY()};
        for (double edge : edges) {
            if (edge > low && edge < high) at.push_back(edge);
        }
    }
    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    return at;
}

// One point of each piece the covers cut the part into, nearest its middle
// first.
std::vector<Point> candidates(const Rect& part, const std::vector<Rect>& over) {
    const Point middle{part.midX(), part.midY()};
    std::vector<Point> points{middle};
    const auto xs = cuts(part.minX(), part.maxX(), over, true), ys = cuts(part.minY(), part.maxY(), over, false);
    for (std::size_t i = 0; i + 1 < xs.size(); ++i) {
        for (std::size_t j = 0; j + 1 < ys.size(); ++j) {
            points.push_back({(xs[i] + xs[i + 1]) / 2, (ys[j] + ys[j + 1]) / 2});
        }
    }
    auto distance = [&](const Point& p) { return std::hypot(p.x - middle.x, p.y - middle.y); };
    std::stable_sort(points.begin(), points.end(),
                     [&](const Point& a, const Point& b) { return distance(a) < distance(b); });
    return points;
}

// How a person brings a view out of sight in: the row it is or lies in
// scrolled to the top of its table, or the scroll view it lies in panned.
std::string howToBringIn(const View& view) {
    for (const View* v = &view; v; v = v->superviewPointer()) {
        if (auto* cell = dynamic_cast<const platform::ui::TableViewCell*>(v)) {
            auto* table = dynamic_cast<const platform::ui::TableView*>(cell->superviewPointer());
            if (auto path = table ? table->indexPathForCell(*cell) : std::nullopt) {
                return "scroll " + std::to_string(path->section) + " " + std::to_string(path->row) + " brings " +
                       (v == &view ? "it" : "its row") + " to the top";
            }
        }
        if (v != &view && dynamic_cast<const platform::ui::ScrollView*>(v) &&
            !dynamic_cast<const platform::ui::TableView*>(v) && !partInSight(*v).isEmpty()) {
            return "pan the scroll view it lies in to bring it in";
        }
    }
    return {};
}

}  // namespace

Rect partInSight(const View& view) {
    Rect part = view.convertRect(view.bounds(), nullptr);
    auto window = view.window();
    if (window) part = part.intersection(window->bounds());
    for (const View* v = view.superviewPointer(); window && v && v != window.get(); v = v->superviewPointer()) {
        if (v->clipsToBounds()) part = part.intersection(v->convertRect(v->bounds(), nullptr));
    }
    // A sliver thinner than a point shows nothing a person can see or touch.
    constexpr double kThinnestSeen = 1;
    if (part.width() < kThinnestSeen || part.height() < kThinnestSeen) return {};
    return part;
}

Touch touchOn(View& view) {
    auto window = view.window();
    if (!window) return {{}, Cover{CoverKind::outOfSight, {}}};
    const Rect frame = view.convertRect(view.bounds(), nullptr);
    // A page presented over the view takes every touch meant for it.
    if (auto cover = platform::ui::coveringView(view); cover && cover->viewController()) {
        return {{frame.midX(), frame.midY()}, coverFor(*cover)};
    }
    const Rect part = partInSight(view);
    if (part.isEmpty()) return {{frame.midX(), frame.midY()}, Cover{CoverKind::outOfSight, howToBringIn(view)}};
    const auto drawer = openDrawerOver(view);
    std::vector<Rect> over;
    for (const auto& layer : window->subviews()) over.push_back(layer->frame());
    if (drawer) over.push_back(panelRect(*drawer));
    std::optional<Touch> nearest, shade;
    for (const auto& at : candidates(part, over)) {
        auto cover = takerAt(view, at, drawer);
        if (!cover) return {at, std::nullopt};
        if (!nearest) nearest = Touch{at, cover};
        if (!shade && cover->kind == CoverKind::besideDrawer) shade = Touch{at, cover};
    }
    return shade ? *shade : *nearest;
}

std::optional<Cover> coverOf(View& view) { return touchOn(view).cover; }

std::string refusal(const std::string& what, const Cover& cover) {
    switch (cover.kind) {
        case CoverKind::outOfSight: return what + " is out of sight" + (cover.name.empty() ? "" : ": " + cover.name);
        case CoverKind::besideDrawer:
            return what + " lies beside the open drawer, whose shade takes the touch: the drawer closed";
        default: return what + " is covered by " + cover.name;
    }
}

bool tapShade(platform::ui::Window& window, Point at) {
    auto drawer = std::dynamic_pointer_cast<platform::material::NavigationDrawerController>(window.rootViewController());
    auto host = drawer ? drawer->viewIfLoaded() : nullptr;
    return host && drawer->tapShade(window.convertPoint(at, host.get()));
}

std::string presentedPageName(const platform::ui::ViewController& page) { return pageName(page); }

}  // namespace velmora::runner
