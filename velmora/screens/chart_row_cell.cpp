// The chart row's cell and its stand-in.
#include "velmora/screens/chart_row_cell.h"

#include <typeinfo>

#include "platform/ui/label.h"
#include "platform/ui/storyboard.h"

namespace velmora {

PlaceholderChartCell::PlaceholderChartCell()
    : ChartRowCell(platform::ui::TableViewCellStyle::defaultStyle, reuseIdentifier) {}

void PlaceholderChartCell::configure(const ChartList& chartData, platform::ui::View& hostView) {
    chartData_ = chartData;
    for (auto& sub : std::vector(contentView()->subviews())) sub->removeFromSuperview();
    if (chartData.empty()) return;
    std::string names;
    for (const auto& record : chartData) {
        if (!record) continue;
        names += (names.empty() ? "" : " ") + platform::ui::shortTypeName(typeid(*record));
    }
    auto label = std::make_shared<platform::ui::Label>(
        platform::gfx::Rect(0, 0, hostView.bounds().width(), contentView()->bounds().height()));
    label->setAutoresizingMask(platform::ui::autoresizing::flexibleHeight);
    label->setTextAlignment(platform::gfx::TextAlignment::center);
    label->setText(names);
    contentView()->addSubview(label);
}

void registerPlaceholderChartCell() {
    platform::ui::Nib::registerNib(ChartRowCell::nibName, [](platform::ui::Responder*) {
        return std::vector<std::shared_ptr<platform::ui::View>>{std::make_shared<PlaceholderChartCell>()};
    });
}

}  // namespace velmora
