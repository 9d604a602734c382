// The selection popup's rows, size, selection and border.
#include "velmora/shell/selection_popup_table_view_controller.h"

#include "platform/gfx/layer.h"
#include "platform/ui/label.h"
#include "velmora/screens/kuvo_color.h"

namespace velmora {

SelectionPopupTableViewController::SelectionPopupTableViewController()
    : tableViewBgColor(KuvoColor::color(KuvoColor::paletteDarkBlue)),
      tableViewSeparatorColor(KuvoColor::color(KuvoColor::paletteDarkBlue)),
      cellBgColor(KuvoColor::color(KuvoColor::paletteBlue)),
      cellHighlightColor(KuvoColor::color(KuvoColor::paletteLightBlue)) {}

platform::gfx::Size SelectionPopupTableViewController::preferredContentSize() const {
    return {static_cast<double>(rowWidth), rowHeight * static_cast<double>(data.size())};
}

void SelectionPopupTableViewController::viewDidLoad() {
    platform::ui::TableViewController::viewDidLoad();
    auto table = tableView();
    table->registerClass<platform::ui::TableViewCell>(cellReuseIdentifier);
    table->setBackgroundColor(tableViewBgColor);
    table->setSeparatorColor(tableViewSeparatorColor);
}

void SelectionPopupTableViewController::viewWillAppear(bool animated) {
    platform::ui::TableViewController::viewWillAppear(animated);
    // A selected index beyond the rows names no row to show: nothing scrolls.
    if (selectedIndex && isRow(*selectedIndex)) {
        tableView()->scrollToRow({0, *selectedIndex}, platform::ui::TableViewScrollPosition::middle, true);
    }
}

void SelectionPopupTableViewController::viewWillLayoutSubviews() {
    platform::ui::TableViewController::viewWillLayoutSubviews();
    addBorder();
}

int SelectionPopupTableViewController::numberOfRows(platform::ui::TableView&, int) {
    return static_cast<int>(data.size());
}

std::shared_ptr<platform::ui::TableViewCell> SelectionPopupTableViewController::cellForRow(
    platform::ui::TableView& table, platform::ui::IndexPath indexPath) {
    auto cell = table.dequeueReusableCell(cellReuseIdentifier);
    if (!cell) cell = std::make_shared<platform::ui::TableViewCell>();
    if (isRow(indexPath.row)) cell->textLabel()->setText(data[static_cast<std::size_t>(indexPath.row)]);
    cell->textLabel()->setTextAlignment(textAlignment);
    cell->setBackgroundColor(selectedIndex == indexPath.row ? cellHighlightColor : cellBgColor);
    return cell;
}

void SelectionPopupTableViewController::didSelectRow(platform::ui::TableView&, platform::ui::IndexPath indexPath) {
    if (completion) completion(indexPath.row);
    dismiss(true);
}

void SelectionPopupTableViewController::addBorder() {
    auto shown = viewIfLoaded();
    auto wrapper = shown ? shown->superview() : nullptr;
    auto container = wrapper ? wrapper->superview() : nullptr;
    if (!container) return;
    for (const auto& layer : container->layer()->sublayers()) {
        if (layer->name() == borderLayerName) return;
    }
    auto mask = container->maskView();
    auto outline = mask ? std::dynamic_pointer_cast<platform::gfx::ShapeLayer>(mask->layer()) : nullptr;
    if (!outline) return;
    auto border = std::make_shared<platform::gfx::ShapeLayer>();
    border->setName(borderLayerName);
    border->setPath(outline->path());
    border->setLineWidth(borderWidth);
    border->setStrokeColor(cellHighlightColor);
    border->setFillColor(std::nullopt);
    border->setFrame(outline->bounds());
    container->layer()->addSublayer(border);
}

}  // namespace velmora
