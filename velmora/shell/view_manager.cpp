// Window-level view operations: key window lookup, loading overlay, toasts and segment images.
#include "velmora/shell/view_manager.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/queue.h"
#include "platform/frameworks/material/style.h"
#include "platform/gfx/animation.h"
#include "platform/gfx/appearance.h"
#include "platform/gfx/graphics_context.h"
#include "platform/ui/application.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/segmented_control.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"
#include "velmora/screens/kuvo_color.h"

namespace velmora {

namespace {

constexpr double kToastHeight = 40, kToastBottomMargin = 80;
// The room between the toast's text and the edges of its rounded capsule:
// the sides wider than the corners' radius, so that no line runs into a
// corner.
constexpr double kToastSidePadding = 16, kToastTopPadding = 8;

// A toast: its text set within the padding of its capsule.
class ToastLabel : public platform::ui::Label {
public:
    using Label::Label;
    void draw(const platform::gfx::Rect&) override {
        auto* context = platform::gfx::GraphicsContext::current();
        if (!context || text().empty()) return;
        context->drawText(text(), bounds().insetBy(kToastSidePadding, kToastTopPadding), font(), textColor(),
                          textAlignment());
    }
};

}  // namespace

using platform::gfx::Color;
using platform::gfx::Rect;
using platform::ui::View;

std::shared_ptr<platform::ui::Window> ViewManager::keyWindow() {
    const auto& scenes = platform::ui::Application::shared().connectedScenes();
    if (scenes.empty() || !scenes.front()) return nullptr;
    auto windows = scenes.front()->windows();
    return windows.empty() ? nullptr : windows.front();
}

void ViewManager::showLoadingOverlay() {
    auto window = keyWindow();
    if (!window || window->viewWithTag(loadingOverlayTag)) return;
    // The window's own coordinates: a window away from the screen's origin
    // is still covered from its corner.
    auto overlay = std::make_shared<View>(window->bounds());
    overlay->setTag(loadingOverlayTag);
    overlay->setBackgroundColor(Color::white(0.0, 0.7));
    window->addSubview(overlay);

    auto spinner = std::make_shared<platform::ui::ActivityIndicatorView>(platform::ui::ActivityIndicatorStyle::large);
    spinner->setCenter(platform::material::center(overlay->frame()));
    spinner->setColor(platform::gfx::isDarkMode() ? KuvoColor::lightGray() : KuvoColor::tertiaryGroupedBackground());
    spinner->startAnimating();
    overlay->addSubview(spinner);
}

void ViewManager::hideLoadingOverlay() {
    auto window = keyWindow();
    if (!window) return;
    if (auto overlay = window->viewWithTag(loadingOverlayTag); overlay && overlay != window) {
        overlay->removeFromSuperview();
    }
}

void ViewManager::showLoadingOverlayOnMain() { platform::dispatch::mainQueue().async([] { showLoadingOverlay(); }); }

void ViewManager::hideLoadingOverlayOnMain() { platform::dispatch::mainQueue().async([] { hideLoadingOverlay(); }); }

void ViewManager::showToast(const std::string& message) {
    auto window = keyWindow();
    auto root = window ? window->rootViewController() : nullptr;
    auto target = root ? root->viewIfLoaded() : nullptr;
    if (!target) return;
    Rect frame = target->frame();
    double w = frame.width(), h = frame.height();
    const auto font = platform::gfx::Font::named("Avenir-Book", 14).value_or(platform::gfx::Font::system(14));
    // One line fits the toast's 40 points with its padding; a longer
    // message, such as a reason with a file's path, makes it taller upwards,
    // line by line, so that it is read to its end.
    const double textWidth = std::max(0.0, 0.9 * w - 2 * kToastSidePadding);
    const double height =
        std::max(kToastHeight, std::ceil(font.measure(message, textWidth, 0).height) + 2 * kToastTopPadding);
    auto toast = std::make_shared<ToastLabel>(Rect(w / 2 - 0.9 * w / 2, h - kToastBottomMargin - height, 0.9 * w, height));
    // Opaque: what lies under the toast (the keypad's gaps) must not show
    // through it, in either style.
    toast->setBackgroundColor(KuvoColor::label());
    toast->setTextColor(KuvoColor::tertiaryGroupedBackground());
    toast->setFont(font);
    toast->setTextAlignment(platform::ui::TextAlignment::center);
    toast->setNumberOfLines(0);
    toast->setText(message);
    toast->setAlpha(1.0);
    toast->layer()->setCornerRadius(10);
    toast->setClipsToBounds(true);
    target->addSubview(toast);
    platform::gfx::runOnMainAfter(toastDuration, [toast] { fadeOutToast(toast); });
}

void ViewManager::fadeOutToast(const std::shared_ptr<platform::ui::Label>& toast) {
    if (!toast) return;
    platform::ui::AnimationOptions options;
    options.curve = platform::ui::AnimationCurve::easeOut;
    View::animate(
        toastFadeDuration, 0, options, [toast] { toast->setAlpha(0.0); },
        [toast](bool) { toast->removeFromSuperview(); });
}

void ViewManager::setSegmentImagesAspectFit(View& view) {
    auto children = view.subviews();  // the walk must not see the list change under it
    for (const auto& sub : children) {
        bool container = platform::ui::isExactly<View>(*sub) || platform::ui::isExactly<platform::ui::StackView>(*sub);
        if (container && !sub->subviews().empty()) {
            setSegmentImagesAspectFit(*sub);
            continue;
        }
        if (!platform::ui::isExactly<platform::ui::SegmentedControl>(*sub)) continue;
        for (const auto& inner : collectSubviews(*sub)) {
            if (platform::ui::isKindOf<platform::ui::ImageView>(*inner)) {
                inner->setContentMode(platform::ui::ContentMode::scaleAspectFit);
            }
        }
    }
}

std::vector<std::shared_ptr<View>> ViewManager::collectSubviews(const View& view) {
    std::vector<std::shared_ptr<View>> out;
    for (const auto& sub : view.subviews()) {
        out.insert(out.end(), sub->subviews().begin(), sub->subviews().end());
    }
    return out;
}

}  // namespace velmora
