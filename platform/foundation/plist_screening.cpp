// Property-list bytes checked before the property-list library reads them.
#include "platform/foundation/plist_screening.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/foundation/plist_forms.h"

namespace platform {

namespace {

using plist_forms::bigEndian;
using plist_forms::kBinaryMagic;

// One binary object as its marker describes it.
struct BinaryObject {
    unsigned type = 0;
    std::uint64_t count = 0;     // elements of a string, data or container
    std::size_t payload = 0;     // where its bytes or references begin
};

class BinaryScreen {
public:
    BinaryScreen(const std::string& bytes, const PropertyListLimits& limits)
        : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()), limits_(limits) {}

    std::optional<std::string> run() {
        if (auto problem = readTrailer()) return problem;
        checked_.assign(trailer_.objectCount, false);
        onPath_.assign(trailer_.objectCount, false);
        return walk();
    }

private:
    // A container being walked: its references and the next one to visit.
    struct Frame {
        std::uint64_t index;
        BinaryObject object;
        std::uint64_t next = 0;
    };

    std::optional<std::string> readTrailer() { return plist_forms::readBinaryTrailer(data_, size_, trailer_); }

    // Reads the length that follows a marker whose low nibble is 0xF.
    std::optional<std::string> length(unsigned info, std::size_t& at, std::uint64_t& count) const {
        if (info != 0xF) {
            count = info;
            return std::nullopt;
        }
        if (at >= trailer_.end) return "binary property list object runs past the end";
        const unsigned marker = data_[at++];
        if ((marker >> 4) != 0x1 || (marker & 0xF) > 3) return "binary property list with an invalid length";
        const unsigned bytes = 1u << (marker & 0xF);
        if (bytes > trailer_.end - at) return "binary property list object runs past the end";
        count = bigEndian(data_ + at, bytes);
        at += bytes;
        return std::nullopt;
    }

    // The payload of `count` units of `unit` bytes must lie inside the file.
    std::optional<std::string> fits(std::size_t at, std::uint64_t count, std::uint64_t unit) const {
        if (at > trailer_.end || count > (trailer_.end - at) / unit) return "binary property list object runs past the end";
        return std::nullopt;
    }

    std::optional<std::string> object(std::uint64_t index, BinaryObject& out) const {
        const std::uint64_t offset = bigEndian(data_ + trailer_.offsetTable + index * trailer_.offsetWidth, trailer_.offsetWidth);
        if (offset < kBinaryMagic.size() || offset >= trailer_.end) return "binary property list object offset outside the file";
        std::size_t at = static_cast<std::size_t>(offset);
        const unsigned marker = data_[at++];
        const unsigned info = marker & 0xF;
        out.type = marker >> 4;
        switch (out.type) {
            case 0x0:
                out.count = 0;
                break;
            case 0x1:
            case 0x2:
                if (info > 4) return "binary property list number of invalid size";
                out.count = std::uint64_t{1} << info;
                break;
            case 0x3:
                out.count = 8;
                break;
            case 0x8:
                out.count = info + 1;
                break;
            case 0x4:
            case 0x5:
            case 0x6:
            case 0xA:
            case 0xC:
            case 0xD:
                if (auto problem = length(info, at, out.count)) return problem;
                break;
            default:
                return "binary property list object of unknown type";
        }
        out.payload = at;
        std::uint64_t units = out.count;
        std::uint64_t unit = 1;
        if (out.type == 0x6) unit = 2;
        if (isContainer(out)) unit = trailer_.referenceWidth;
        if (out.type == 0xD) {
            // Keys, then values.
            if (out.count > UINT64_MAX / 2) return "binary property list object runs past the end";
            units = out.count * 2;
        }
        return fits(at, units, unit);
    }

    // Strings and keys must hold no NUL, which the library cannot keep.
    std::optional<std::string> contents(const BinaryObject& object) const {
        const unsigned char* bytes = data_ + object.payload;
        if (object.type == 0x5 && std::memchr(bytes, 0, object.count) != nullptr) {
            return "binary property list string with a NUL character";
        }
        if (object.type == 0x6) {
            for (std::uint64_t i = 0; i < object.count; ++i) {
                if (bytes[2 * i] == 0 && bytes[2 * i + 1] == 0) return "binary property list string with a NUL character";
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> check(std::uint64_t index, BinaryObject& out) {
        if (auto problem = object(index, out)) return problem;
        if (!checked_[index]) {
            if (auto problem = contents(out)) return problem;
            checked_[index] = true;
        }
        return std::nullopt;
    }

    std::uint64_t reference(const BinaryObject& container, std::uint64_t position) const {
        return bigEndian(data_ + container.payload + position * trailer_.referenceWidth, trailer_.referenceWidth);
    }

    static bool isContainer(const BinaryObject& object) {
        return object.type == 0xA || object.type == 0xC || object.type == 0xD;
    }

    // Depth first from the top object, without recursion; each use of a
    // shared object counts, as the library makes a value for each.
    std::optional<std::string> walk() {
        std::vector<Frame> path;
        std::size_t values = 0;
        auto enter = [&](std::uint64_t index) -> std::optional<std::string> {
            if (index >= trailer_.objectCount) return "binary property list reference to a missing object";
            if (onPath_[index]) return "binary property list that contains itself";
            if (++values > limits_.maxValues) return "binary property list with too many values";
            BinaryObject object;
            if (auto problem = check(index, object)) return problem;
            if (!isContainer(object)) return std::nullopt;
            if (path.size() >= static_cast<std::size_t>(limits_.maxDepth) + 1) {
                return "property list nested too deeply";
            }
            onPath_[index] = true;
            path.push_back({index, object});
            return std::nullopt;
        };
        if (auto problem = enter(trailer_.topObject)) return problem;
        while (!path.empty()) {
            Frame& frame = path.back();
            const std::uint64_t keys = frame.object.type == 0xD ? frame.object.count : 0;
            if (frame.next == frame.object.count + keys) {
                onPath_[frame.index] = false;
                path.pop_back();
                continue;
            }
            const std::uint64_t position = frame.next++;
            const std::uint64_t child = reference(frame.object, position);
            if (position < keys) {
                if (auto problem = key(child)) return problem;
                continue;
            }
            if (auto problem = enter(child)) return problem;
        }
        return std::nullopt;
    }

    std::optional<std::string> key(std::uint64_t index) {
        if (index >= trailer_.objectCount) return "binary property list reference to a missing object";
        BinaryObject object;
        if (auto problem = check(index, object)) return problem;
        if (object.type != 0x5 && object.type != 0x6) return "binary property list key that is no string";
        return std::nullopt;
    }

    const unsigned char* data_;
    std::size_t size_;
    PropertyListLimits limits_;
    plist_forms::BinaryTrailer trailer_;
    std::vector<bool> checked_;
    std::vector<bool> onPath_;
};

// Where the markup that begins at `at` ends (just past it); npos when it
// does not. Comments, character data, processing instructions and
// declarations are passed over whole.
std::size_t skipMarkup(const std::string& text, std::size_t at, bool& isStart, bool& isEnd) {
    isStart = isEnd = false;
    auto through = [&](const char* terminator, std::size_t from) {
        const std::size_t found = text.find(terminator, from);
        return found == std::string::npos ? found : found + std::strlen(terminator);
    };
    if (text.compare(at, 4, "<!--") == 0) return through("-->", at + 4);
    if (text.compare(at, 9, "<![CDATA[") == 0) return through("]]>", at + 9);
    if (text.compare(at, 2, "<?") == 0) return through("?>", at + 2);
    if (text.compare(at, 2, "<!") == 0) {
        int brackets = 0;
        for (std::size_t i = at + 2; i < text.size(); ++i) {
            if (text[i] == '[') ++brackets;
            if (text[i] == ']') --brackets;
            if (text[i] == '>' && brackets <= 0) return i + 1;
        }
        return std::string::npos;
    }
    isEnd = text.compare(at, 2, "</") == 0;
    char quote = 0;
    for (std::size_t i = at + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            isStart = !isEnd && text[i - 1] != '/';
            return i + 1;
        }
    }
    return std::string::npos;
}

std::optional<std::string> screenXML(const std::string& text, const PropertyListLimits& limits) {
    if (text.find('\0') != std::string::npos) return "XML property list with a NUL byte";
    // The plist element and a leaf inside the deepest container come on top
    // of the containers.
    const long maxElements = static_cast<long>(limits.maxDepth) + 2;
    long depth = 0;
    std::size_t values = 0;
    for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at)) {
        bool isStart = false, isEnd = false;
        const std::size_t next = skipMarkup(text, at, isStart, isEnd);
        if (next == std::string::npos) return "XML property list with unterminated markup";
        if (isStart && ++depth > maxElements) return "property list nested too deeply";
        if (isStart && ++values > limits.maxValues) return "XML property list with too many values";
        if (isEnd) --depth;
        at = next;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> screenPropertyList(const std::string& bytes, const PropertyListLimits& limits) {
    if (bytes.size() >= kBinaryMagic.size() && bytes.compare(0, kBinaryMagic.size(), kBinaryMagic) == 0) {
        return BinaryScreen(bytes, limits).run();
    }
    return screenXML(bytes, limits);
}

}  // namespace platform
