// Where the parts of a chart go: title, legend, axes and the plot area.
#include <algorithm>
#include <cmath>

#include "platform/frameworks/charts/chart_look.h"
#include "platform/frameworks/charts/chart_renderer.h"
#include "platform/frameworks/charts/series_path.h"

namespace platform::charts {

namespace {

const std::vector<std::string>& libraryPalette() {
    static const std::vector<std::string> palette{"#1e88e5", "#43a047", "#fb8c00", "#8e24aa", "#e53935"};
    return palette;
}

// The extents of the visible series' finite points, along x and along y.
std::pair<std::optional<Extent>, std::optional<Extent>> dataExtents(const AAOptions& options) {
    std::optional<Extent> x, y;
    auto grow = [](std::optional<Extent>& e, double v) {
        if (!e) {
            e = Extent{v, v};
        } else {
            e->min = std::min(e->min, v);
            e->max = std::max(e->max, v);
        }
    };
    for (const auto& series : options.series) {
        if (!series.visible) continue;
        for (const auto& run : seriesRuns(series.data)) {
            for (const auto& p : run) {
                grow(x, p.x);
                grow(y, p.y);
            }
        }
    }
    return {x, y};
}

struct LegendLook {
    double symbolWidth, symbolHeight, itemDistance, padding;
    gfx::Font font;
};

LegendLook legendLook(const AAOptions& options) {
    const AALegend legend = options.legend.value_or(AALegend{});
    auto size = [](const std::optional<double>& v, double fallback) {
        return v && *v >= 0 && *v < 1000 ? *v : fallback;
    };
    return {size(legend.symbolWidth, 16), size(legend.symbolHeight, 12), size(legend.itemDistance, 20),
            size(legend.padding, 8), look::legendFont(options)};
}

bool legendShown(const AAOptions& options) {
    return !options.series.empty() && (!options.legend || options.legend->enabled.value_or(true));
}

// Items in rows (one row per item when the layout is vertical), each row
// aligned as asked; answers the height the legend takes.
double layoutLegend(const AAOptions& options, gfx::Size size, double topY, ChartGeometry& geometry) {
    if (!legendShown(options)) return 0;
    const LegendLook l = legendLook(options);
    const AALegend legend = options.legend.value_or(AALegend{});
    const bool vertical = legend.layout == AAChartLayoutType::vertical;
    const double rowHeight = std::max(l.font.lineHeight(), l.symbolHeight);
    const double room = std::max(0.0, size.width - 2 * l.padding);
    std::vector<std::vector<LegendItem>> rows(1);
    std::vector<double> rowWidths(1, 0);
    for (std::size_t i = 0; i < options.series.size(); ++i) {
        double width = l.symbolWidth + 5 + l.font.widthOf(options.series[i].name);
        double needed = rowWidths.back() == 0 ? width : rowWidths.back() + l.itemDistance + width;
        if (!rows.back().empty() && (vertical || needed > room)) {
            rows.emplace_back();
            rowWidths.push_back(0);
            needed = width;
        }
        LegendItem item;
        item.series = i;
        item.bounds = gfx::Rect(needed - width, 0, width, rowHeight);  // x within the row for now
        rows.back().push_back(item);
        rowWidths.back() = needed;
    }
    const double height = rows.size() * rowHeight + 2 * l.padding;
    const bool top = legend.verticalAlign == AAChartVerticalAlignType::top;
    double y = top ? topY + l.padding : size.height - height + l.padding;
    for (std::size_t r = 0; r < rows.size(); ++r, y += rowHeight) {
        double x0 = l.padding;
        if (legend.align != AAChartAlignType::left) {
            double free = room - rowWidths[r];
            x0 += legend.align == AAChartAlignType::right ? free : free / 2;
        }
        for (auto& item : rows[r]) {
            item.bounds = gfx::Rect(x0 + item.bounds.minX(), y, item.bounds.width(), rowHeight);
            item.symbol = gfx::Rect(item.bounds.minX(), y + (rowHeight - l.symbolHeight) / 2, l.symbolWidth,
                                    l.symbolHeight);
            item.textOrigin = {item.bounds.minX() + l.symbolWidth + 5, y + (rowHeight - l.font.lineHeight()) / 2};
            geometry.legend.push_back(item);
        }
    }
    return height;
}

double widestTickLabel(const AAAxis& axis, const AxisScale& scale, const AAOptions& options) {
    if (!look::labelsShown(axis)) return 0;
    double widest = 0;
    gfx::Font font = look::labelFont(axis);
    for (double t : scale.ticks) widest = std::max(widest, font.widthOf(look::tickLabel(axis, t, options)));
    return widest;
}

bool hasTitle(const std::optional<AAAxis>& axis) { return axis && axis->title && !axis->title->text.empty(); }

}  // namespace

gfx::Point ChartGeometry::toView(gfx::Point data) const {
    return {plotArea.minX() + xScale.fraction(data.x) * plotArea.width(),
            plotArea.maxY() - yScale.fraction(data.y) * plotArea.height()};
}

std::string seriesColorText(const AAOptions& options, std::size_t index) {
    if (index < options.series.size() && options.series[index].color) return *options.series[index].color;
    if (!options.colors.empty()) return options.colors[index % options.colors.size()];
    return libraryPalette()[index % libraryPalette().size()];
}

ChartGeometry layoutChart(const AAOptions& options, gfx::Size size) {
    ChartGeometry geometry;
    const AAAxis xAxis = options.xAxis.value_or(AAXAxis{});
    const AAAxis yAxis = options.yAxis.value_or(AAYAxis{});
    auto [xData, yData] = dataExtents(options);
    geometry.xScale = makeAxisScale(xAxis, xData, false);
    geometry.yScale = makeAxisScale(yAxis, yData, options.chart.type == AAChartType::area);

    double top = look::margin;
    if (!options.title.text.empty()) {
        double h = look::titleFont(options).lineHeight();
        geometry.titleFrame = gfx::Rect(look::margin, top, std::max(0.0, size.width - 2 * look::margin), h);
        top += h + 8;
    }
    double legendHeight = layoutLegend(options, size, top, geometry);
    bool legendOnTop = options.legend && options.legend->verticalAlign == AAChartVerticalAlignType::top;
    if (legendOnTop) top += legendHeight;
    double bottom = size.height - look::margin - (legendOnTop ? 0 : legendHeight);
    if (look::labelsShown(xAxis)) bottom -= look::tickLength + 3 + look::labelFont(xAxis).lineHeight();
    if (hasTitle(options.xAxis)) bottom -= look::axisTitleFont().lineHeight() + 4;
    double left = look::margin + widestTickLabel(yAxis, geometry.yScale, options) + look::tickLength + 3;
    if (hasTitle(options.yAxis)) left += look::axisTitleFont().lineHeight() + 6;
    double right = size.width - look::margin - 10;
    if (right > left && bottom > top) geometry.plotArea = gfx::Rect(left, top, right - left, bottom - top);
    return geometry;
}

}  // namespace platform::charts
