// Draws a laid-out chart into a recording context.
#include "platform/frameworks/charts/chart_renderer.h"

#include <algorithm>
#include <cmath>

#include "platform/frameworks/charts/chart_look.h"
#include "platform/frameworks/charts/series_path.h"

namespace platform::charts {

namespace {

using gfx::GraphicsContext;
using gfx::Point;
using gfx::Rect;

gfx::Color seriesColor(const AAOptions& options, std::size_t index) {
    return look::colorOr(seriesColorText(options, index), look::inkColor());
}

void drawTitle(const AAOptions& options, const ChartGeometry& g, GraphicsContext& ctx) {
    if (!g.titleFrame) return;
    const auto& style = options.title.style;
    ctx.drawText(options.title.text, *g.titleFrame, look::titleFont(options),
                 look::colorOr(style ? style->color : std::nullopt, look::inkColor()), gfx::TextAlignment::center);
}

void strokeLine(GraphicsContext& ctx, Point a, Point b) {
    ctx.beginPath();
    ctx.moveTo(a);
    ctx.addLineTo(b);
    ctx.strokePath();
}

// Grid lines across the plot at the major ticks of both axes.
void drawGrid(const AAAxis& axis, bool vertical, const ChartGeometry& g, GraphicsContext& ctx) {
    double width = axis.gridLineWidth.value_or(vertical ? 0 : 1);
    if (!(width > 0)) return;
    ctx.setStrokeColor(look::colorOr(axis.gridLineColor, gfx::Color::rgb(0.9, 0.9, 0.9)));
    ctx.setLineWidth(width);
    const Rect& p = g.plotArea;
    const AxisScale& scale = vertical ? g.xScale : g.yScale;
    for (double t : scale.ticks) {
        if (vertical) {
            double x = p.minX() + scale.fraction(t) * p.width();
            strokeLine(ctx, {x, p.minY()}, {x, p.maxY()});
        } else {
            double y = p.maxY() - scale.fraction(t) * p.height();
            strokeLine(ctx, {p.minX(), y}, {p.maxX(), y});
        }
    }
}

// The axis line, its tick marks (minor ones shorter) and tick labels.
void drawAxis(const AAOptions& options, const AAAxis& axis, bool horizontal, const ChartGeometry& g,
              GraphicsContext& ctx) {
    const Rect& p = g.plotArea;
    const AxisScale& scale = horizontal ? g.xScale : g.yScale;
    ctx.setStrokeColor(look::colorOr(axis.lineColor, look::inkColor()));
    ctx.setLineWidth(axis.lineWidth.value_or(1));
    if (horizontal) {
        strokeLine(ctx, {p.minX(), p.maxY()}, {p.maxX(), p.maxY()});
    } else {
        strokeLine(ctx, {p.minX(), p.minY()}, {p.minX(), p.maxY()});
    }
    auto tick = [&](double value, double length) {
        double f = scale.fraction(value);
        if (horizontal) {
            double x = p.minX() + f * p.width();
            strokeLine(ctx, {x, p.maxY()}, {x, p.maxY() + length});
        } else {
            double y = p.maxY() - f * p.height();
            strokeLine(ctx, {p.minX() - length, y}, {p.minX(), y});
        }
    };
    for (double t : scale.minorTicks) tick(t, look::minorTickLength);
    for (double t : scale.ticks) tick(t, look::tickLength);
    if (!look::labelsShown(axis)) return;
    const gfx::Font font = look::labelFont(axis);
    const auto& style = axis.labels ? axis.labels->style : std::nullopt;
    const gfx::Color color = look::colorOr(style ? style->color : std::nullopt, look::inkColor());
    for (double t : scale.ticks) {
        std::string text = look::tickLabel(axis, t, options);
        gfx::Size s = font.measure(text);
        double f = scale.fraction(t);
        Rect frame = horizontal ? Rect(p.minX() + f * p.width() - s.width / 2, p.maxY() + look::tickLength + 3,
                                       s.width, s.height)
                                : Rect(p.minX() - look::tickLength - 3 - s.width, p.maxY() - f * p.height() - s.height / 2,
                                       s.width, s.height);
        ctx.drawText(text, frame, font, color);
    }
}

// Axis titles: under the x labels, and turned a quarter left of the y labels.
void drawAxisTitles(const AAOptions& options, const ChartGeometry& g, GraphicsContext& ctx) {
    const gfx::Font font = look::axisTitleFont();
    const Rect& p = g.plotArea;
    auto colorOf = [](const AATitle& t) { return look::colorOr(t.style ? t.style->color : std::nullopt, look::inkColor()); };
    if (options.xAxis && options.xAxis->title && !options.xAxis->title->text.empty()) {
        const AATitle& t = *options.xAxis->title;
        double labels = look::labelsShown(*options.xAxis)
                            ? look::tickLength + 3 + look::labelFont(*options.xAxis).lineHeight()
                            : 0;
        gfx::Size s = font.measure(t.text);
        ctx.drawText(t.text, Rect(p.midX() - s.width / 2, p.maxY() + labels + 4, s.width, s.height), font, colorOf(t));
    }
    if (options.yAxis && options.yAxis->title && !options.yAxis->title->text.empty()) {
        const AATitle& t = *options.yAxis->title;
        gfx::Size s = font.measure(t.text);
        ctx.saveGState();
        ctx.translateBy(look::margin + s.height / 2, p.midY());
        ctx.rotateBy(-M_PI / 2);
        ctx.drawText(t.text, Rect(-s.width / 2, -s.height / 2, s.width, s.height), font, colorOf(t));
        ctx.restoreGState();
    }
}

// The series' points in view coordinates, run by run.
std::vector<std::vector<Point>> viewRuns(const AASeriesElement& series, const ChartGeometry& g) {
    auto runs = seriesRuns(series.data);
    for (auto& run : runs) {
        run = steppedPoints(run, series.step.value_or(""));
        for (auto& p : run) p = g.toView(p);
    }
    return runs;
}

void drawSeriesLine(const AAOptions& options, std::size_t index, const ChartGeometry& g, GraphicsContext& ctx) {
    const AASeriesElement& series = options.series[index];
    const AAChartType type = options.chart.type;
    if (type == AAChartType::scatter) return;
    const gfx::Color color = seriesColor(options, index);
    double baseY = g.toView({0, std::clamp(0.0, g.yScale.min, g.yScale.max)}).y;
    for (const auto& run : viewRuns(series, g)) {
        bool smooth = type == AAChartType::spline && !series.step;
        gfx::Path line = smooth ? splinePath(run) : linePath(run);
        if (type == AAChartType::area) {
            ctx.saveGState();
            ctx.setAlpha(ctx.alpha() * look::areaFillAlpha);
            ctx.setFillColor(color);
            ctx.addPath(areaPath(line, run, baseY));
            ctx.fillPath();
            ctx.restoreGState();
        }
        ctx.setStrokeColor(color);
        ctx.setLineWidth(look::seriesLineWidth);
        ctx.setLineJoin(gfx::LineJoin::round);
        ctx.addPath(line);
        ctx.strokePath();
    }
}

void drawMarkers(const AAOptions& options, std::size_t index, const ChartGeometry& g, GraphicsContext& ctx) {
    const AASeriesElement& series = options.series[index];
    double r = look::markerRadius(options, series);
    if (!(r > 0)) return;
    double outline = series.marker && series.marker->lineWidth ? *series.marker->lineWidth : 0;
    ctx.setFillColor(seriesColor(options, index));
    ctx.setStrokeColor(gfx::Color::white());
    ctx.setLineWidth(outline);
    for (const auto& run : seriesRuns(series.data)) {
        for (const auto& p : run) {
            Point v = g.toView(p);
            Rect dot(v.x - r, v.y - r, 2 * r, 2 * r);
            ctx.fillEllipse(dot);
            if (outline > 0) ctx.strokeEllipse(dot);
        }
    }
}

void drawDataLabels(const AAOptions& options, std::size_t index, const ChartGeometry& g, GraphicsContext& ctx) {
    if (!options.plotOptions.dataLabelsEnabled.value_or(false)) return;
    const gfx::Font font = look::labelFont(AAAxis{});
    for (const auto& run : seriesRuns(options.series[index].data)) {
        for (const auto& p : run) {
            std::string text = numberLabel(p.y, look::thousandsSeparator(options));
            gfx::Size s = font.measure(text);
            Point v = g.toView(p);
            ctx.drawText(text, Rect(v.x - s.width / 2, v.y - s.height - 4, s.width, s.height), font, look::inkColor());
        }
    }
}

void drawSeries(const AAOptions& options, const ChartGeometry& g, GraphicsContext& ctx) {
    ctx.saveGState();
    ctx.beginPath();
    ctx.addRect(g.plotArea.insetBy(-look::defaultMarkerRadius, -look::defaultMarkerRadius));
    ctx.clip();
    for (std::size_t i = 0; i < options.series.size(); ++i) {
        if (!options.series[i].visible) continue;
        drawSeriesLine(options, i, g, ctx);
        drawMarkers(options, i, g, ctx);
        drawDataLabels(options, i, g, ctx);
    }
    ctx.restoreGState();
}

void drawLegend(const AAOptions& options, const ChartGeometry& g, GraphicsContext& ctx) {
    const gfx::Font font = look::legendFont(options);
    const auto& style = options.legend ? options.legend->itemStyle : std::nullopt;
    const gfx::Color textColor = look::colorOr(style ? style->color : std::nullopt, look::inkColor());
    const gfx::Color hidden = gfx::Color::rgb(0.8, 0.8, 0.8);
    for (const LegendItem& item : g.legend) {
        const AASeriesElement& series = options.series[item.series];
        gfx::Color color = series.visible ? seriesColor(options, item.series) : hidden;
        if (options.chart.type == AAChartType::area) {
            ctx.setFillColor(color);
            ctx.fill(item.symbol);
        } else {
            ctx.setStrokeColor(color);
            ctx.setLineWidth(look::seriesLineWidth);
            if (options.chart.type != AAChartType::scatter) {
                strokeLine(ctx, {item.symbol.minX(), item.symbol.midY()}, {item.symbol.maxX(), item.symbol.midY()});
            }
            double r = std::min(look::markerRadius(options, series), item.symbol.height() / 2);
            if (r > 0) {
                ctx.setFillColor(color);
                ctx.fillEllipse(Rect(item.symbol.midX() - r, item.symbol.midY() - r, 2 * r, 2 * r));
            }
        }
        ctx.drawText(series.name, item.textOrigin, font, series.visible ? textColor : hidden);
    }
}

std::vector<double> dashPattern(const std::string& style, double width) {
    std::vector<double> unit;
    if (style == "dot") unit = {1, 3};
    else if (style == "dash") unit = {4, 3};
    else if (style == "longDash") unit = {8, 3};
    else if (style == "dashDot") unit = {4, 3, 1, 3};
    else if (style == "longDashDot") unit = {8, 3, 1, 3};
    else if (style == "longDashDotDot") unit = {8, 3, 1, 3, 1, 3};
    for (double& d : unit) d *= width;
    return unit;
}

void drawCrosshair(const std::optional<AAAxis>& axis, bool vertical, Point at, const ChartGeometry& g,
                   GraphicsContext& ctx) {
    if (!axis || !axis->crosshair) return;
    const AACrosshair& c = *axis->crosshair;
    double width = c.width.value_or(1);
    ctx.saveGState();
    ctx.setStrokeColor(look::colorOr(c.color, gfx::Color::rgb(0.8, 0.8, 0.8)));
    ctx.setLineWidth(width);
    ctx.setLineDash(dashPattern(c.dashStyle.value_or("solid"), width));
    const Rect& p = g.plotArea;
    if (vertical) {
        strokeLine(ctx, {at.x, p.minY()}, {at.x, p.maxY()});
    } else {
        strokeLine(ctx, {p.minX(), at.y}, {p.maxX(), at.y});
    }
    ctx.restoreGState();
}

void drawTooltip(const AAOptions& options, const ChartSelection& selection, Point at, const ChartGeometry& g,
                 GraphicsContext& ctx) {
    auto lines = tooltipLines(options, selection);
    if (lines.empty()) return;
    const AATooltip tip = options.tooltip.value_or(AATooltip{});
    const gfx::Font font = look::tooltipFont();
    double width = 0;
    for (const auto& line : lines) width = std::max(width, font.widthOf(line));
    Rect box(at.x + 10, at.y - (lines.size() * font.lineHeight() + 12) / 2, width + 16,
             lines.size() * font.lineHeight() + 12);
    if (box.maxX() > g.plotArea.maxX() + look::margin) box = box.offsetBy(-box.width() - 20, 0);
    if (tip.shadow.value_or(true)) {
        ctx.setFillColor(gfx::Color::black().withAlphaComponent(0.15));
        ctx.fill(box.offsetBy(1, 1));
    }
    ctx.setFillColor(look::colorOr(tip.backgroundColor, gfx::Color::rgb(0.97, 0.97, 0.97, 0.9)));
    ctx.fill(box);
    double border = tip.borderWidth.value_or(1);
    if (border > 0) {
        ctx.setStrokeColor(look::colorOr(tip.borderColor, seriesColor(options, selection.series)));
        ctx.setLineWidth(border);
        ctx.stroke(box);
    }
    gfx::Color textColor = look::colorOr(tip.style ? tip.style->color : std::nullopt, look::inkColor());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        ctx.drawText(lines[i], Point{box.minX() + 8, box.minY() + 6 + i * font.lineHeight()}, font, textColor);
    }
}

void drawSelection(const AAOptions& options, const ChartSelection& selection, const ChartGeometry& g,
                   GraphicsContext& ctx) {
    if (selection.series >= options.series.size()) return;
    const auto& data = options.series[selection.series].data;
    if (selection.point >= data.size() || data[selection.point].size() < 2) return;
    Point at = g.toView({data[selection.point][0], data[selection.point][1]});
    if (!std::isfinite(at.x) || !std::isfinite(at.y)) return;
    drawCrosshair(options.xAxis, true, at, g, ctx);
    drawCrosshair(options.yAxis, false, at, g, ctx);
    drawTooltip(options, selection, at, g, ctx);
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string withoutTags(const std::string& text) {
    std::string out;
    bool inTag = false;
    for (char c : text) {
        if (c == '<') inTag = true;
        else if (c == '>' && inTag) inTag = false;
        else if (!inTag) out.push_back(c);
    }
    return out;
}

}  // namespace

std::vector<std::string> tooltipLines(const AAOptions& options, const ChartSelection& selection) {
    if (options.tooltip && options.tooltip->enabled == false) return {};
    if (selection.series >= options.series.size()) return {};
    const AASeriesElement& series = options.series[selection.series];
    if (selection.point >= series.data.size() || series.data[selection.point].size() < 2) return {};
    const auto& point = series.data[selection.point];
    const std::string sep = look::thousandsSeparator(options);
    std::string header = options.tooltip && options.tooltip->headerFormat ? *options.tooltip->headerFormat
                                                                           : "{point.key}<br/>";
    std::string body = options.tooltip && options.tooltip->pointFormat ? *options.tooltip->pointFormat
                                                                        : "{series.name}: {point.y}<br/>";
    std::string text = header + body;
    text = replaceAll(text, "{point.key}", numberLabel(point[0], sep));
    text = replaceAll(text, "{point.x}", numberLabel(point[0], sep));
    text = replaceAll(text, "{point.y}", numberLabel(point[1], sep));
    text = replaceAll(text, "{series.name}", series.name);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find("<br/>", start);
        std::string line = withoutTags(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (!line.empty()) lines.push_back(line);
        if (end == std::string::npos) break;
        start = end + 5;
    }
    return lines;
}

void renderChart(const AAOptions& options, const ChartGeometry& g, const std::optional<ChartSelection>& selection,
                 GraphicsContext& ctx) {
    ctx.saveGState();
    drawTitle(options, g, ctx);
    if (!g.plotArea.isEmpty()) {
        const AAAxis xAxis = options.xAxis.value_or(AAXAxis{});
        const AAAxis yAxis = options.yAxis.value_or(AAYAxis{});
        drawGrid(xAxis, true, g, ctx);
        drawGrid(yAxis, false, g, ctx);
        drawAxis(options, xAxis, true, g, ctx);
        drawAxis(options, yAxis, false, g, ctx);
        drawAxisTitles(options, g, ctx);
        drawSeries(options, g, ctx);
        if (selection) drawSelection(options, *selection, g, ctx);
    }
    drawLegend(options, g, ctx);
    ctx.restoreGState();
}

}  // namespace platform::charts
