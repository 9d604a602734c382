#include "platform/ui/table_view_controller.h"

#include "platform/ui/application.h"

namespace platform::ui {

TableViewController::TableViewController(TableViewStyle style) : style_(style) {}

std::shared_ptr<TableView> TableViewController::tableView() { return std::dynamic_pointer_cast<TableView>(view()); }

void TableViewController::loadView() {
    ViewController::loadView();
    auto table = std::dynamic_pointer_cast<TableView>(viewIfLoaded());
    if (!table) {
        table = std::make_shared<TableView>(Screen::main().bounds(), style_);
        setView(table);
    }
    if (!table->dataSource()) table->setDataSource(sharedAs<TableViewDataSource>());
    if (!table->delegate()) table->setDelegate(sharedAs<TableViewDelegate>());
}

void TableViewController::viewWillAppear(bool animated) {
    if (!clearsSelection_) return;
    if (auto table = std::dynamic_pointer_cast<TableView>(viewIfLoaded())) {
        for (const auto& path : table->indexPathsForSelectedRows()) table->deselectRow(path, animated);
    }
}

}  // namespace platform::ui
