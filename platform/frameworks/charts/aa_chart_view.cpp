// The chart view: keeps its options, draws them, answers touches and legend clicks.
#include "platform/frameworks/charts/aa_chart_view.h"

#include "platform/frameworks/charts/chart_look.h"
#include "platform/gfx/graphics_context.h"
#include "platform/ui/label.h"

namespace platform::charts {

AAChartView::AAChartView() { setBackgroundColor(gfx::Color::white()); }

AAChartView::AAChartView(const gfx::Rect& frame) : ui::View(frame) { setBackgroundColor(gfx::Color::white()); }

void AAChartView::setIsClearBackgroundColor(bool clear) {
    clearBackground_ = clear;
    setBackgroundColor(clear ? gfx::Color::clear() : gfx::Color::white());
}

void AAChartView::aa_drawChartWithChartOptions(const AAOptions& options) {
    options_ = options;
    selection_.reset();
    ++drawChartCount_;
    setNeedsDisplay();
}

ChartGeometry AAChartView::geometry() const {
    if (!options_) return {};
    return layoutChart(*options_, bounds().size);
}

bool AAChartView::touchPoint(std::size_t series, std::size_t point) {
    if (!options_ || series >= options_->series.size() || !options_->series[series].visible) return false;
    const auto& data = options_->series[series].data;
    if (point >= data.size() || data[point].size() < 2) return false;
    selection_ = ChartSelection{series, point};
    setNeedsDisplay();
    return true;
}

void AAChartView::clickLegendItem(std::size_t series) {
    if (!options_ || series >= options_->series.size()) return;
    const auto& events = options_->plotOptions.events;
    if (events && events->legendItemClickHandler && !events->legendItemClickHandler(series)) return;
    options_->series[series].visible = !options_->series[series].visible;
    if (selection_ && selection_->series == series) selection_.reset();
    setNeedsDisplay();
}

void AAChartView::draw(const gfx::Rect& rect) {
    ui::View::draw(rect);
    auto* ctx = gfx::GraphicsContext::current();
    if (!ctx || !options_) return;
    if (options_->chart.backgroundColor) {
        if (auto color = look::colorOr(options_->chart.backgroundColor, gfx::Color::clear()); color.alpha().value_or(0) > 0) {
            ctx->setFillColor(color);
            ctx->fill(gfx::Rect({0, 0}, bounds().size));
        }
    }
    renderChart(*options_, geometry(), selection_, *ctx);
}

void AAChartView::describe(std::vector<std::string>& notes) const {
    ui::View::describe(notes);
    if (!options_) return;
    notes.push_back(std::string("chart=") + chartTypeName(options_->chart.type));
    if (!options_->title.text.empty()) notes.push_back("title=" + ui::quoted(options_->title.text));
    notes.push_back("series=" + std::to_string(options_->series.size()));
}

}  // namespace platform::charts
