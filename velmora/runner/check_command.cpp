// The check command: findings to mend, then the known ones with their reasons.
#include "velmora/runner/check_command.h"

#include <algorithm>
#include <ostream>

#include "velmora/runner/app_session.h"
#include "velmora/runner/known_findings.h"

namespace velmora::runner {

namespace {

bool checkShownScreen(CommandContext& context, const CommandArguments& arguments) {
    if (!arguments.words.empty()) {
        context.out << "check takes no arguments\n";
        return false;
    }
    auto window = context.session.window();
    if (!window) {
        context.out << "the application has no window\n";
        return false;
    }
    context.session.settle();
    std::vector<Finding> toMend;
    std::vector<std::pair<const KnownFinding*, std::vector<Finding>>> known;
    for (auto& finding : checkScreen(*window)) {
        const KnownFinding* entry = knownFindingFor(finding);
        if (!entry) {
            toMend.push_back(std::move(finding));
            continue;
        }
        auto it = std::find_if(known.begin(), known.end(), [&](const auto& k) { return k.first == entry; });
        if (it == known.end()) it = known.insert(known.end(), {entry, {}});
        it->second.push_back(std::move(finding));
    }
    if (toMend.empty()) {
        context.out << "ok\n";
    } else {
        context.out << toMend.size() << (toMend.size() == 1 ? " finding:\n" : " findings:\n");
        for (const auto& finding : toMend) context.out << "  " << finding.description() << "\n";
    }
    if (!known.empty()) {
        context.out << "known findings, kept as designed:\n";
        for (const auto& [entry, findings] : known) {
            context.out << "  " << entry->title << ": " << entry->reason << "\n";
            for (const auto& finding : findings) context.out << "    " << finding.description() << "\n";
        }
    }
    return toMend.empty();
}

}  // namespace

RunnerCommand checkCommand() {
    return {"check", "",
            "look the screen over for overlaps, cuts by the window's edge, texts cut short and contrast under 3:1; "
            "ok or the findings",
            checkShownScreen};
}

}  // namespace velmora::runner
