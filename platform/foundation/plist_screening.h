#pragma once

// Checks of property-list bytes made before the property-list library reads
// them: the library asserts on a string or key whose bytes disagree with its
// length (an embedded NUL), and reads and frees nesting by recursion, so a
// damaged or hostile file must be turned away before it gets there.

#include <cstddef>
#include <optional>
#include <string>

namespace platform {

struct PropertyListLimits {
    // Containers inside containers, the root being depth 0.
    int maxDepth = 512;
    // Values the document expands to, shared binary objects counted at each
    // use (as the library copies them).
    std::size_t maxValues = 1u << 20;
};

// What is wrong with the bytes, none when the library may read them. Binary
// documents ("bplist00") are walked object by object: trailer, offsets,
// references, lengths, string contents, cycles, depth and size. XML
// documents must hold no NUL byte and nest no deeper than the limit.
std::optional<std::string> screenPropertyList(const std::string& bytes, const PropertyListLimits& limits = {});

}  // namespace platform
