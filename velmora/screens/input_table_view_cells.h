#pragma once

#include <memory>

#include "platform/frameworks/input_field/dt_text_field.h"
#include "platform/frameworks/math_label/mt_math_ui_label.h"
#include "platform/ui/label.h"
#include "platform/ui/table_view.h"

// Table rows holding input fields, for calculators that lay their inputs
// out as rows. Loaded from their interface files (named after the class);
// their fields, like the calculator page's, take input only from the
// in-app keypad.
namespace velmora {

// A named value: title, typeset symbol, the field, typeset unit.
class ValueInputTableViewCell : public platform::ui::TableViewCell {
public:
    static constexpr const char* nibName = "ValueInputTableViewCell";

    using platform::ui::TableViewCell::TableViewCell;

    std::shared_ptr<platform::ui::Label> titleLabel;
    std::shared_ptr<platform::math::MTMathUILabel> mathLabel;
    std::shared_ptr<platform::input::DTTextField> inputTextField;
    std::shared_ptr<platform::math::MTMathUILabel> unitLabel;

    void awakeFromNib() override;
};

// A numbered row with a whole-number field and a decimal field.
class EnumeratedInputTableViewCell : public platform::ui::TableViewCell {
public:
    static constexpr const char* nibName = "EnumeratedInputTableViewCell";

    using platform::ui::TableViewCell::TableViewCell;

    std::weak_ptr<platform::ui::Label> enumeratingLabel;
    std::weak_ptr<platform::input::DTTextField> integerTextField;
    std::weak_ptr<platform::input::DTTextField> doubleTextField;

    void awakeFromNib() override;
};

// No system keyboard (an empty input view), no autocorrection, no shortcut bar.
void prepareKeypadField(platform::ui::TextField& field);

// Registers both cells' interface files.
void registerInputCellNibs();

}  // namespace velmora
