// The add cell and its interface file.
#include "velmora/shell/add_cell_table_view_cell.h"

#include "platform/gfx/image.h"
#include "platform/ui/storyboard.h"
#include "velmora/screens/kuvo_color.h"

namespace velmora {

void AddCellTableViewCell::awakeFromNib() {
    platform::ui::TableViewCell::awakeFromNib();
    if (plusImageview) plusImageview->setTintColor(KuvoColor::color(KuvoColor::paletteGreen));
}

namespace {

// The plus in the middle of a row of the usual height.
std::vector<std::shared_ptr<platform::ui::View>> buildAddCell(platform::ui::Responder*) {
    auto cell = std::make_shared<AddCellTableViewCell>();
    cell->setFrame({0, 0, 320, 44});
    auto plus = std::make_shared<platform::ui::ImageView>(platform::gfx::Rect(148, 10, 24, 24));
    plus->setImage(platform::gfx::Image::systemNamed("plus"));
    plus->setAutoresizingMask(platform::ui::autoresizing::flexibleLeftMargin |
                              platform::ui::autoresizing::flexibleRightMargin);
    cell->contentView()->addSubview(plus);
    cell->plusImageview = plus;
    return {cell};
}

}  // namespace

void registerAddCellNib() { platform::ui::Nib::registerNib(AddCellTableViewCell::nibName, buildAddCell); }

}  // namespace velmora
