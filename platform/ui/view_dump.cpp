#include "platform/ui/view_dump.h"

#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"

namespace platform::ui {

namespace {

std::string joinNotes(const std::vector<std::string>& notes) {
    std::string out;
    for (const auto& n : notes) out += " " + n;
    return out;
}

void dumpInto(const View& view, int depth, std::string& out) {
    std::vector<std::string> notes;
    view.describe(notes);
    out += std::string(static_cast<std::size_t>(depth) * 2, ' ') + view.className() + " (" +
           gfx::describe(view.frame()) + ")" + joinNotes(notes);
    if (ViewController* vc = view.viewController()) {
        std::vector<std::string> vcNotes;
        vc->describe(vcNotes);
        out += " <" + vc->className() + joinNotes(vcNotes) + ">";
    }
    if (view.isFirstResponder()) out += " firstResponder";
    out += "\n";
    if (view.isHidden()) return;
    for (const auto& sub : view.subviews()) {
        if (view.showsSubviewInDump(*sub)) dumpInto(*sub, depth + 1, out);
    }
}

}  // namespace

std::string dumpView(const View& view) {
    std::string out;
    dumpInto(view, 0, out);
    return out;
}

std::string dumpWindow(const Window& window) {
    std::string out = dumpView(window);
    auto chain = window.presentationChain();
    if (chain.size() > 1) {
        out += "presented:\n";
        for (std::size_t i = 1; i < chain.size(); ++i) {
            std::vector<std::string> notes;
            chain[i]->describe(notes);
            out += "  " + chain[i]->className() + joinNotes(notes) + " by " + chain[i - 1]->className() + "\n";
        }
    }
    if (Responder* first = window.firstResponder()) {
        out += "firstResponder: " + first->className();
        if (auto* v = dynamic_cast<View*>(first); v && !v->accessibilityIdentifier().empty()) {
            out += " id=" + v->accessibilityIdentifier();
        }
        out += "\n";
    }
    return out;
}

}  // namespace platform::ui
