// The video tutorial row and tiles: lock state from the video consent, the buttons, the tiles' loads.
#include "velmora/shell/video_tutorial_cells.h"

#include <mutex>

#include "platform/gfx/image.h"
#include "platform/ui/application.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/window.h"
#include "velmora/screens/color_manager.h"
#include "velmora/screens/screen_texts.h"
#include "velmora/shell/dsgvo_manager.h"
#include "velmora/shell/onboarding_manager.h"
#include "velmora/shell/video_address.h"
#include "velmora/shell/view_manager.h"

namespace velmora {

using platform::gfx::Rect;
using platform::ui::View;
namespace autoresizing = platform::ui::autoresizing;

// ---- tile ----

void VideoCollectionViewCell::awakeFromNib() {
    platform::ui::CollectionViewCell::awakeFromNib();
    ColorManager::applyCardShadow(*layer());
    if (videoView) videoView->setDelegate(sharedAs<platform::video::YTPlayerViewDelegate>());
}

// A tile that once hid its player (an earlier, malformed address) shows it
// again for every load: tiles are reused.
void VideoCollectionViewCell::configure(const std::optional<std::string>& videoAddress) {
    if (coveringView) coveringView->setHidden(false);
    auto request = videoAddress ? parseVideoAddress(*videoAddress) : std::nullopt;
    if (!request || !videoView) {
        hidePlayer();
        return;
    }
    videoView->setHidden(false);
    videoView->loadWithVideoId(request->videoId, request->playerVars);
}

void VideoCollectionViewCell::hidePlayer() {
    if (videoView) videoView->setHidden(true);
}

void VideoCollectionViewCell::playerViewDidBecomeReady(platform::video::YTPlayerView&) {
    if (coveringView) coveringView->setHidden(true);
}

// ---- row ----

namespace {

std::shared_ptr<platform::ui::ViewController> presentingPage() {
    auto window = ViewManager::keyWindow();
    return window ? window->rootViewController() : nullptr;
}

}  // namespace

void VideoCollectionTableViewCell::awakeFromNib() {
    VideoRowCell::awakeFromNib();
    if (titleLabel) titleLabel->setText(LocalizedString::recommendedVideoIfUnclear());
    if (unlockButton) unlockButton->setTitle(LocalizedString::touchToUnlock());
    refreshLockState();
    for (const auto& button : {privacyButton, manualButton, unlockButton}) {
        if (button) ColorManager::styleByTag(*button);
    }
    if (videoCollectionView) {
        videoCollectionView->setDelegate(sharedAs<platform::ui::CollectionViewDelegate>());
        videoCollectionView->setDataSource(sharedAs<platform::ui::CollectionViewDataSource>());
        if (auto nib = platform::ui::Nib::named(VideoCollectionViewCell::nibName)) {
            videoCollectionView->registerNib(*nib, VideoCollectionViewCell::reuseIdentifier);
        }
        videoCollectionView->setBackgroundColor(platform::gfx::Color::clear());
    }
    setBackgroundColor(platform::gfx::Color::clear());
}

// A row handed out again shows the answer stored meanwhile.
void VideoCollectionTableViewCell::showVideos(const std::vector<std::string>& videoUrlStrings) {
    refreshLockState();
    videoUrlStringArray = videoUrlStrings;
    if (videoCollectionView) videoCollectionView->reloadData();
}

int VideoCollectionTableViewCell::numberOfItems(platform::ui::CollectionView&, int) {
    return static_cast<int>(videoUrlStringArray.size());
}

std::optional<platform::gfx::Size> VideoCollectionTableViewCell::sizeForItem(platform::ui::CollectionView& collectionView,
                                                                            platform::ui::IndexPath) {
    double side = 0.95 * collectionView.frame().height();
    return platform::gfx::Size{side, side};
}

std::shared_ptr<platform::ui::CollectionViewCell> VideoCollectionTableViewCell::cellForItem(
    platform::ui::CollectionView& collectionView, platform::ui::IndexPath indexPath) {
    return videoCell(collectionView, indexPath);
}

std::shared_ptr<platform::ui::CollectionViewCell> VideoCollectionTableViewCell::videoCell(
    platform::ui::CollectionView& collectionView, platform::ui::IndexPath indexPath) {
    auto cell = collectionView.dequeueReusableCell(VideoCollectionViewCell::reuseIdentifier, indexPath);
    if (auto tile = std::dynamic_pointer_cast<VideoCollectionViewCell>(cell)) {
        std::optional<std::string> address;
        if (indexPath.row >= 0 && indexPath.row < static_cast<int>(videoUrlStringArray.size())) {
            address = videoUrlStringArray[static_cast<std::size_t>(indexPath.row)];
        }
        tile->configure(address);
    }
    return cell;
}

// Whichever button asked, the row shows the answer that was stored.
void VideoCollectionTableViewCell::tappedLockingViewButton() {
    std::weak_ptr<VideoCollectionTableViewCell> weak = sharedAs<VideoCollectionTableViewCell>();
    DsgvoManager::presentYoutubeConsentAlertOnMain(
        presentingPage(),
        [weak] {
            if (auto row = weak.lock()) row->unlockVideos();
        },
        [weak] {
            if (auto row = weak.lock()) row->refreshLockState();
        });
}

void VideoCollectionTableViewCell::tappedPrivacyButton() {
    std::weak_ptr<VideoCollectionTableViewCell> weak = sharedAs<VideoCollectionTableViewCell>();
    DsgvoManager::presentYoutubeConsentAlertOnMain(
        presentingPage(),
        [weak] {
            if (auto row = weak.lock()) row->refreshLockState();
        },
        [weak] {
            if (auto row = weak.lock()) row->lockVideos();
        });
}

void VideoCollectionTableViewCell::tappedManualButton() { showVideoIntroduction(); }

void VideoCollectionTableViewCell::unlockVideos() {
    refreshLockState();
    showVideoIntroduction();
}

void VideoCollectionTableViewCell::lockVideos() { refreshLockState(); }

void VideoCollectionTableViewCell::refreshLockState() {
    bool accepted = DsgvoManager::isYoutubeDsgvoAccepted();
    if (lockingView) lockingView->setHidden(accepted);
    if (privacyButton) {
        privacyButton->setImage(platform::gfx::Image::systemNamed(accepted ? unlockedImageName : lockedImageName),
                                platform::ui::controlState::normal);
    }
}

void VideoCollectionTableViewCell::showVideoIntroduction() {
    auto presenter = presentingPage();
    if (!presenter) return;
    OnboardingManager::presentOnboarding(OnboardingManager::videoOnboardingPages(), *presenter,
                                         platform::ui::ModalPresentationStyle::formSheet, true,
                                         [] { OnboardingManager::markOnboardingFinished(); });
}

// ---- root width ----

namespace {

std::mutex widthMutex;
std::optional<double> keptWidth;

}  // namespace

double VideoCollectionTableViewCell::rootViewWidth() {
    std::lock_guard lock(widthMutex);
    if (keptWidth) return *keptWidth;
    auto page = presentingPage();
    auto view = page ? page->viewIfLoaded() : nullptr;
    double width = view ? view->frame().width() : 0.0;
    if (width > 0) keptWidth = width;
    return width;
}

void VideoCollectionTableViewCell::forgetRootViewWidth() {
    std::lock_guard lock(widthMutex);
    keptWidth.reset();
}

// ---- interface files ----

namespace {

std::shared_ptr<platform::ui::Button> makeRowButton(VideoCollectionTableViewCell* row, const Rect& frame, int tag,
                                                    const char* identifier, const char* actionName,
                                                    void (VideoCollectionTableViewCell::*action)()) {
    auto button = std::make_shared<platform::ui::Button>(frame);
    button->setTag(tag);
    button->setAccessibilityIdentifier(identifier);
    if (row) {
        std::weak_ptr<VideoCollectionTableViewCell> weak = row->sharedAs<VideoCollectionTableViewCell>();
        button->addTarget(
            [weak, action](platform::ui::Control&) {
                if (auto r = weak.lock()) ((*r).*action)();
            },
            platform::ui::controlEvent::touchUpInside, actionName);
    }
    return button;
}

// The row: the title and the two round buttons along the top, the tiles
// below, and the locking view over the tiles with its unlock button. All of
// it is laid out for the screen's width and keeps that width when the row is
// made wider: the solution page's table reaches past the screen's right
// edge, and what followed the row's edge would be drawn out of sight there.
std::vector<std::shared_ptr<View>> buildVideoRow(platform::ui::Responder*) {
    double w = platform::ui::Screen::main().bounds().width(), h = w;
    auto row = std::make_shared<VideoCollectionTableViewCell>(platform::ui::TableViewCellStyle::defaultStyle,
                                                              VideoCollectionTableViewCell::reuseIdentifier);
    row->setFrame(Rect(0, 0, w, h));
    auto* raw = row.get();
    auto& content = *row->contentView();
    // Two lines high: on a small screen the title wraps rather than losing its end.
    row->titleLabel = std::make_shared<platform::ui::Label>(Rect(16, 4, w - 116, 44));
    row->titleLabel->setNumberOfLines(2);
    if (auto font = platform::gfx::Font::named("Avenir-Medium", 17)) row->titleLabel->setFont(*font);
    row->manualButton = makeRowButton(raw, Rect(w - 92, 8, 36, 36), 102, "videoManualButton", "tappedManualButton:",
                                      &VideoCollectionTableViewCell::tappedManualButton);
    row->manualButton->setImage(platform::gfx::Image::systemNamed("questionmark.circle"));
    row->privacyButton = makeRowButton(raw, Rect(w - 48, 8, 36, 36), 102, "videoPrivacyButton",
                                       "tappedPrivacyButton:", &VideoCollectionTableViewCell::tappedPrivacyButton);
    platform::ui::CollectionViewFlowLayout flow;
    flow.scrollDirection = platform::ui::ScrollDirection::horizontal;
    flow.sectionInset = {0, 16, 0, 16};
    row->videoCollectionView = std::make_shared<platform::ui::CollectionView>(Rect(0, 52, w, h - 60), flow);
    row->lockingView = std::make_shared<View>(Rect(0, 52, w, h - 60));
    row->lockingView->setBackgroundColor(platform::gfx::Color::systemBackground().withAlphaComponent(0.9));
    for (const auto& view : std::initializer_list<std::shared_ptr<View>>{row->videoCollectionView, row->lockingView}) {
        view->setAutoresizingMask(autoresizing::flexibleHeight);
    }
    Rect locking = row->lockingView->bounds();
    row->unlockButton = makeRowButton(raw, Rect(locking.width() / 2 - 110, locking.height() / 2 - 25, 220, 50), 102,
                                      "unlockVideosButton", "tappedLockingViewButton:",
                                      &VideoCollectionTableViewCell::tappedLockingViewButton);
    row->unlockButton->setAutoresizingMask(autoresizing::flexibleLeftMargin | autoresizing::flexibleRightMargin |
                                           autoresizing::flexibleTopMargin | autoresizing::flexibleBottomMargin);
    row->lockingView->addSubview(row->unlockButton);
    for (const auto& view : std::initializer_list<std::shared_ptr<View>>{
             row->titleLabel, row->manualButton, row->privacyButton, row->videoCollectionView, row->lockingView}) {
        content.addSubview(view);
    }
    return {row};
}

// A tile: the player filling it, the covering view over the player.
std::vector<std::shared_ptr<View>> buildVideoTile(platform::ui::Responder*) {
    auto tile = std::make_shared<VideoCollectionViewCell>(Rect(0, 0, 200, 200));
    Rect bounds = tile->contentView()->bounds();
    tile->videoView = std::make_shared<platform::video::YTPlayerView>(bounds);
    tile->coveringView = std::make_shared<View>(bounds);
    tile->coveringView->setBackgroundColor(platform::gfx::Color::systemGray4());
    for (const auto& view : std::initializer_list<std::shared_ptr<View>>{tile->videoView, tile->coveringView}) {
        view->setAutoresizingMask(autoresizing::flexibleWidth | autoresizing::flexibleHeight);
        tile->contentView()->addSubview(view);
    }
    return {tile};
}

}  // namespace

void registerVideoTutorialNibs() {
    platform::ui::Nib::registerNib(VideoCollectionTableViewCell::nibName, buildVideoRow);
    platform::ui::Nib::registerNib(VideoCollectionViewCell::nibName, buildVideoTile);
}

}  // namespace velmora
