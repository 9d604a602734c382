// Tests of the pages' hooks into the shell, and of the solution page showing the video row end to end.
#include <doctest/doctest.h>

#include <fstream>

#include "platform/foundation/bundle.h"
#include "platform/foundation/process_info.h"
#include "platform/gfx/image.h"
#include "platform/ui/interaction.h"
#include "platform/ui/label.h"
#include "platform/ui/segmented_control.h"
#include "platform/ui/storyboard.h"
#include "velmora/engine/string_output.h"
#include "velmora/screens/screen_scenes.h"
#include "velmora/screens/shell_hooks.h"
#include "velmora/screens/solution_view_controller.h"
#include "velmora/shell/dsgvo_manager.h"
#include "velmora/shell/manual_view_controller.h"
#include "velmora/shell/remote_config_manager.h"
#include "velmora/shell/shell_pages.h"
#include "velmora/shell/shell_pages_test_support.h"
#include "velmora/shell/video_address.h"
#include "velmora/shell/view_manager.h"
#include "velmora/shell/video_tutorial_cells.h"

using namespace velmora;
using platform::ui::IndexPath;

namespace {

const std::string kWatch = std::string("https://") + kVideoSiteHost + "/watch?v=";

// A manager whose active values hold video lists for the Bernoulli
// calculator ("QZT") and one other code.
struct RemoteVideos {
    testsupport::TempDir dir;
    std::shared_ptr<platform::dispatch::ManualQueue> queue =
        std::make_shared<platform::dispatch::ManualQueue>("remote config");
    std::shared_ptr<platform::VEZRemoteConfig> client;
    std::shared_ptr<RemoteConfigManager> manager;

    RemoteVideos() {
        platform::ProcessInfo::setLocaleIdentifier("en_US");
        std::ofstream(dir / "values.json") << R"({"entries": {"videoTutorials": {
            "QZT": {"en": [")" + kWatch + R"(bRn9Xq3LpTk&t=90s", ")" + kWatch + R"(Kd4mW8sNe2J"]},
            "LGS": {"en": [")" + kWatch + R"(Tq6jL1vBx5M"]}}}})";
        client = std::make_shared<platform::VEZRemoteConfig>(
            platform::VEZRemoteConfigOptions{dir / "data", (dir / "values.json").string(), nullptr, queue});
        manager = RemoteConfigManager::make(client);
        client->fetch(0, nullptr);
        client->activate(nullptr);
        queue->drain();
        manager->loadVideoTutorials(*client);
    }
    ~RemoteVideos() {
        platform::ProcessInfo::reset();
        shellHooks() = ShellHooks{};
    }
};

}  // namespace

TEST_CASE("the pages' hooks reach the shell's parts") {
    testing::ShellStage stage;
    RemoteVideos remote;
    installShellPages(remote.manager);

    SUBCASE("video addresses by calculator code") {
        CHECK(videoTutorialAddresses("QZT") ==
              std::vector<std::string>{kWatch + "bRn9Xq3LpTk&t=90s", kWatch + "Kd4mW8sNe2J"});
        CHECK(videoTutorialAddresses("NOPE").empty());
        CHECK(videoTutorialAddresses("").empty());
    }
    SUBCASE("toasts through the view manager") {
        showToast("Please fill in all required values.");
        auto labels = platform::ui::findViews(*stage.root()->view(), [](const platform::ui::View& v) {
            auto* label = dynamic_cast<const platform::ui::Label*>(&v);
            return label && label->text() == "Please fill in all required values.";
        });
        CHECK(labels.size() == 1);
        stage.advance(5);
        CHECK(labels.front()->superview() == nullptr);
    }
    SUBCASE("the loading overlay through the view manager, from the main queue") {
        auto window = ViewManager::keyWindow();
        REQUIRE(window);
        showLoadingOverlayOnMain();
        CHECK_FALSE(window->viewWithTag(ViewManager::loadingOverlayTag));
        stage.settle();
        CHECK(window->viewWithTag(ViewManager::loadingOverlayTag));
        hideLoadingOverlayOnMain();
        stage.settle();
        CHECK_FALSE(window->viewWithTag(ViewManager::loadingOverlayTag));
    }
    SUBCASE("the manual page") {
        presentManual(*stage.root(), "manual_bernoulli");
        auto page = std::dynamic_pointer_cast<ManualViewController>(stage.root()->presentedViewController());
        REQUIRE(page);
        CHECK(page->imageName == "manual_bernoulli");
    }
    SUBCASE("segment images") {
        auto control = std::make_shared<platform::ui::SegmentedControl>();
        control->insertSegment(platform::gfx::Image(platform::gfx::Size{8, 8}), 0);
        control->layoutSubviews();
        stage.root()->view()->addSubview(control);
        setSegmentImagesAspectFit(*stage.root()->view());
        auto images = ViewManager::collectSubviews(*control);
        REQUIRE_FALSE(images.empty());
        for (const auto& view : images) {
            if (platform::ui::isKindOf<platform::ui::ImageView>(*view)) {
                CHECK(view->contentMode() == platform::ui::ContentMode::scaleAspectFit);
            }
        }
    }
}

TEST_CASE("the solution page shows the video row: locked, asked, then loading its videos") {
    testing::ShellStage stage;
    RemoteVideos remote;
    registerScreenScenes();
    installShellPages(remote.manager);
    auto board = platform::ui::Storyboard::named(SolutionViewController::storyboardName);
    REQUIRE(board);
    auto page = board->instantiate<SolutionViewController>(SolutionViewController::storyboardIdentifier);
    REQUIRE(page);
    stage.window().setRootViewController(page);
    stage.settle();
    page->showSolution({makeStep("Your Input", "k=2"), makeStep("Result", "0.3087")}, {}, std::nullopt,
                       std::nullopt, 60);
    stage.settle();
    REQUIRE(page->tableView->numberOfSections() == 2);  // steps, then videos
    page->tableView->scrollToRow(IndexPath{1, 0}, platform::ui::TableViewScrollPosition::top, false);
    page->tableView->layoutIfNeeded();
    auto row = std::dynamic_pointer_cast<VideoCollectionTableViewCell>(page->tableView->cellForRow(IndexPath{1, 0}));
    REQUIRE(row);
    CHECK(row->videoUrlStringArray.size() == 2);
    CHECK_FALSE(row->lockingView->isHidden());

    REQUIRE(platform::ui::tap(*row->unlockButton));
    stage.settle();
    REQUIRE(stage.answerAlert(platform::Bundle::main().localizedString("dsgvoAccept")));
    CHECK(DsgvoManager::isYoutubeDsgvoAccepted());
    CHECK(row->lockingView->isHidden());
    stage.window().topViewController()->dismiss(false);  // the video introduction
    stage.settle();

    std::vector<std::pair<std::string, std::optional<std::string>>> loaded;
    for (int item = 0; item < 2; ++item) {
        row->videoCollectionView->scrollToItem(IndexPath{0, item}, false);
        row->videoCollectionView->layoutIfNeeded();
        auto tile = std::dynamic_pointer_cast<VideoCollectionViewCell>(row->videoCollectionView->cellForItem({0, item}));
        REQUIRE(tile);
        loaded.emplace_back(tile->videoView->currentLoad()->videoId, tile->videoView->startTime());
    }
    CHECK(loaded == std::vector<std::pair<std::string, std::optional<std::string>>>{{"bRn9Xq3LpTk", "90"},
                                                                                    {"Kd4mW8sNe2J", std::nullopt}});
}
