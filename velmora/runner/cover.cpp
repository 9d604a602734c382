// Naming what covers a view: the presented page by what it shows, the loading overlay, the open drawer.
#include "velmora/runner/cover.h"

#include "platform/frameworks/material/navigation_drawer.h"
#include "platform/frameworks/onboarding/onboard_view_controller.h"
#include "platform/gfx/utf8_text.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/interaction.h"
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

// The open drawer's panel, when the view belongs to the page beside it and
// its centre lies under the panel.
std::optional<Cover> drawerOver(View& view) {
    auto window = view.window();
    if (!window) return std::nullopt;
    auto drawer =
        std::dynamic_pointer_cast<platform::material::NavigationDrawerController>(window->rootViewController());
    if (!drawer || !drawer->isLeftViewOpened() || !drawer->leftViewController()) return std::nullopt;
    auto panel = drawer->leftViewController()->viewIfLoaded();
    if (!panel || panel->isHiddenOnScreen() || view.isDescendantOf(panel.get())) return std::nullopt;
    auto host = drawer->viewIfLoaded();
    if (!host || !view.isDescendantOf(host.get())) return std::nullopt;
    const auto bounds = view.bounds();
    const auto centre = view.convertPoint({bounds.midX(), bounds.midY()}, nullptr);
    if (!panel->convertRect(panel->bounds(), nullptr).contains(centre)) return std::nullopt;
    return Cover{CoverKind::drawer, "the open drawer"};
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

}  // namespace

std::optional<Cover> coverOf(View& view) {
    if (auto cover = platform::ui::coveringView(view)) {
        return Cover{cover->viewController() ? CoverKind::presented : CoverKind::overlay, coverName(*cover)};
    }
    return drawerOver(view);
}

}  // namespace velmora::runner
