#pragma once

#include <memory>

#include "platform/frameworks/material/buttons.h"
#include "platform/frameworks/math_label/mt_math_ui_label.h"
#include "platform/ui/table_view_controller.h"

namespace velmora {

// One history row: the entry's LaTeX line.
class HistoryTableViewCell : public platform::ui::TableViewCell {
public:
    static constexpr const char* reuseIdentifier = "historyCell";

    HistoryTableViewCell();

    std::shared_ptr<platform::math::MTMathUILabel> mathLabel;  // outlet

    void awakeFromNib() override;
};

// The stored calculations, newest first: reopen one on a new calculator
// page, delete by swiping, reorder in edit mode, clear after asking.
class HistoryTableViewController : public platform::ui::TableViewController {
public:
    static constexpr const char* storyboardName = "Main";
    static constexpr const char* storyboardIdentifier = "HistoryTableViewController";

    HistoryTableViewController();

    std::shared_ptr<platform::material::IconButton> editButton;
    std::shared_ptr<platform::material::IconButton> clearAllButton;

    void handleEditButton();
    // Asks before clearing; "Clear" clears, "Cancel" does nothing.
    void handleClearAllButton();
    void clearHistory();

    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;

    int numberOfSections(platform::ui::TableView&) override { return 1; }
    int numberOfRows(platform::ui::TableView&, int section) override;
    std::shared_ptr<platform::ui::TableViewCell> cellForRow(platform::ui::TableView& table,
                                                            platform::ui::IndexPath indexPath) override;
    bool canEditRow(platform::ui::TableView&, platform::ui::IndexPath) override { return true; }
    bool canMoveRow(platform::ui::TableView&, platform::ui::IndexPath) override { return true; }
    void commitEditing(platform::ui::TableView& table, platform::ui::TableViewCellEditingStyle style,
                       platform::ui::IndexPath indexPath) override;
    void moveRow(platform::ui::TableView&, platform::ui::IndexPath from, platform::ui::IndexPath to) override;
    void didSelectRow(platform::ui::TableView& table, platform::ui::IndexPath indexPath) override;

private:
    std::shared_ptr<platform::material::IconButton> makeToolbarButton(const platform::gfx::Image& icon,
                                                                      void (HistoryTableViewController::*action)(),
                                                                      const char* actionName);
    void openOnNewCalculatorPage();
};

}  // namespace velmora
