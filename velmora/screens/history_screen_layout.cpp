// The history screen's layout: the table and its row prototype.
#include "platform/ui/application.h"
#include "velmora/screens/history_table_view_controller.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/page_layouts.h"

namespace velmora {

using platform::gfx::Rect;

std::shared_ptr<platform::ui::View> layoutHistoryScreen(HistoryTableViewController&) {
    Rect screen = platform::ui::Screen::main().bounds();
    auto table = std::make_shared<platform::ui::TableView>(Rect(0, 0, screen.width(), screen.height()));
    table->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth | platform::ui::autoresizing::flexibleHeight);
    table->setBackgroundColor(KuvoColor::background());
    table->setRowHeight(60);
    double width = screen.width();
    table->registerPrototype(HistoryTableViewCell::reuseIdentifier, [width] {
        auto cell = std::make_shared<HistoryTableViewCell>();
        cell->setFrame(Rect(0, 0, width, 60));
        cell->mathLabel = std::make_shared<platform::math::MTMathUILabel>(Rect(16, 12, width - 32, 36));
        cell->contentView()->addSubview(cell->mathLabel);
        return cell;
    });
    return table;
}

}  // namespace velmora
