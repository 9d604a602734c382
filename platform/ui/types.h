#pragma once

#include "platform/gfx/appearance.h"
#include "platform/gfx/color.h"
#include "platform/gfx/font.h"
#include "platform/gfx/geometry.h"
#include "platform/gfx/image.h"

// The user-interface stand-in: views, controls, tables, controllers, windows
// and the application, headless. Everything runs on the main thread.
namespace platform::ui {

using gfx::AffineTransform;
using gfx::Color;
using gfx::EdgeInsets;
using gfx::Font;
using gfx::Image;
using gfx::InterfaceStyle;
using gfx::Point;
using gfx::Rect;
using gfx::Size;
using gfx::TextAlignment;

enum class UserInterfaceIdiom { phone = 0, pad = 1 };
enum class SizeClass { unspecified = 0, compact = 1, regular = 2 };

struct TraitCollection {
    InterfaceStyle userInterfaceStyle = InterfaceStyle::light;
    UserInterfaceIdiom userInterfaceIdiom = UserInterfaceIdiom::phone;
    SizeClass horizontalSizeClass = SizeClass::compact;
};

// The traits of the running process: its interface style and device.
TraitCollection currentTraits();

}  // namespace platform::ui
