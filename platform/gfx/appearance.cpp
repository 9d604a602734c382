#include "platform/gfx/appearance.h"

#include <atomic>

namespace platform::gfx {

namespace {
std::atomic<InterfaceStyle> currentStyle{InterfaceStyle::light};
}

InterfaceStyle interfaceStyle() { return currentStyle.load(); }

void setInterfaceStyle(InterfaceStyle style) {
    currentStyle.store(style == InterfaceStyle::unspecified ? InterfaceStyle::light : style);
}

bool isDarkMode() { return interfaceStyle() == InterfaceStyle::dark; }

InterfaceStyleScope::InterfaceStyleScope(InterfaceStyle style) : previous_(interfaceStyle()) {
    setInterfaceStyle(style);
}

InterfaceStyleScope::~InterfaceStyleScope() { setInterfaceStyle(previous_); }

}  // namespace platform::gfx
