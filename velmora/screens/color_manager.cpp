#include "velmora/screens/color_manager.h"

#include "platform/frameworks/input_field/dt_text_field.h"
#include "platform/frameworks/material/buttons.h"
#include "platform/frameworks/star_rating/star_rating_view.h"
#include "platform/gfx/layer.h"
#include "platform/ui/control.h"
#include "platform/ui/image_view.h"
#include "platform/ui/stack_view.h"
#include "velmora/engine/palette.h"
#include "velmora/screens/kuvo_color.h"

namespace velmora {

using platform::gfx::Color;
using platform::ui::isExactly;
using platform::ui::isKindOf;

std::optional<std::string> ColorManager::hexString(const Color& color) {
    auto c = color.rgba();
    if (!c) return std::nullopt;
    return velmora::hexString(RGBColor{c->red, c->green, c->blue, c->alpha});
}

Color ColorManager::adjustedForDarkMode(const Color& color, double brightness) {
    return adjustedForDarkMode(color, brightness, platform::gfx::interfaceStyle());
}

Color ColorManager::adjustedForDarkMode(const Color& color, double brightness, platform::gfx::InterfaceStyle style) {
    if (style != platform::gfx::InterfaceStyle::dark) return color;
    auto rgba = color.rgba(style);
    // a colour without a red-green-blue form has no brightness to change
    if (!rgba) return color;
    platform::gfx::HSBA hsba = platform::gfx::toHSBA(*rgba);
    double b = hsba.brightness * brightness;
    if (!(b > 0)) b = 0;
    return Color::hsb(hsba.hue, hsba.saturation, b, hsba.alpha);
}

namespace {

// The light-mode shadow of styled views and layers.
void applyGreyShadow(platform::gfx::Layer& layer) {
    layer.setMasksToBounds(false);
    layer.setShadowColor(KuvoColor::systemGray());
    layer.setShadowOpacity(0.7);
    layer.setShadowOffset({0, 1});
    layer.setShadowRadius(1);
}

}  // namespace

void ColorManager::styleByTag(platform::ui::View& view) {
    bool dark = platform::gfx::isDarkMode();
    if (auto palette = KuvoColor::paletteColorForTag(view.tag())) {
        view.setBackgroundColor(*palette);
    } else if (view.tag() == 200) {
        view.setAlpha(dark ? 0.3 : 0.5);
    }
    if (auto* button = dynamic_cast<platform::ui::Button*>(&view)) {
        button->setTitleColor(KuvoColor::darkGray(), platform::ui::controlState::normal);
        button->setTintColor(KuvoColor::darkGray());
    }
    if (auto* flat = dynamic_cast<platform::material::FlatButton*>(&view)) {
        if (auto imageView = flat->imageView()) imageView->setTintColor(KuvoColor::darkGray());
    }
    if (!dark) applyGreyShadow(*view.layer());
}

void ColorManager::styleLayersByTag(platform::rating::StarRatingView& view) {
    if (auto palette = KuvoColor::paletteColorForTag(view.tag())) {
        view.settings().filledColor = *palette;
        view.update();
    }
    if (platform::gfx::isDarkMode()) return;
    for (const auto& sublayer : view.layer()->sublayers()) applyGreyShadow(*sublayer);
}

void ColorManager::styleViewHierarchy(platform::ui::View& view) {
    auto children = view.subviews();  // styling must not see the list change under it
    for (const auto& sub : children) {
        platform::ui::View& v = *sub;
        if (isExactly<platform::ui::View>(v)) {
            if (!v.subviews().empty()) {
                styleViewHierarchy(v);
            } else {
                styleByTag(v);
            }
        } else if (isExactly<platform::ui::StackView>(v)) {
            styleViewHierarchy(v);
        } else if (isExactly<platform::ui::Button>(v) || isExactly<platform::material::FlatButton>(v) ||
                   isExactly<platform::material::FABButton>(v) || isExactly<platform::ui::ImageView>(v)) {
            styleByTag(v);
        } else if (isExactly<platform::rating::StarRatingView>(v)) {
            styleLayersByTag(static_cast<platform::rating::StarRatingView&>(v));
        } else if (isExactly<platform::input::DTTextField>(v)) {
            static_cast<platform::input::DTTextField&>(v).backgroundLayer()->setBackgroundColor(Color::systemBackground());
        }
    }
}

void ColorManager::addCardShadow(platform::gfx::Layer& layer) { applyCardShadow(layer); }

void ColorManager::applyCardShadow(platform::gfx::Layer& layer) {
    bool dark = platform::gfx::isDarkMode();
    layer.setMasksToBounds(false);
    layer.setShadowColor(KuvoColor::cardShadow());
    layer.setShadowOpacity(0.5);
    layer.setShadowOffset(dark ? platform::gfx::Size{0, 0} : platform::gfx::Size{0, 1.5});
    layer.setShadowRadius(dark ? 1.0 : 2.0);
}

}  // namespace velmora
