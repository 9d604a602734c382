// The two input cells and their interface files.
#include "velmora/screens/input_table_view_cells.h"

#include "platform/ui/storyboard.h"

namespace velmora {

using platform::gfx::Color;
using platform::gfx::Rect;

void prepareKeypadField(platform::ui::TextField& field) {
    field.setInputView(std::make_shared<platform::ui::View>(Rect()));
    field.setAutocorrectionType(platform::ui::AutocorrectionType::no);
    field.inputAssistantItem().leadingBarButtonGroups.clear();
    field.inputAssistantItem().trailingBarButtonGroups.clear();
}

void ValueInputTableViewCell::awakeFromNib() {
    platform::ui::TableViewCell::awakeFromNib();
    if (inputTextField) inputTextField->layer()->setBackgroundColor(Color::systemBackground());
    if (titleLabel) titleLabel->setTextColor(Color::label());
    if (mathLabel) mathLabel->setTextColor(Color::label());
    if (unitLabel) unitLabel->setTextColor(Color::label());
    if (inputTextField) prepareKeypadField(*inputTextField);
}

void EnumeratedInputTableViewCell::awakeFromNib() {
    platform::ui::TableViewCell::awakeFromNib();
    if (auto label = enumeratingLabel.lock()) label->setTextColor(Color::label());
    for (const auto& weak : {integerTextField, doubleTextField}) {
        auto field = weak.lock();
        if (!field) continue;
        field->layer()->setBackgroundColor(Color::systemBackground());
        field->setTextAlignment(platform::gfx::TextAlignment::center);
        prepareKeypadField(*field);
    }
}

namespace {

std::vector<std::shared_ptr<platform::ui::View>> buildValueInputCell() {
    auto cell = std::make_shared<ValueInputTableViewCell>();
    cell->setFrame(Rect(0, 0, 390, 60));
    cell->titleLabel = std::make_shared<platform::ui::Label>(Rect(16, 8, 120, 44));
    cell->mathLabel = std::make_shared<platform::math::MTMathUILabel>(Rect(140, 8, 40, 44));
    cell->inputTextField = std::make_shared<platform::input::DTTextField>(Rect(188, 8, 130, 44));
    cell->unitLabel = std::make_shared<platform::math::MTMathUILabel>(Rect(326, 8, 48, 44));
    for (const std::shared_ptr<platform::ui::View>& part :
         {std::shared_ptr<platform::ui::View>(cell->titleLabel), std::shared_ptr<platform::ui::View>(cell->mathLabel),
          std::shared_ptr<platform::ui::View>(cell->inputTextField), std::shared_ptr<platform::ui::View>(cell->unitLabel)}) {
        cell->contentView()->addSubview(part);
    }
    return {cell};
}

std::vector<std::shared_ptr<platform::ui::View>> buildEnumeratedInputCell() {
    auto cell = std::make_shared<EnumeratedInputTableViewCell>();
    cell->setFrame(Rect(0, 0, 390, 60));
    auto label = std::make_shared<platform::ui::Label>(Rect(16, 8, 60, 44));
    auto integer = std::make_shared<platform::input::DTTextField>(Rect(84, 8, 140, 44));
    auto decimal = std::make_shared<platform::input::DTTextField>(Rect(234, 8, 140, 44));
    cell->contentView()->addSubview(label);
    cell->contentView()->addSubview(integer);
    cell->contentView()->addSubview(decimal);
    cell->enumeratingLabel = label;
    cell->integerTextField = integer;
    cell->doubleTextField = decimal;
    return {cell};
}

}  // namespace

void registerInputCellNibs() {
    platform::ui::Nib::registerNib(ValueInputTableViewCell::nibName,
                                   [](platform::ui::Responder*) { return buildValueInputCell(); });
    platform::ui::Nib::registerNib(EnumeratedInputTableViewCell::nibName,
                                   [](platform::ui::Responder*) { return buildEnumeratedInputCell(); });
}

}  // namespace velmora
