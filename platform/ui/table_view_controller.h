#pragma once

#include <memory>

#include "platform/ui/table_view.h"
#include "platform/ui/view_controller.h"

namespace platform::ui {

// A controller whose view is a table, and which is the table's data source
// and delegate. Subclasses that override viewWillAppear call this one's,
// which clears the selection as the platform's does.
class TableViewController : public ViewController, public TableViewDataSource, public TableViewDelegate {
public:
    explicit TableViewController(TableViewStyle style = TableViewStyle::plain);

    std::shared_ptr<TableView> tableView();
    bool clearsSelectionOnViewWillAppear() const { return clearsSelection_; }
    void setClearsSelectionOnViewWillAppear(bool clears) { clearsSelection_ = clears; }

    void loadView() override;
    void viewWillAppear(bool animated) override;
    int numberOfRows(TableView&, int) override { return 0; }
    std::shared_ptr<TableViewCell> cellForRow(TableView&, IndexPath) override { return nullptr; }

private:
    TableViewStyle style_;
    bool clearsSelection_ = true;
};

}  // namespace platform::ui
