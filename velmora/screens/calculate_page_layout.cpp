// The calculator page's layout: heading, the three fields, the keypad.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/ui/application.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/page_layouts.h"

namespace velmora {

using platform::gfx::Rect;
using platform::material::FlatButton;
using platform::ui::Control;
using platform::ui::LayoutConstraint;
using platform::ui::StackView;
using platform::ui::View;

namespace {

// The keypad is as tall as this where the page has room, and shorter where
// it has not, so that it never reaches up over the fields.
constexpr double kKeypadHeight = 320;
constexpr double kMargin = 16;
constexpr double kSideMargin = 20;
constexpr double kHeadingTop = 16, kHeadingHeight = 24;
constexpr double kFieldsTop = 52, kFieldHeight = 44, kFieldGap = 16;
constexpr double kKeypadGap = 16;  // between the fields and the keypad
// The keys stand on the palette's light blue: the styling gives every
// button the palette's dark gray title, which a key without a background of
// its own would show on the page's background, black in the dark style.
constexpr int kKeyTag = 102;
constexpr int kCalculateKeyTag = 104;
constexpr const char* kDeleteKey = "\xE2\x8C\xAB";
constexpr const char* kCalculateKey = "\xE2\x9C\x93";

// The keys of each row, top to bottom; "⌫" and "✓" are the delete and
// calculate keys, every other title is typed as it stands.
const std::vector<std::vector<std::string>>& keypadRows() {
    static const std::vector<std::vector<std::string>> rows{
        {"7", "8", "9", kDeleteKey}, {"4", "5", "6", "-"}, {"1", "2", "3", "/"}, {"0", ".", "\xCF\x80", kCalculateKey}};
    return rows;
}

// Field `index` of three sharing a row of the width, each keeping its
// share when the row's width changes.
std::shared_ptr<platform::input::DTTextField> makeField(const std::string& placeholder, int index, double rowWidth) {
    const double width = (rowWidth - 2 * kFieldGap) / 3;
    auto field = std::make_shared<platform::input::DTTextField>(
        Rect(index * (width + kFieldGap), 0, width, kFieldHeight));
    field->setAutoresizingMask(platform::ui::autoresizing::flexibleLeftMargin |
                               platform::ui::autoresizing::flexibleWidth |
                               platform::ui::autoresizing::flexibleRightMargin);
    field->setPlaceholder(placeholder);
    field->setTextAlignment(platform::gfx::TextAlignment::center);
    return field;
}

// The page's root: before its constraints are solved, the keypad's height
// is fitted between the fields and the bottom margin the page keeps free.
class CalculatePageView : public View {
public:
    using View::View;
    std::shared_ptr<LayoutConstraint> keypadHeight, keypadBottom;

    void layoutSubviews() override {
        if (keypadHeight && keypadBottom) {
            const double room = bounds().height() - keypadBottom->constant() - (kFieldsTop + kFieldHeight + kKeypadGap);
            const double height = std::clamp(room, 0.0, kKeypadHeight);
            if (height != keypadHeight->constant()) keypadHeight->setConstant(height);
        }
        View::layoutSubviews();
    }
};

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
        page.deleteButton->setTag(kKeyTag);
        connect(*page.deleteButton, page, "tappedDeleteButton",
                [](CalculateViewController& p, Control&) { p.tappedDeleteButton(); });
        return page.deleteButton;
    }
    if (title == kCalculateKey) {
        page.calculateButton = std::make_shared<FlatButton>();
        page.calculateButton->setAccessibilityIdentifier("calculateButton");
        page.calculateButton->setTag(kCalculateKeyTag);
        connect(*page.calculateButton, page, "tappedCalculateButton",
                [](CalculateViewController& p, Control&) { p.tappedCalculateButton(); });
        return page.calculateButton;
    }
    auto key = std::make_shared<FlatButton>(title, std::nullopt);
    key->setTag(kKeyTag);
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

void pinKeypad(CalculatePageView& root, CalculateViewController& page) {
    auto& keypad = *page.keypadStackView;
    keypad.setTranslatesAutoresizingMaskIntoConstraints(false);
    page.bottomBannerConstraint = root.bottomAnchor().constraint(keypad.bottomAnchor(), 0);
    root.keypadBottom = page.bottomBannerConstraint;
    root.keypadHeight = keypad.heightAnchor().constraint(kKeypadHeight);
    LayoutConstraint::activate({keypad.leadingAnchor().constraint(root.leadingAnchor(), kMargin),
                                keypad.trailingAnchor().constraint(root.trailingAnchor(), -kMargin),
                                root.keypadHeight, page.bottomBannerConstraint});
}

}  // namespace

std::shared_ptr<View> layoutCalculatePage(CalculateViewController& page) {
    Rect screen = platform::ui::Screen::main().bounds();
    const double width = screen.width();
    auto root = std::make_shared<CalculatePageView>(Rect(0, 0, width, screen.height()));
    root->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth | platform::ui::autoresizing::flexibleHeight);
    root->setBackgroundColor(KuvoColor::background());
    page.fillInLabel =
        std::make_shared<platform::ui::Label>(Rect(kSideMargin, kHeadingTop, width - 2 * kSideMargin, kHeadingHeight));
    page.fillInLabel->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth);
    root->addSubview(page.fillInLabel);
    auto inputs = std::make_shared<View>(Rect(kSideMargin, kFieldsTop, width - 2 * kSideMargin, kFieldHeight));
    inputs->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth);
    const double row = inputs->bounds().width();
    page.kTextField = makeField("k", 0, row);
    page.nTextField = makeField("n", 1, row);
    page.pTextField = makeField("p", 2, row);
    for (const auto& field : {page.kTextField, page.nTextField, page.pTextField}) inputs->addSubview(field);
    root->addSubview(inputs);
    page.keypadStackView = makeKeypad(page);
    root->addSubview(page.keypadStackView);
    pinKeypad(*root, page);
    page.manualButton = std::make_shared<platform::material::FABButton>(Rect(width - 72, 108, 52, 52));
    page.manualButton->setTag(103);
    connect(*page.manualButton, page, "tappedManualButton",
            [](CalculateViewController& p, Control&) { p.tappedManualButton(); });
    root->addSubview(page.manualButton);
    return root;
}

}  // namespace velmora
