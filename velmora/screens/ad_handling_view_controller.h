#pragma once

#include <memory>

#include "platform/ui/view_controller.h"

namespace velmora {

// The base of the calculator and solution pages: a page that may carry an
// advertisement banner. Nothing sets or shows the banner yet; the pages hide
// it when they appear.
class AdHandlingViewController : public platform::ui::ViewController {
public:
    using platform::ui::ViewController::ViewController;

    std::shared_ptr<platform::ui::View> bannerView;
};

}  // namespace velmora
