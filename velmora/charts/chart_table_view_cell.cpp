// The chart row of the solution page.
#include "velmora/charts/chart_table_view_cell.h"

#include <algorithm>
#include <cmath>

#include "platform/gfx/graphics_context.h"
#include "platform/gfx/layer.h"
#include "platform/ui/scroll_view.h"
#include "velmora/charts/chart_manager.h"
#include "velmora/charts/chart_nibs.h"

namespace velmora {

ChartTableViewCell::ChartTableViewCell()
    : TableViewCell(platform::ui::TableViewCellStyle::defaultStyle, cellIdentifier) {}

void ChartTableViewCell::configure(const ChartList& chartData, const platform::ui::View& hostView) {
    chartData_ = chartData;
    const auto content = contentView();
    auto old = content->subviews();  // removing changes the list
    for (const auto& view : old) view->removeFromSuperview();
    std::shared_ptr<platform::ui::View> chart;
    if (chartData.size() == 1) chart = ChartManager::makeChartViews(chartData.front(), hostView);
    if (!chart) chart = ChartManager::makeCommonSplineCharts(chartData, hostView);
    if (chart) content->addSubview(chart);
}

std::optional<platform::gfx::Image> ChartTableViewCell::imageOfWholeChart() {
    const auto content = contentView();
    const auto chart = content->subviews().empty() ? nullptr : content->subviews().front();
    std::shared_ptr<platform::ui::ScrollView> scroll;
    if (chart) {
        for (const auto& view : chart->allDescendants()) {
            if ((scroll = std::dynamic_pointer_cast<platform::ui::ScrollView>(view))) break;
        }
    }
    const platform::gfx::Rect frame = this->frame();
    std::optional<platform::gfx::Rect> chartFrame;
    platform::gfx::Point offset;
    if (scroll) {
        // What the scroll view cannot show at once, added to the row and to
        // the chart, whose scroll view spans it.
        const auto inside = scroll->contentSize();
        const auto shown = scroll->bounds().size;
        const double wider = std::max(0.0, inside.width - shown.width);
        const double higher = std::max(0.0, inside.height - shown.height);
        chartFrame = chart->frame();
        offset = scroll->contentOffset();
        setFrame({frame.origin, {frame.width() + wider, frame.height() + higher}});
        layoutIfNeeded();
        chart->setFrame({chartFrame->origin, {chartFrame->width() + wider, chartFrame->height() + higher}});
        chart->layoutIfNeeded();
        scroll->setContentOffset(scroll->minimumContentOffset());
    }
    const platform::gfx::Rect bounds = this->bounds();
    auto image = platform::gfx::ImageRenderer(bounds.size).image([&](platform::gfx::GraphicsContext& context) {
        context.translateBy(-bounds.minX(), -bounds.minY());
        layer()->renderInContext(context);
    });
    if (scroll) {
        setFrame(frame);
        layoutIfNeeded();
        chart->setFrame(*chartFrame);
        chart->layoutIfNeeded();
        scroll->setContentOffset(offset);
    }
    return image;
}

platform::ui::Nib ChartTableViewCell::nib() {
    registerChartNibs();
    return *platform::ui::Nib::named("ChartTableViewCell");
}

std::optional<double> ChartTableViewCell::rowHeight(const ChartList& chartData, double tableWidth) {
    if (chartData.empty() || !chartData.front() || !chartData.front()->frameRatio) return std::nullopt;
    const double ratio = *chartData.front()->frameRatio;
    if (!std::isfinite(ratio) || !(ratio > 0)) return std::nullopt;
    const double height = tableWidth / ratio;
    if (!std::isfinite(height)) return std::nullopt;
    return height;
}

}  // namespace velmora
