// The solution page's row of video tutorials: the locked row, its buttons and the video tiles.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/frameworks/video_player/yt_player_view.h"
#include "platform/ui/collection_view.h"
#include "platform/ui/control.h"
#include "platform/ui/label.h"
#include "platform/ui/table_view.h"
#include "velmora/screens/video_row_cell.h"

namespace velmora {

// One video tile: the embedded player under a covering view that hides it
// until the player is ready. From the interface file "VideoCollectionViewCell".
class VideoCollectionViewCell : public platform::ui::CollectionViewCell,
                                public platform::video::YTPlayerViewDelegate {
public:
    static constexpr const char* reuseIdentifier = "videoCollectionViewCell";
    static constexpr const char* nibName = "VideoCollectionViewCell";

    using platform::ui::CollectionViewCell::CollectionViewCell;

    std::shared_ptr<platform::ui::View> coveringView;
    std::shared_ptr<platform::video::YTPlayerView> videoView;

    void awakeFromNib() override;
    // Covers the tile and loads the address's video; an absent or malformed
    // address hides the player instead.
    void configure(const std::optional<std::string>& videoAddress);
    void playerViewDidBecomeReady(platform::video::YTPlayerView&) override;

private:
    void hidePlayer();
};

// The solution page's video row: a title, a privacy button (the lock), a
// manual button and the collection of tiles, covered by a locking view until
// the video player's privacy text is accepted. From the interface file
// "VideoCollectionTableViewCell", reused as "videoCollectionTableViewCell".
// Main thread only.
class VideoCollectionTableViewCell : public VideoRowCell,
                                     public platform::ui::CollectionViewDataSource,
                                     public platform::ui::CollectionViewDelegate {
public:
    static constexpr const char* lockedImageName = "lock.fill";
    static constexpr const char* unlockedImageName = "lock.open.fill";

    using VideoRowCell::VideoRowCell;

    // Outlets, connected by the interface file.
    std::shared_ptr<platform::ui::View> lockingView;
    std::shared_ptr<platform::ui::Button> unlockButton;
    std::shared_ptr<platform::ui::Label> titleLabel;
    std::shared_ptr<platform::ui::Button> privacyButton;
    std::shared_ptr<platform::ui::Button> manualButton;
    std::shared_ptr<platform::ui::CollectionView> videoCollectionView;

    std::vector<std::string> videoUrlStringArray;

    void awakeFromNib() override;
    // Takes the addresses and reloads the tiles, showing the stored answer.
    void showVideos(const std::vector<std::string>& videoUrlStrings) override;

    int numberOfItems(platform::ui::CollectionView&, int section) override;
    std::optional<platform::gfx::Size> sizeForItem(platform::ui::CollectionView& collectionView,
                                                   platform::ui::IndexPath) override;
    std::shared_ptr<platform::ui::CollectionViewCell> cellForItem(platform::ui::CollectionView& collectionView,
                                                                  platform::ui::IndexPath indexPath) override;
    std::shared_ptr<platform::ui::CollectionViewCell> videoCell(platform::ui::CollectionView& collectionView,
                                                                platform::ui::IndexPath indexPath);

    // Button actions: the video consent from the locking view (to unlock)
    // and from the lock (to allow declining); the video introduction.
    void tappedLockingViewButton();
    void tappedPrivacyButton();
    void tappedManualButton();

    void unlockVideos();  // shows the tiles, then the video introduction
    void lockVideos();
    // The look of the stored answer: locked or not.
    void refreshLockState();
    void showVideoIntroduction();

    // The width of the key window's root page view, kept once measured;
    // 0, and nothing kept, while there is none to measure. The solution
    // page makes the row this high.
    static double rootViewWidth();
    // Forgets the kept width, as a new process would.
    static void forgetRootViewWidth();
};

// Registers the interface files of the row and of its tiles.
void registerVideoTutorialNibs();

}  // namespace velmora
