#pragma once

namespace platform::gfx {

// The process-wide interface style (light or dark appearance). Colours with a
// light and a dark variant resolve against it whenever they are read.
enum class InterfaceStyle { unspecified = 0, light = 1, dark = 2 };

InterfaceStyle interfaceStyle();  // never unspecified: that reads as light
void setInterfaceStyle(InterfaceStyle style);
bool isDarkMode();

// Sets a style for the life of a scope and puts the previous one back.
class InterfaceStyleScope {
public:
    explicit InterfaceStyleScope(InterfaceStyle style);
    ~InterfaceStyleScope();
    InterfaceStyleScope(const InterfaceStyleScope&) = delete;
    InterfaceStyleScope& operator=(const InterfaceStyleScope&) = delete;

private:
    InterfaceStyle previous_;
};

}  // namespace platform::gfx
