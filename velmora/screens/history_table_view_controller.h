#pragma once

#include <memory>
#include <vector>

#include "platform/frameworks/material/buttons.h"
#include "platform/frameworks/math_label/mt_math_ui_label.h"
#include "platform/ui/table_view_controller.h"

namespace velmora {

// One history row: the entry's LaTeX line, centred on the row's height
// (where edit mode's controls are centred), between the row's margins and
// inside the room that edit mode's controls leave. A line wider than that
// room is set smaller, down to smallestFontSize; one wider still is shown
// on two lines, broken between its parts (p, k and n) where the longer line
// is shortest, in place of mathLabel, which keeps the entry's whole line;
// a part too long for any of that is cut at the room's end.
class HistoryTableViewCell : public platform::ui::TableViewCell {
public:
    static constexpr const char* reuseIdentifier = "historyCell";
    static constexpr double margin = 16;
    static constexpr double smallestFontSize = 14;

    HistoryTableViewCell();

    std::shared_ptr<platform::math::MTMathUILabel> mathLabel;  // outlet

    // The two lines of an entry too wide for one; hidden while mathLabel
    // shows the entry (none before an entry first needed them).
    const std::vector<std::shared_ptr<platform::math::MTMathUILabel>>& wrappedLines() const { return lines_; }

    void awakeFromNib() override;
    void layoutSubviews() override;

private:
    void fitFormula();
    std::vector<std::shared_ptr<platform::math::MTMathUILabel>> lines_;
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
