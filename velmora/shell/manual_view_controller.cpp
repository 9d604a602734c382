// The manual page and its interface file.
#include "velmora/shell/manual_view_controller.h"

#include "platform/gfx/image.h"
#include "platform/ui/application.h"
#include "platform/ui/storyboard.h"
#include "velmora/engine/engine_texts.h"

namespace velmora {

using platform::gfx::Rect;

ManualViewController::ManualViewController() : platform::ui::ViewController(nibName) {}

void ManualViewController::viewDidLoad() {
    platform::ui::ViewController::viewDidLoad();
    if (imageView) imageView->setImage(imageName.empty() ? std::nullopt : platform::gfx::Image::named(imageName));
    if (scrollView) scrollView->setDelegate(sharedAs<platform::ui::ScrollViewDelegate>());
    if (label) label->setText(LocalizedString::localized("Assistance"));
    if (closeButton) closeButton->setAccessibilityIdentifier(closeButtonIdentifier);
}

std::shared_ptr<platform::ui::View> ManualViewController::viewForZooming(platform::ui::ScrollView&) {
    return imageView;
}

void ManualViewController::closeButtonPressed() { dismiss(true); }

std::shared_ptr<ManualViewController> ManualViewController::present(platform::ui::ViewController& presenter,
                                                                    const std::string& imageName) {
    auto page = std::make_shared<ManualViewController>();
    page->imageName = imageName;
    page->setModalPresentationStyle(platform::ui::ModalPresentationStyle::pageSheet);
    presenter.present(page, true);
    return page;
}

namespace {

// The layout: the title and close button along the top, the zoomable image
// below, filling the rest. Zooming goes from the fitted image to four times.
std::vector<std::shared_ptr<platform::ui::View>> buildManualPage(platform::ui::Responder* owner) {
    Rect screen = platform::ui::Screen::main().bounds();
    double w = screen.width(), h = screen.height();
    auto root = std::make_shared<platform::ui::View>(Rect(0, 0, w, h));
    root->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth | platform::ui::autoresizing::flexibleHeight);
    root->setBackgroundColor(platform::gfx::Color::systemBackground());

    auto title = std::make_shared<platform::ui::Label>(Rect(20, 16, w - 100, 36));
    title->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth);
    if (auto font = platform::gfx::Font::named("Avenir-Heavy", 20)) title->setFont(*font);
    auto close = std::make_shared<platform::ui::Button>(Rect(w - 64, 12, 44, 44));
    close->setAutoresizingMask(platform::ui::autoresizing::flexibleLeftMargin);
    close->setImage(platform::gfx::Image::systemNamed("xmark"));
    auto scroll = std::make_shared<platform::ui::ScrollView>(Rect(0, 64, w, h - 64));
    scroll->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth |
                                platform::ui::autoresizing::flexibleHeight);
    scroll->setMinimumZoomScale(1);
    scroll->setMaximumZoomScale(4);
    auto image = std::make_shared<platform::ui::ImageView>(Rect(0, 0, w, h - 64));
    image->setContentMode(platform::ui::ContentMode::scaleAspectFit);
    scroll->addSubview(image);
    scroll->setContentSize(image->frame().size);
    root->addSubview(title);
    root->addSubview(close);
    root->addSubview(scroll);

    if (auto* page = dynamic_cast<ManualViewController*>(owner)) {
        page->label = title;
        page->imageView = image;
        page->scrollView = scroll;
        page->closeButton = close;
        page->setView(root);
        std::weak_ptr<ManualViewController> weak = page->sharedAs<ManualViewController>();
        close->addTarget(
            [weak](platform::ui::Control&) {
                if (auto p = weak.lock()) p->closeButtonPressed();
            },
            platform::ui::controlEvent::touchUpInside, "closeButtonPressed:");
    }
    return {root};
}

}  // namespace

void registerManualPageNib() { platform::ui::Nib::registerNib(ManualViewController::nibName, buildManualPage); }

}  // namespace velmora
