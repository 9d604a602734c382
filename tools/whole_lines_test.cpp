// Lines written through standard error by two threads at once each come out
// whole.
#include "tools/whole_lines.h"

#include <doctest/doctest.h>
#include <fcntl.h>
#include <unistd.h>

#include <future>
#include <ostream>
#include <thread>

#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"

TEST_CASE("A line another thread writes while one is half written comes out before it, neither cut") {
    testsupport::TempDir dir;
    const auto path = dir / "err";
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    REQUIRE(descriptor >= 0);
    tools::WholeLines lines(descriptor);
    std::ostream err(&lines);
    err.setf(std::ios::unitbuf);  // as std::cerr: a flush after every piece
    std::promise<void> halfWritten, otherWritten;
    std::thread monitor([&] {
        halfWritten.get_future().wait();
        err << "<engine> a line of the log" << '\n';
        otherWritten.set_value();
    });
    err << "velmora analytics log: " << "the event was not stored";
    halfWritten.set_value();
    otherWritten.get_future().wait();
    err << ": why" << '\n' << "unended";
    monitor.join();
    CHECK(testsupport::readText(path) ==
          "<engine> a line of the log\nvelmora analytics log: the event was not stored: why\n");
    lines.sendUnended();
    CHECK(testsupport::readText(path).substr(testsupport::readText(path).rfind('\n') + 1) == "unended");
    ::close(descriptor);
}
