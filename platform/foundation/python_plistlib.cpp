// Property lists read and written again by Python's plistlib.
#include "platform/foundation/python_plistlib.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/foundation/bundle.h"
#include "testsupport/temp_dir.h"

namespace platform::testing {

namespace {
constexpr const char* kPython = "/usr/bin/python3";
}

bool pythonPlistlibInstalled() {
    static const bool installed =
        ::access(kPython, X_OK) == 0 &&
        std::system((std::string(kPython) + " -c 'import plistlib' 2>/dev/null").c_str()) == 0;
    return installed;
}

std::optional<std::string> throughPythonPlistlib(const std::string& bytes) {
    if (!pythonPlistlibInstalled()) return std::nullopt;
    testsupport::TempDir dir;
    const auto in = dir / "in.plist", out = dir / "out.plist";
    std::ofstream(in, std::ios::binary) << bytes;
    const std::string command = std::string(kPython) +
                                " -c 'import plistlib, sys; plistlib.dump(plistlib.load(open(sys.argv[1], \"rb\")), "
                                "open(sys.argv[2], \"wb\"), fmt=plistlib.FMT_BINARY)' " +
                                in.string() + " " + out.string();
    if (std::system(command.c_str()) != 0) return std::nullopt;
    return readFile(out);
}

}  // namespace platform::testing
