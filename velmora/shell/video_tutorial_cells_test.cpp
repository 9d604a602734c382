// Tests of the video tutorial row: the lock and the video consent, the tiles' loads, reuse, and the row's width.
#include <doctest/doctest.h>

#include "platform/foundation/bundle.h"
#include "platform/foundation/user_defaults.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "platform/ui/storyboard.h"
#include "velmora/screens/screen_texts.h"
#include "velmora/shell/dsgvo_manager.h"
#include "velmora/shell/onboarding_manager.h"
#include "velmora/shell/shell_pages_test_support.h"
#include "velmora/shell/video_address.h"
#include "velmora/shell/video_tutorial_cells.h"

using namespace velmora;
using platform::ui::IndexPath;
using platform::video::YTPlayerView;

namespace {

const std::string kWatch = std::string("https://") + kVideoSiteHost + "/watch?v=";
const std::string kShorts = std::string("https://") + kVideoSiteHost + "/shorts/";

std::string text(const std::string& key) { return platform::Bundle::main().localizedString(key); }

std::shared_ptr<VideoCollectionTableViewCell> makeRow(testing::ShellStage& stage) {
    auto nib = platform::ui::Nib::named(VideoCollectionTableViewCell::nibName);
    REQUIRE(nib);
    auto row = std::dynamic_pointer_cast<VideoCollectionTableViewCell>(nib->instantiate(nullptr).front());
    REQUIRE(row);
    stage.root()->view()->addSubview(row);
    row->layoutIfNeeded();
    return row;
}

bool looksLocked(const VideoCollectionTableViewCell& row) {
    auto image = row.privacyButton->image();
    bool lockImage = image && image->name() == "lock.fill";
    bool openImage = image && image->name() == "lock.open.fill";
    CHECK(lockImage != openImage);
    CHECK(row.lockingView->isHidden() == openImage);
    return lockImage;
}

std::shared_ptr<VideoCollectionViewCell> tile(VideoCollectionTableViewCell& row, int item) {
    row.videoCollectionView->scrollToItem(IndexPath{0, item}, false);
    row.videoCollectionView->layoutIfNeeded();
    return std::dynamic_pointer_cast<VideoCollectionViewCell>(row.videoCollectionView->cellForItem(IndexPath{0, item}));
}

std::shared_ptr<platform::onboard::OnboardViewController> shownIntroduction(testing::ShellStage& stage) {
    return std::dynamic_pointer_cast<platform::onboard::OnboardViewController>(stage.window().topViewController());
}

}  // namespace

TEST_CASE("the video row is locked until the video consent is accepted") {
    testing::ShellStage stage;
    auto row = makeRow(stage);
    CHECK(row->titleLabel->text() == LocalizedString::recommendedVideoIfUnclear());
    CHECK(row->unlockButton->currentTitle() == LocalizedString::touchToUnlock());
    CHECK(looksLocked(*row));

    SUBCASE("unlocking through the locking view shows the videos, then the video introduction") {
        REQUIRE(platform::ui::tap(*row->unlockButton));
        stage.settle();
        REQUIRE(stage.shownAlert());
        CHECK(stage.shownAlert()->alertTitle() == text("dsgvoYoutubeTitle"));
        REQUIRE(stage.answerAlert(text("dsgvoAccept")));
        CHECK(DsgvoManager::isYoutubeDsgvoAccepted());
        CHECK_FALSE(looksLocked(*row));
        auto intro = shownIntroduction(stage);
        REQUIRE(intro);
        CHECK(intro->presentedStyle() == platform::ui::ModalPresentationStyle::formSheet);
        CHECK(intro->pageItems().front().imageName == "onboarding_youtube_1");
        for (int page = 0; page < 5; ++page) intro->advance();
        stage.advance(0.3);
        CHECK(OnboardingManager::isOnboardingFinished());
    }
    SUBCASE("declining through the locking view keeps it locked") {
        REQUIRE(platform::ui::tap(*row->unlockButton));
        stage.settle();
        REQUIRE(stage.answerAlert(text("dsgvoDecline")));
        CHECK(looksLocked(*row));
        CHECK(platform::UserDefaults().objectForKey("isYoutubeDsgvoAccepted") == platform::Value(false));
        CHECK(stage.window().presentationChain().size() == 1);  // no introduction
    }
    SUBCASE("accepting through the privacy button unlocks the row as well") {
        REQUIRE(platform::ui::tap(*row->privacyButton));
        stage.settle();
        REQUIRE(stage.answerAlert(text("dsgvoAccept")));
        CHECK_FALSE(looksLocked(*row));
        CHECK(stage.window().presentationChain().size() == 1);

        REQUIRE(platform::ui::tap(*row->privacyButton));
        stage.settle();
        REQUIRE(stage.answerAlert(text("dsgvoDecline")));
        CHECK(looksLocked(*row));
        CHECK_FALSE(DsgvoManager::isYoutubeDsgvoAccepted());
    }
    SUBCASE("the manual button shows the video introduction") {
        REQUIRE(platform::ui::tap(*row->manualButton));
        stage.advance(0.3);
        auto intro = shownIntroduction(stage);
        REQUIRE(intro);
        CHECK(intro->descriptionLabel()->text() == text("onboardingYoutube1"));
    }
    SUBCASE("a row gone before the answer is left alone") {
        REQUIRE(platform::ui::tap(*row->unlockButton));
        stage.settle();
        row->removeFromSuperview();
        row.reset();
        REQUIRE(stage.answerAlert(text("dsgvoAccept")));
        CHECK(DsgvoManager::isYoutubeDsgvoAccepted());
        CHECK(stage.window().presentationChain().size() == 1);
    }
    SUBCASE("a row filled again shows the answer stored meanwhile") {
        DsgvoManager::storeConsent(DsgvoManager::isYoutubeDsgvoAcceptedKey, true, {});
        CHECK(looksLocked(*row));
        row->showVideos({kWatch + "bRn9Xq3LpTk"});
        CHECK_FALSE(looksLocked(*row));
    }
    SUBCASE("a row made after the acceptance starts unlocked") {
        DsgvoManager::storeConsent(DsgvoManager::isYoutubeDsgvoAcceptedKey, true, {});
        CHECK_FALSE(looksLocked(*makeRow(stage)));
    }
}

TEST_CASE("the video tiles load the identifiers and start times of their addresses") {
    testing::ShellStage stage;
    DsgvoManager::storeConsent(DsgvoManager::isYoutubeDsgvoAcceptedKey, true, {});
    auto row = makeRow(stage);
    YTPlayerView::setReadyDelay(1);

    struct Row {
        std::string address;
        std::optional<std::string> videoId;  // none: the player is hidden
        std::optional<std::string> start;
    };
    const std::vector<Row> rows = {
        {kWatch + "bRn9Xq3LpTk&t=90s", "bRn9Xq3LpTk", "90"},
        {"https://elsewhere.example/watch?v=bRn9Xq3LpTk", std::nullopt, std::nullopt},
        {kShorts + "Kd4mW8sNe2J", "Kd4mW8sNe2J", std::nullopt},
        {kWatch + "hV7cPz0Yw", std::nullopt, std::nullopt},
        {kWatch + "Tq6jL1vBx5M&feature=share", "Tq6jL1vBx5M", std::nullopt},
        {kWatch + "Za2Gk7nRu4E&t=1m30s", "Za2Gk7nRu4E", std::nullopt},
    };
    std::vector<std::string> addresses;
    for (const auto& r : rows) addresses.push_back(r.address);
    row->showVideos(addresses);
    auto& collection = *row->videoCollectionView;
    CHECK(collection.numberOfItems(0) == static_cast<int>(rows.size()));
    double side = 0.95 * collection.frame().height();
    CHECK(collection.frameForItem(IndexPath{0, 0}).size == platform::gfx::Size{side, side});

    // Scrolling along reuses tiles: one that hid its player for a malformed
    // address shows it again for the next good one.
    for (std::size_t i = 0; i < rows.size(); ++i) {
        CAPTURE(rows[i].address);
        auto item = tile(*row, static_cast<int>(i));
        REQUIRE(item);
        CHECK(item->layer()->shadowOpacity() == 0.5);  // the card shadow
        CHECK_FALSE(item->coveringView->isHidden());
        CHECK(item->videoView->isHidden() == !rows[i].videoId.has_value());
        if (!rows[i].videoId) continue;
        auto load = item->videoView->currentLoad();
        REQUIRE(load);
        CHECK(load->videoId == *rows[i].videoId);
        CHECK(item->videoView->startTime() == rows[i].start);
        CHECK(load->playerVars.at("iv_load_policy") == platform::Value(1));
        stage.advance(1);
        CHECK(item->coveringView->isHidden());  // the player is ready
    }
    CHECK(collection.visibleCells().size() < rows.size());  // tiles were indeed reused

    SUBCASE("no addresses: no tiles") {
        row->showVideos({});
        CHECK(collection.numberOfItems(0) == 0);
        CHECK(collection.visibleCells().empty());
    }
    YTPlayerView::setReadyDelay(0.5);
}

TEST_CASE("a tile shows its player again for every load") {
    testing::ShellStage stage;
    auto nib = platform::ui::Nib::named(VideoCollectionViewCell::nibName);
    auto item = std::dynamic_pointer_cast<VideoCollectionViewCell>(nib->instantiate(nullptr).front());
    REQUIRE(item);
    item->configure(std::nullopt);
    CHECK(item->videoView->isHidden());
    item->configure(kWatch + "bRn9Xq3LpTk");
    CHECK_FALSE(item->videoView->isHidden());
    item->configure("text");
    CHECK(item->videoView->isHidden());
    CHECK(item->videoView->loads().size() == 1);  // nothing malformed reached the player
    item->configure(kShorts + "Kd4mW8sNe2J");
    CHECK_FALSE(item->videoView->isHidden());
    CHECK(item->videoView->currentLoad()->videoId == "Kd4mW8sNe2J");
}

TEST_CASE("the root view's width is kept only once measured") {
    testing::ShellStage stage(platform::gfx::Rect(0, 0, 414, 896));
    auto& app = platform::ui::Application::shared();
    app.disconnectScene(app.connectedScenes().front());
    CHECK(VideoCollectionTableViewCell::rootViewWidth() == 0);
    stage.launch();
    CHECK(VideoCollectionTableViewCell::rootViewWidth() == 414);
    stage.root()->view()->setFrame(platform::gfx::Rect(0, 0, 300, 600));
    CHECK(VideoCollectionTableViewCell::rootViewWidth() == 414);
}

TEST_CASE("a row made wider than the screen keeps its buttons and the unlock button on the screen") {
    testing::ShellStage stage;
    auto row = makeRow(stage);
    const double screen = platform::ui::Screen::main().bounds().width();
    // As the solution table, which reaches 50 points past the screen's edge, sizes it.
    row->setFrame({0, 0, screen + 50, screen});
    row->layoutIfNeeded();
    for (const auto& button : {row->manualButton, row->privacyButton}) {
        const auto frame = button->convertRect(button->bounds(), row.get());
        CHECK(frame.minX() >= 0);
        CHECK(frame.maxX() <= screen);
    }
    CHECK(row->titleLabel->frame().maxX() <= row->manualButton->frame().minX());
    const auto unlock = row->unlockButton->convertRect(row->unlockButton->bounds(), row.get());
    CHECK(unlock.midX() == doctest::Approx(screen / 2));
    CHECK(row->videoCollectionView->frame().maxX() <= screen);
}
