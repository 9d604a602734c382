// Summing a log's checksums again after the tests changed its frames.
#include "measurement/store/sqlite_file/sqlite_file_test_support.h"

#include <cstdint>

namespace testsupport {

std::string resummedLog(std::string log, std::size_t pageSize, bool bigEndian, std::size_t otherSaltFrom,
                        const std::function<void(std::size_t index, char* frame)>& edit) {
    auto word = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= std::uint32_t{static_cast<unsigned char>(log[at + i])} << (bigEndian ? 24 - 8 * i : 8 * i);
        return value;
    };
    auto put = [&](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) log[at + i] = static_cast<char>(value >> (24 - 8 * i));
    };
    std::uint32_t first = 0, second = 0;
    auto sum = [&](std::size_t at, std::size_t size) {
        for (std::size_t i = 0; i < size; i += 8) {
            first += word(at + i) + second;
            second += word(at + i + 4) + first;
        }
    };
    put(0, bigEndian ? 0x377f0683 : 0x377f0682);
    sum(0, 24);
    put(24, first);
    put(28, second);
    std::size_t index = 0;
    for (std::size_t frame = 32; frame + 24 + pageSize <= log.size(); frame += 24 + pageSize, ++index) {
        if (index >= otherSaltFrom) log[frame + 8] = static_cast<char>(log[frame + 8] ^ 1);
        if (edit) edit(index, &log[frame]);
        sum(frame, 8);
        sum(frame + 24, pageSize);
        put(frame + 16, first);
        put(frame + 20, second);
    }
    return log;
}

}  // namespace testsupport
