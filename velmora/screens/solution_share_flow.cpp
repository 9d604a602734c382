// The solution page's share flow: the whole table as one image, offered in
// the share sheet.
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"
#include "velmora/charts/screenshot_flag.h"
#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/screens/shell_hooks.h"
#include "velmora/screens/solution_view_controller.h"
#include "velmora/screens/table_screenshot.h"

namespace velmora {

namespace {
constexpr double kPopoverAnchorHeight = 50.0;
}

void SolutionViewController::tappedShareButton() {
    logEvent("kuvo_tapped_share", {{"solutionSteps", stepDictionaries(solutionSteps)},
                                   {"solutionStepsCount", static_cast<long long>(solutionSteps.size())}});
    // A second walk would scroll the same table under the first one.
    if (!shareTask_.isFinished()) return;
    shareTask_ = platform::dispatch::startMainTask(platform::dispatch::TaskPriority::userInitiated,
                                                   shareSolution(sharedAs<SolutionViewController>()));
}

platform::dispatch::Async<void> SolutionViewController::shareSolution(std::shared_ptr<SolutionViewController> page) {
    if (page->solutionSteps.empty()) co_return;
    setIsTakingScreenshot(true);
    showLoadingOverlayOnMain();
    // The overlay arrives on the next turn; the notice goes above it, where
    // it can be read and answered while the overlay covers the page.
    co_await platform::dispatch::nextTurn();
    auto handoff = std::make_shared<ShareHandoff>();
    page->showQualityNotice(handoff);
    auto image = co_await screenshot(page->tableView);
    if (image) handoff->images.push_back(*image);
    handoff->imageReady = true;
    hideLoadingOverlayOnMain();
    setIsTakingScreenshot(false);
    page->offerShareSheet(*handoff);
}

// The notice on the image's quality. Its "OK" offers the sheet when the
// image is ready; a notice the platform would not show counts as
// dismissed, so the sheet still follows the image.
void SolutionViewController::showQualityNotice(const std::shared_ptr<ShareHandoff>& handoff) {
    std::weak_ptr<SolutionViewController> weak = sharedAs<SolutionViewController>();
    auto ok = platform::ui::AlertAction::make("OK", platform::ui::AlertActionStyle::defaultStyle,
                                              [weak, handoff](platform::ui::AlertAction&) {
                                                  handoff->noticeDismissed = true;
                                                  if (auto page = weak.lock()) page->offerShareSheet(*handoff);
                                              });
    auto notice = showAlert(*this, LocalizedString::localized("sharingImageQualityTitle"),
                            LocalizedString::localized("sharingImageQualityText"), {ok});
    if (!notice->presentingViewController()) handoff->noticeDismissed = true;
}

// Offered once, when the image is ready and the notice gone; with no image
// there is nothing to share.
void SolutionViewController::offerShareSheet(ShareHandoff& handoff) {
    if (!handoff.imageReady || !handoff.noticeDismissed || handoff.sheetOffered) return;
    handoff.sheetOffered = true;
    if (handoff.images.empty()) return;
    std::vector<platform::ui::ActivityItem> items(handoff.images.begin(), handoff.images.end());
    auto sheet = std::make_shared<platform::ui::ActivityViewController>(std::move(items));
    if (platform::ui::Device::current().userInterfaceIdiom() == platform::ui::UserInterfaceIdiom::pad) {
        if (auto* popover = sheet->popoverPresentationController()) {
            auto root = view();
            popover->setSourceView(root);
            popover->setSourceRect({0, root->bounds().height(), root->bounds().width(), kPopoverAnchorHeight});
        }
    }
    present(sheet, true);
}

}  // namespace velmora
