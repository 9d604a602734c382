// The drawer menu: navigation, the introduction and privacy text, contact rows and the maker's other applications.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/notification_center.h"
#include "platform/ui/table_view_controller.h"
#include "velmora/shell/remote_config_manager.h"

namespace velmora {

// The table of the drawer's left panel. Section 0 navigates (calculator,
// history, introduction, privacy text), section 1 holds the contact rows
// (community, rating), and when both lists of the maker's applications
// hold one, a section follows for each, multi-applications first; one list
// alone is not shown. Every row logs its event. While on screen the menu
// follows the remote "apps" value and each activation of the application.
// Main thread only.
class LeftViewController : public platform::ui::TableViewController {
public:
    static constexpr const char* storyboardName = "Main";
    static constexpr const char* storyboardIdentifier = "LeftViewController";
    static constexpr const char* cellReuseIdentifier = "cell";
    // The application's community server on a chat service.
    static constexpr const char* communityInviteAddress = "https://chat.velmora.example/invite/bernoulli";
    static constexpr double headerHeight = 30;

    LeftViewController();

    // The localised row titles, in order.
    std::vector<std::string> mainSectionRows;
    std::vector<std::string> contactSectionRows;
    // The application sections as last read from the manager.
    std::vector<AppSection> appSections;

    // Where the application lists come from; none: the shared manager.
    void setRemoteConfigManager(std::shared_ptr<RemoteConfigManager> manager);
    // The section count last answered to the table: 1 before the first.
    int numberOfSections() const { return numberOfSections_; }

    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;

    int numberOfSections(platform::ui::TableView&) override;
    int numberOfRows(platform::ui::TableView&, int section) override;
    std::shared_ptr<platform::ui::TableViewCell> cellForRow(platform::ui::TableView& table,
                                                            platform::ui::IndexPath indexPath) override;
    std::shared_ptr<platform::ui::View> viewForHeader(platform::ui::TableView& table, int section) override;
    std::optional<double> heightForHeader(platform::ui::TableView&, int section) override;
    void didSelectRow(platform::ui::TableView& table, platform::ui::IndexPath indexPath) override;

    // Reads the application lists anew and reloads the table, on the main
    // queue: the notifications may arrive on another queue.
    void didUpdateMenu();

    void handleMainRow(int row);
    void handleContactRow(int row);
    // The row of the application section of that kind.
    void handleAppRow(int row, bool isMultiApp);

    // An application's name for the device language, else for "en", else empty.
    static std::string displayName(const AppMetaData& app);

private:
    const RemoteConfigManager& manager() const;
    const AppSection* appSection(int section) const;
    std::string headerTitle(int section) const;
    void reloadMenu();

    std::shared_ptr<RemoteConfigManager> manager_;
    int numberOfSections_ = 1;
    std::vector<platform::ObserverToken> observers_;
};

// Registers the menu's scene "LeftViewController" in the storyboard "Main".
void registerDrawerMenuScene();

}  // namespace velmora
