// The add cell: a table row showing only a plus, tinted green once loaded from its interface file.
#pragma once

#include <memory>

#include "platform/ui/image_view.h"
#include "platform/ui/table_view.h"

namespace velmora {

// From the interface file "AddCellTableViewCell".
class AddCellTableViewCell : public platform::ui::TableViewCell {
public:
    static constexpr const char* nibName = "AddCellTableViewCell";

    using platform::ui::TableViewCell::TableViewCell;

    std::shared_ptr<platform::ui::ImageView> plusImageview;  // outlet

    void awakeFromNib() override;
};

// Registers the interface file "AddCellTableViewCell".
void registerAddCellNib();

}  // namespace velmora
