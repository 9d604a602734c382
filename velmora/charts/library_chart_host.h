#pragma once
// How the line and spline views host a library chart: their interface
// file's top-level view fills them, and the chart view fills that.

#include <memory>
#include <string>

#include "platform/frameworks/charts/aa_chart_view.h"
#include "platform/ui/storyboard.h"
#include "velmora/charts/chart_nibs.h"
#include "velmora/charts/chart_style.h"

namespace velmora {

// Loads the owner's nib (which fills its contentView outlet), places the
// content view over the owner's bounds, sized with it and in a card
// shadow, and puts a chart view that neither scrolls nor paints its own
// background over the whole content. Null when the nib gave no content.
template <class Owner>
std::shared_ptr<platform::charts::AAChartView> hostLibraryChart(Owner& owner, const std::string& nibName) {
    registerChartNibs();
    if (auto nib = platform::ui::Nib::named(nibName)) nib->instantiate(&owner);
    auto content = owner.contentView();
    if (!content) return nullptr;
    content->setFrame(owner.bounds());
    content->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth |
                                 platform::ui::autoresizing::flexibleHeight);
    owner.addSubview(content);
    auto size = content->bounds().size;
    auto chart = std::make_shared<platform::charts::AAChartView>(platform::gfx::Rect(0, 0, size.width, size.height));
    chart->setScrollEnabled(false);
    chart->setIsClearBackgroundColor(true);
    applyChartCardShadow(*content->layer());
    content->addSubview(chart);
    return chart;
}

}  // namespace velmora
