// The calculator page's layout: heading, the three fields, the keypad.
#include <string>
#include <vector>

#include "platform/ui/application.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/page_layouts.h"

namespace velmora {

using platform::gfx::Rect;
using platform::material::FlatButton;
using platform::ui::Control;
using platform::ui::LayoutConstraint;
using platform::ui::StackView;
using platform::ui::View;

namespace {

constexpr double kKeypadHeight = 320;
constexpr double kMargin = 16;
constexpr const char* kDeleteKey = "\xE2\x8C\xAB";
constexpr const char* kCalculateKey = "\xE2\x9C\x93";

// The keys of each row, top to bottom; "⌫" and "✓" are the delete and
// calculate keys, every other title is typed as it stands.
const std::vector<std::vector<std::string>>& keypadRows() {
    static const std::vector<std::vector<std::string>> rows{
        {"7", "8", "9", kDeleteKey}, {"4", "5", "6", "-"}, {"1", "2", "3", "/"}, {"0", ".", "\xCF\x80", kCalculateKey}};
    return rows;
}

std::shared_ptr<platform::input::DTTextField> makeField(const std::string& placeholder, double x) {
    auto field = std::make_shared<platform::input::DTTextField>(Rect(x, 0, 106, 44));
    field->setPlaceholder(placeholder);
    field->setTextAlignment(platform::gfx::TextAlignment::center);
    return field;
}

template <class Action>
void connect(Control& control, CalculateViewController& page, const char* name, Action action) {
    std::weak_ptr<CalculateViewController> weak = page.sharedAs<CalculateViewController>();
    control.addTarget(
        [weak, action](Control& sender) {
            if (auto p = weak.lock()) action(*p, sender);
        },
        platform::ui::controlEvent::touchUpInside, name);
}

std::shared_ptr<FlatButton> makeKey(CalculateViewController& page, const std::string& title) {
    if (title == kDeleteKey) {
        page.deleteButton = std::make_shared<FlatButton>();
        page.deleteButton->setAccessibilityIdentifier("deleteButton");
        connect(*page.deleteButton, page, "tappedDeleteButton",
                [](CalculateViewController& p, Control&) { p.tappedDeleteButton(); });
        return page.deleteButton;
    }
    if (title == kCalculateKey) {
        page.calculateButton = std::make_shared<FlatButton>();
        page.calculateButton->setAccessibilityIdentifier("calculateButton");
        page.calculateButton->setTag(104);
        connect(*page.calculateButton, page, "tappedCalculateButton",
                [](CalculateViewController& p, Control&) { p.tappedCalculateButton(); });
        return page.calculateButton;
    }
    auto key = std::make_shared<FlatButton>(title, std::nullopt);
    connect(*key, page, "tappedKeypadButtonWithValue", [](CalculateViewController& p, Control& sender) {
        p.tappedKeypadButtonWithValue(static_cast<platform::ui::Button&>(sender));
    });
    return key;
}

std::shared_ptr<StackView> makeKeypad(CalculateViewController& page) {
    auto keypad = std::make_shared<StackView>();
    keypad->setAxis(platform::ui::LayoutAxis::vertical);
    keypad->setDistribution(platform::ui::StackDistribution::fillEqually);
    keypad->setSpacing(8);
    for (const auto& titles : keypadRows()) {
        auto row = std::make_shared<StackView>();
        row->setDistribution(platform::ui::StackDistribution::fillEqually);
        row->setSpacing(8);
        for (const auto& title : titles) row->addArrangedSubview(makeKey(page, title));
        keypad->addArrangedSubview(row);
    }
    return keypad;
}

void pinKeypad(View& root, CalculateViewController& page) {
    auto& keypad = *page.keypadStackView;
    keypad.setTranslatesAutoresizingMaskIntoConstraints(false);
    page.bottomBannerConstraint = root.bottomAnchor().constraint(keypad.bottomAnchor(), 0);
    LayoutConstraint::activate({keypad.leadingAnchor().constraint(root.leadingAnchor(), kMargin),
                                keypad.trailingAnchor().constraint(root.trailingAnchor(), -kMargin),
                                keypad.heightAnchor().constraint(kKeypadHeight), page.bottomBannerConstraint});
}

}  // namespace

std::shared_ptr<View> layoutCalculatePage(CalculateViewController& page) {
    Rect screen = platform::ui::Screen::main().bounds();
    auto root = std::make_shared<View>(Rect(0, 0, screen.width(), screen.height()));
    root->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth | platform::ui::autoresizing::flexibleHeight);
    page.fillInLabel = std::make_shared<platform::ui::Label>(Rect(20, 16, screen.width() - 40, 24));
    root->addSubview(page.fillInLabel);
    auto inputs = std::make_shared<View>(Rect(20, 52, screen.width() - 40, 44));
    page.kTextField = makeField("k", 0);
    page.nTextField = makeField("n", 122);
    page.pTextField = makeField("p", 244);
    for (const auto& field : {page.kTextField, page.nTextField, page.pTextField}) inputs->addSubview(field);
    root->addSubview(inputs);
    page.keypadStackView = makeKeypad(page);
    root->addSubview(page.keypadStackView);
    pinKeypad(*root, page);
    page.manualButton = std::make_shared<platform::material::FABButton>(Rect(screen.width() - 72, 108, 52, 52));
    page.manualButton->setTag(103);
    connect(*page.manualButton, page, "tappedManualButton",
            [](CalculateViewController& p, Control&) { p.tappedManualButton(); });
    root->addSubview(page.manualButton);
    return root;
}

}  // namespace velmora
