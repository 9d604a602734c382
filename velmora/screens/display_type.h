#pragma once

namespace velmora {

// Kinds of device display. Nothing classifies a device or reads a value of
// this type yet; layout decisions test the interface idiom directly.
enum class DisplayType {
    unknown,
    iphone4,
    iphone5,
    iphone6,
    iphone6plus,
    iPadNonRetina,
    iPad,
    iPadProBig,
};

// A display, without state or operations.
class Display {};

}  // namespace velmora
