// Finds the files that hold text matching any of the patterns, in their
// stored bytes or in what the gzip members among them inflate to.
//   identifier_scan ROOT PATTERN... < NUL-separated paths under ROOT
// Prints one line a finding and exits 1 when there are any, 0 when there
// are none, 2 when a file cannot be read or a pattern is no expression.
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "testsupport/identifier_scan/gzip_members.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: identifier_scan ROOT PATTERN... < NUL-separated paths\n";
        return 2;
    }
    const std::string root = argv[1];
    std::vector<std::pair<std::string, std::regex>> patterns;
    try {
        for (int i = 2; i < argc; ++i) patterns.emplace_back(argv[i], std::regex(argv[i], std::regex::extended));
    } catch (const std::regex_error& error) {
        std::cerr << "identifier_scan: a pattern is no expression: " << error.what() << '\n';
        return 2;
    }
    int status = 0;
    std::string path;
    while (std::getline(std::cin, path, '\0')) {
        if (path.empty()) continue;
        std::ifstream in(root + "/" + path, std::ios::binary);
        if (!in) {
            std::cerr << "identifier_scan: cannot read " << path << '\n';
            return 2;
        }
        const std::string stored{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        auto search = [&](const std::string& bytes, const std::string& where) {
            for (const auto& [text, pattern] : patterns) {
                if (!std::regex_search(bytes, pattern)) continue;
                std::cout << path << ": " << text << " " << where << '\n';
                status = 1;
            }
        };
        search(stored, "as stored");
        for (const auto& member : testsupport::inflatedMembers(stored)) {
            search(member.bytes, "in the gzip member at byte " + std::to_string(member.offset) +
                                     (member.depth > 1 ? " of one inflated " + std::to_string(member.depth - 1) +
                                                             " level(s) down"
                                                       : std::string()));
        }
    }
    return status;
}
