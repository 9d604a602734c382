// The manual page: one help image in a zoomable scroll view, with a title and a close button.
#pragma once

#include <memory>
#include <string>

#include "platform/ui/control.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"
#include "platform/ui/view_controller.h"

namespace velmora {

// Its views come from the interface file "ManualViewController"
// (registerManualPageNib); the opener sets imageName before presenting it.
class ManualViewController : public platform::ui::ViewController, public platform::ui::ScrollViewDelegate {
public:
    static constexpr const char* nibName = "ManualViewController";
    static constexpr const char* closeButtonIdentifier = "closeManualButton";

    ManualViewController();

    // Outlets, connected by the interface file.
    std::shared_ptr<platform::ui::Label> label;
    std::shared_ptr<platform::ui::ImageView> imageView;
    std::shared_ptr<platform::ui::ScrollView> scrollView;
    std::shared_ptr<platform::ui::Button> closeButton;

    // The bundle image to show; empty or unknown shows no image.
    std::string imageName;

    void viewDidLoad() override;
    std::shared_ptr<platform::ui::View> viewForZooming(platform::ui::ScrollView&) override;
    void closeButtonPressed();

    // What an opener does: a new page with the image, as a page sheet,
    // presented animated from the presenter.
    static std::shared_ptr<ManualViewController> present(platform::ui::ViewController& presenter,
                                                         const std::string& imageName);
};

// Registers the interface file "ManualViewController".
void registerManualPageNib();

}  // namespace velmora
