// The screen check's cost on the application's pages, and the share of it
// that measuring where texts ink takes. Per page, the CPU time of one check as
// it runs (each text's setting measured once and kept), of the ink measures of
// the page's texts as the check now makes them (kept) and as it made them
// before they were kept (each text set afresh by the painter). From these:
// the check without any ink measure (the check less the kept measures), which
// is what it cost before the ink measure was added, and the check that set
// every text afresh (that plus the fresh measures). The measures take turns in
// every round, so that a change of load falls on all alike; medians, and the
// longest of the three measures beside them. The process's peak memory, its
// context switches and the load average at the start and the end close the
// run.
//
//   bench_screen_check [ROUNDS]   rounds of every measure (default 200)
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "platform/foundation/launch_options.h"
#include "platform/gfx/graphics_context.h"
#include "platform/render/text_painter.h"
#include "platform/ui/view.h"
#include "platform/ui/window.h"
#include "velmora/runner/app_session.h"
#include "velmora/runner/runner.h"
#include "velmora/runner/screen_check.h"

namespace {

using platform::ui::View;

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

using bench::longest;
using bench::median;

// The texts every shown view draws itself, as the check records them.
std::vector<platform::gfx::DrawOp> textsOf(View& view) {
    std::vector<platform::gfx::DrawOp> texts;
    if (view.isHidden()) return texts;
    platform::gfx::GraphicsContext recording(view.bounds().size);
    view.drawLayer(*view.layer(), recording);
    for (const auto& op : recording.displayList().ops()) {
        if (op.kind == platform::gfx::DrawOp::Kind::text && op.text.find_first_not_of(" \t\n") != std::string::npos) {
            texts.push_back(op);
        }
    }
    for (const auto& sub : view.subviews()) {
        auto inner = textsOf(*sub);
        texts.insert(texts.end(), inner.begin(), inner.end());
    }
    return texts;
}

struct Page {
    std::string name;
    std::vector<std::string> commands;  // from the page before
};

struct Figures {
    std::vector<double> check, inkKept, inkAfresh;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    // Nothing leaves the machine.
    auto options = platform::LaunchOptions::current();
    options.connectionProbeURL = "http://127.0.0.1:9/";
    options.measurementServiceURL.reset();
    options.remoteConfigSource.reset();
    platform::LaunchOptions::install(options);
    const auto folder = std::filesystem::temp_directory_path() / ("velmora-bench-check-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);

    const bench::RunReport report;
    std::printf("screen check, CPU ms per check (medians of %d rounds; load average %.2f at the start)\n", rounds,
                report.loadAtStart().one);
    std::printf("%-28s %6s %8s %8s %8s %9s %9s %8s %8s %10s %10s %10s\n", "page", "texts", "check", "ink kept",
                "ink new", "no ink", "afresh", "ratio", "afresh/", "check max", "kept max", "new max");
    {
        velmora::runner::SessionOptions session;
        session.dataDirectory = folder / "data";
        velmora::runner::AppSession app(session);
        app.launch();
        std::ostringstream out;
        velmora::runner::Runner runner(app, velmora::runner::CommandTable(), out);
        const std::vector<Page> pages{
            {"introduction under consent", {}},
            {"calculator, filled in",
             {"alert Accept", "tap Next", "tap Next", "tap Next", "tap Next", "tap Let's start", "focus k", "key 3",
              "focus n", "key 8", "focus p", "key 1/6"}},
            {"solution n = 8, top", {"key calc"}},
            {"solution n = 8, tree", {"scroll 1 2"}},
            {"history", {"menu", "tap History"}},
        };
        for (const auto& page : pages) {
            for (const auto& command : page.commands) runner.execute(command);
            app.settle();
            auto window = app.window();
            const auto texts = textsOf(*window);
            platform::render::detail::TextPainter painter;
            Figures figures;
            for (int round = 0; round < rounds; ++round) {
                double start = cpuSeconds();
                (void)velmora::runner::checkScreen(*window);
                figures.check.push_back(cpuSeconds() - start);
                start = cpuSeconds();
                for (const auto& op : texts) (void)platform::render::textInk(op);
                figures.inkKept.push_back(cpuSeconds() - start);
                start = cpuSeconds();
                for (const auto& op : texts) (void)painter.ink(op);
                figures.inkAfresh.push_back(cpuSeconds() - start);
            }
            const double check = median(figures.check) * 1e3, kept = median(figures.inkKept) * 1e3,
                         afresh = median(figures.inkAfresh) * 1e3;
            const double without = check - kept, setAfresh = without + afresh;
            std::printf("%-28s %6zu %8.3f %8.3f %8.3f %9.3f %9.3f %8.3f %8.3f %10.3f %10.3f %10.3f\n", page.name.c_str(),
                        texts.size(), check, kept, afresh, without, setAfresh, check / without, setAfresh / without,
                        longest(figures.check) * 1e3, longest(figures.inkKept) * 1e3, longest(figures.inkAfresh) * 1e3);
        }
        runner.execute("quit");
    }
    std::filesystem::remove_all(folder);
    std::printf("check: as it runs; ink kept / ink new: the ink measures of the page's texts, kept and set afresh;\n"
                "no ink: the check less the kept measures; afresh: no ink plus the fresh measures; ratio: check / no\n"
                "ink (1.00: the ink measure costs nothing within noise); afresh/: afresh / no ink;\n"
                "check max, kept max, new max: the longest round of the check and of the two ink measures\n");
    report.printEnd("bench_screen_check");
    return 0;
}
