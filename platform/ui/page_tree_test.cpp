#include <doctest/doctest.h>

#include <string>

#include "platform/dispatch/timer.h"
#include "platform/foundation/user_defaults.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/control.h"
#include "platform/ui/interaction.h"
#include "platform/ui/label.h"
#include "platform/ui/table_view.h"
#include "platform/ui/text_field.h"
#include "platform/ui/view_dump.h"
#include "platform/ui/window.h"
#include "testsupport/temp_dir.h"

using namespace platform::ui;

namespace {

// A small page as the application's pages are written: a field that only
// the page's own keys edit, keys, a save button that stores the field's text
// in the user defaults and lists it in a table, and a clear button that asks
// first.
class InputPage : public ViewController, public TableViewDataSource, public TableViewDelegate,
                  public TextFieldDelegate {
public:
    std::shared_ptr<TextField> field;
    std::shared_ptr<TableView> table;
    std::vector<std::string> saved;
    TextField* current = nullptr;

    void loadView() override {
        auto root = std::make_shared<View>(Rect(0, 0, 390, 844));
        auto title = std::make_shared<Label>(Rect(20, 60, 350, 30));
        title->setText("Fill in your given numbers:");
        root->addSubview(title);
        field = std::make_shared<TextField>(Rect(20, 100, 350, 40));
        field->setAccessibilityIdentifier("kTextField");
        field->setInputView(std::make_shared<View>(Rect()));
        root->addSubview(field);
        double x = 20;
        for (std::string key : {"1", "2", "-"}) {
            auto button = std::make_shared<Button>(Rect(x, 160, 60, 44));
            button->setTitle(key);
            std::weak_ptr<InputPage> weak = sharedAs<InputPage>();
            button->addTarget(
                [weak](Control& sender) {
                    if (auto page = weak.lock()) page->insert(*static_cast<Button&>(sender).currentTitle());
                },
                controlEvent::touchUpInside, "tappedKeypadButton");
            root->addSubview(button);
            x += 70;
        }
        auto save = std::make_shared<Button>(Rect(20, 220, 100, 44));
        save->setTitle("Save");
        save->setAccessibilityIdentifier("saveButton");
        std::weak_ptr<InputPage> weak = sharedAs<InputPage>();
        save->addTarget([weak](Control&) { if (auto p = weak.lock()) p->save(); }, controlEvent::touchUpInside,
                        "tappedSave");
        root->addSubview(save);
        auto clear = std::make_shared<Button>(Rect(130, 220, 100, 44));
        clear->setTitle("Clear");
        clear->addTarget([weak](Control&) { if (auto p = weak.lock()) p->askToClear(); }, controlEvent::touchUpInside,
                         "handleClearAllButton");
        root->addSubview(clear);
        table = std::make_shared<TableView>(Rect(0, 280, 390, 132));
        table->registerClass("entry", [] { return std::make_shared<TableViewCell>(); });
        root->addSubview(table);
        setView(root);
    }

    void viewDidLoad() override {
        field->setDelegate(sharedAs<TextFieldDelegate>());
        table->setDataSource(sharedAs<TableViewDataSource>());
        table->setDelegate(sharedAs<TableViewDelegate>());
    }

    bool textFieldShouldBeginEditing(TextField& f) override {
        current = &f;
        return true;
    }

    // Replaces the selection with the key; "-" toggles the sign.
    void insert(const std::string& key) {
        if (!current || !current->selectedTextRange()) return;
        auto range = *current->selectedTextRange();
        if (key == "-") {
            std::string text = current->text();
            bool negative = !text.empty() && text[0] == '-';
            current->setText(negative ? text.substr(1) : "-" + text);
            int caret = range.start.offset + (negative ? -1 : 1);
            current->setSelectedTextRange(TextRange{{caret}, {caret}});
            return;
        }
        current->replace(range, key);
    }

    void save() {
        saved.insert(saved.begin(), field->text());
        platform::UserDefaults().setObject(platform::Value(field->text()), "lastInput");
        table->insertRows({{0, 0}}, TableViewRowAnimation::automatic);
    }

    void askToClear() {
        auto alert = AlertController::make("Clear History", std::nullopt, AlertControllerStyle::alert);
        std::weak_ptr<InputPage> weak = sharedAs<InputPage>();
        alert->addAction(AlertAction::make("Clear", AlertActionStyle::defaultStyle, [weak](AlertAction&) {
            if (auto p = weak.lock()) {
                p->saved.clear();
                p->table->reloadData();
                platform::UserDefaults().removeObjectForKey("lastInput");
            }
        }));
        alert->addAction(AlertAction::make("Cancel", AlertActionStyle::cancel));
        present(alert, true);
    }

    int numberOfRows(TableView&, int) override { return static_cast<int>(saved.size()); }
    std::shared_ptr<TableViewCell> cellForRow(TableView& t, IndexPath p) override {
        auto cell = t.dequeueReusableCell("entry", p);
        cell->textLabel()->setText(saved[static_cast<std::size_t>(p.row)]);
        return cell;
    }
    void didSelectRow(TableView& t, IndexPath p) override {
        field->setText(saved[static_cast<std::size_t>(p.row)]);
        t.deselectRow(p, true);
    }
};

bool hasLine(const std::string& dump, const std::string& line) {
    return dump.find(line + "\n") != std::string::npos;
}

}  // namespace

TEST_CASE("a small page tree: tap, type, select, drain and read the dump") {
    testsupport::TempDir dir;
    platform::ScopedDataDirectory preferences(dir.path());
    platform::dispatch::ManualTime time;
    Application::shared().reset();
    clearLoggedMessages();

    auto page = std::make_shared<InputPage>();
    auto window = std::make_shared<Window>();
    window->setRootViewController(page);
    window->makeKeyAndVisible();

    // focus the field: no keyboard, the page's keys edit it
    REQUIRE(tap(*page->field));
    CHECK_FALSE(window->isSystemKeyboardVisible());
    tap(*findButton(*window, "1"));
    tap(*findButton(*window, "2"));
    typeText(*window, "3");  // a hardware key still types
    CHECK(page->field->text() == "123");
    page->field->setSelectedTextRange(page->field->textRange({1}, {2}));  // select the 2
    tap(*findButton(*window, "1"));
    CHECK(page->field->text() == "113");
    tap(*findButton(*window, "-"));
    CHECK(page->field->text() == "-113");
    CHECK(page->field->selectedTextRange() == TextRange{{3}, {3}});

    // a tap stores a default and adds a row
    tap(*findView(*window, "saveButton"));
    time.settle();
    CHECK(platform::UserDefaults().stringForKey("lastInput") == "-113");
    page->field->setText("7");
    tap(*findView(*window, "saveButton"));
    CHECK(page->table->numberOfRows(0) == 2);

    // selecting the older row brings its text back
    REQUIRE(tap(*page->table->cellForRow({0, 1})));
    CHECK(page->field->text() == "-113");
    time.settle();

    std::string dump = dumpWindow(*window);
    CHECK(dump.rfind("Window (0 0 390 844) key\n", 0) == 0);
    CHECK(hasLine(dump, "  View (0 0 390 844) <InputPage>"));
    CHECK(hasLine(dump, "    Label (20 60 350 30) text=\"Fill in your given numbers:\" font=System 17"));
    CHECK(hasLine(dump, "    TextField (20 100 350 40) text=\"-113\" editing selection=4..4 inputView id=kTextField "
                        "firstResponder"));
    CHECK(hasLine(dump, "    Button (90 160 60 44) title=\"2\" action=tappedKeypadButton"));
    CHECK(hasLine(dump, "    TableView (0 280 390 132) rows=[2] content=(390 88) masks"));
    CHECK(hasLine(dump, "      TableViewCell (0 0 390 44) row=0,0 reuse=entry"));
    CHECK(hasLine(dump, "          Label (16 0 358 44) text=\"7\" font=System 17"));
    CHECK(hasLine(dump, "firstResponder: TextField id=kTextField"));
    CHECK(dump.find("presented:") == std::string::npos);
    CHECK(loggedMessages().empty());

    // the clear button asks first; the alert shows in the dump, then acts
    tap(*findButton(*window, "Clear"));
    dump = dumpWindow(*window);
    CHECK(hasLine(dump, "presented:"));
    CHECK(hasLine(dump, "  AlertController actions=[Clear(default), Cancel(cancel)] style=alert "
                        "title=\"Clear History\" presented=custom appearing by InputPage"));
    CHECK_FALSE(tap(*findView(*window, "saveButton")));  // the alert takes the touches
    auto alert = std::dynamic_pointer_cast<AlertController>(page->presentedViewController());
    REQUIRE(alert);
    time.advance(0.3);
    alert->tapAction("Clear");
    CHECK(platform::UserDefaults().stringForKey("lastInput"));  // the handler waits for the dismissal
    time.advance(0.3);
    CHECK_FALSE(platform::UserDefaults().stringForKey("lastInput"));
    CHECK(page->table->numberOfRows(0) == 0);
    CHECK(dumpWindow(*window).find("presented:") == std::string::npos);
}

TEST_CASE("the console keeps only its latest messages") {
    using namespace platform::ui;
    clearLoggedMessages();
    for (std::size_t i = 0; i <= kConsoleCapacity; ++i) logMessage("warning " + std::to_string(i));
    auto messages = loggedMessages();
    REQUIRE(messages.size() == kConsoleCapacity);
    CHECK(messages.front() == "warning 1");
    CHECK(messages.back() == "warning " + std::to_string(kConsoleCapacity));
    clearLoggedMessages();
    CHECK(loggedMessages().empty());
}
