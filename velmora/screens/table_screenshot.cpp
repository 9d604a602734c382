// Images of views and of whole tables, for sharing a solution.
#include "velmora/screens/table_screenshot.h"

#include <algorithm>
#include <iostream>

#include "velmora/charts/chart_table_view_cell.h"
#include "velmora/screens/solution_step_table_view_cell.h"

namespace velmora {

using platform::gfx::GraphicsContext;
using platform::gfx::Image;
using platform::gfx::ImageRenderer;
using platform::gfx::Rect;
using platform::ui::TableView;

std::optional<Image> screenshotForCroppingRect(platform::ui::View& view, const Rect& croppingRect) {
    // The layer draws its bounds' origin at the image's corner; moving by
    // the rectangle's origin shows the rectangle asked for rather than the
    // view's top-left part of its size.
    Rect bounds = view.bounds();
    return ImageRenderer(croppingRect.size).image([&](GraphicsContext& context) {
        context.translateBy(bounds.minX() - croppingRect.minX(), bounds.minY() - croppingRect.minY());
        view.layer()->renderInContext(context);
    });
}

std::optional<Image> screenshot(platform::ui::View& view) { return screenshotForCroppingRect(view, view.bounds()); }

std::optional<Image> verticallyStitched(const std::vector<Image>& images,
                                       const std::optional<platform::gfx::Color>& background) {
    if (images.empty()) return std::nullopt;
    double width = 0, height = 0;
    for (const auto& image : images) {
        width = std::max(width, image.size().width);
        height += image.size().height;
    }
    return ImageRenderer({width, height}).image([&](GraphicsContext& context) {
        if (background) {
            context.setFillColor(*background);
            context.fill(Rect(0, 0, width, height));
        }
        double y = 0;
        for (const auto& image : images) {
            context.drawImage(image, Rect(0, y, image.size().width, image.size().height));
            y += image.size().height;
        }
    });
}

namespace {

// The table's image of a rectangle scrolled into view, the offset put back.
std::optional<Image> captureRect(TableView& table, const Rect& rect) {
    auto offset = table.contentOffset();
    table.scrollRectToVisible(rect, false);
    table.layoutIfNeeded();
    auto image = screenshotForCroppingRect(table, rect);
    table.setContentOffset(offset, false);
    return image;
}

// A header or footer: its image, or a clear piece of its height; kept
// only when it has area.
void appendSupplementary(TableView& table, const Rect& rect, std::vector<Image>& pieces) {
    auto image = captureRect(table, rect);
    if (!image) {
        image = ImageRenderer({table.bounds().width(), rect.height()}).image([](GraphicsContext& context) {
            context.setFillColor(platform::gfx::Color::clear());
            context.fill(Rect(0, 0, context.size().width, context.size().height));
        });
    }
    if (image && image->size().width > 0 && image->size().height > 0) pieces.push_back(*image);
}

bool wanted(const std::optional<std::set<int>>& sections, int section) {
    return !sections || sections->count(section) > 0;
}

}  // namespace

platform::dispatch::Async<std::optional<Image>> screenshot(std::shared_ptr<TableView> table,
                                                           std::optional<std::set<int>> headerSections,
                                                           std::optional<std::set<int>> footerSections) {
    std::vector<Image> pieces;
    if (auto header = table->tableHeaderView()) {
        if (auto image = captureRect(*table, header->frame())) pieces.push_back(*image);
    }
    for (int section = 0; section < table->numberOfSections(); ++section) {
        if (wanted(headerSections, section)) appendSupplementary(*table, table->rectForHeader(section), pieces);
        for (int row = 0; row < table->numberOfRows(section); ++row) {
            auto offset = table->contentOffset();
            table->scrollToRow({section, row}, platform::ui::TableViewScrollPosition::top, false);
            table->layoutIfNeeded();
            std::optional<Image> image;
            if (auto cell = table->cellForRow({section, row})) {
                cell->setBackgroundColor(platform::gfx::Color::systemBackground());
                if (dynamic_cast<ChartTableViewCell*>(cell.get())) {
                    if (auto error = co_await platform::dispatch::sleepFor(kChartDrawingPause)) {
                        std::cout << "Error during delay: " << error->description << std::endl;
                    }
                }
                // A step is shared whole, however far its formula reaches,
                // and so is a chart that scrolls.
                if (auto* step = dynamic_cast<SolutionStepTableViewCell*>(cell.get())) {
                    image = step->imageOfWholeStep();
                } else if (auto* chart = dynamic_cast<ChartTableViewCell*>(cell.get())) {
                    image = chart->imageOfWholeChart();
                } else {
                    image = screenshot(*cell);
                }
            }
            table->setContentOffset(offset, false);
            if (image) pieces.push_back(*image);
        }
        if (wanted(footerSections, section)) appendSupplementary(*table, table->rectForFooter(section), pieces);
    }
    co_return verticallyStitched(pieces, platform::gfx::Color::systemBackground());
}

}  // namespace velmora
