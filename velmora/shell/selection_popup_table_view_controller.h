// The selection popup: a small popover list that marks the selected text and hands the chosen row to its caller.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/gfx/color.h"
#include "platform/ui/table_view_controller.h"

namespace velmora {

// One section of rows, one a text of data, the selected one highlighted;
// as wide as rowWidth and as high as its rows. A chosen row goes to the
// completion, then the popup closes itself. The caller fills the fields
// between making the popup and presenting it. A border is drawn along the
// popover's outline. Main thread only.
class SelectionPopupTableViewController : public platform::ui::TableViewController {
public:
    static constexpr const char* cellReuseIdentifier = "DefaultCell";
    static constexpr const char* borderLayerName = "border";
    static constexpr double borderWidth = 4.0;

    SelectionPopupTableViewController();

    double rowHeight = 40.0;
    int rowWidth = 80;
    platform::ui::TextAlignment textAlignment = platform::ui::TextAlignment::center;
    platform::gfx::Color tableViewBgColor;
    platform::gfx::Color tableViewSeparatorColor;
    platform::gfx::Color cellBgColor;
    platform::gfx::Color cellHighlightColor;
    std::optional<int> selectedIndex;
    std::vector<std::string> data;
    std::function<void(int)> completion;

    // rowWidth wide, rowHeight a row high; what is set is kept by the
    // platform but not answered.
    platform::gfx::Size preferredContentSize() const override;

    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewWillLayoutSubviews() override;

    int numberOfSections(platform::ui::TableView&) override { return 1; }
    int numberOfRows(platform::ui::TableView&, int section) override;
    std::optional<double> heightForRow(platform::ui::TableView&, platform::ui::IndexPath) override { return rowHeight; }
    std::shared_ptr<platform::ui::TableViewCell> cellForRow(platform::ui::TableView& table,
                                                            platform::ui::IndexPath indexPath) override;
    void didSelectRow(platform::ui::TableView& table, platform::ui::IndexPath indexPath) override;

    // The border along the popover's outline: a shape layer named "border"
    // on the popover's container (the superview of the view's superview),
    // stroking the container's mask shape. Added once per container; nothing
    // without such a container or mask.
    void addBorder();

private:
    bool isRow(int row) const { return row >= 0 && row < static_cast<int>(data.size()); }
};

}  // namespace velmora
