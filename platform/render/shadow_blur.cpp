// Softening of shadow coverage: repeated box blurs.
#include "platform/render/shadow_blur.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace platform::render::detail {

namespace {

// One box pass over `count` values `step` apart, radius r, zeros outside.
void boxPass(unsigned char* line, int count, int step, int r, std::vector<int>& scratch) {
    scratch.assign(static_cast<std::size_t>(count), 0);
    for (int i = 0; i < count; ++i) scratch[static_cast<std::size_t>(i)] = line[i * step];
    int window = 2 * r + 1;
    int sum = 0;
    for (int i = 0; i <= std::min(r, count - 1); ++i) sum += scratch[static_cast<std::size_t>(i)];
    for (int i = 0; i < count; ++i) {
        line[i * step] = static_cast<unsigned char>((sum + window / 2) / window);
        int entering = i + r + 1, leaving = i - r;
        if (entering < count) sum += scratch[static_cast<std::size_t>(entering)];
        if (leaving >= 0) sum -= scratch[static_cast<std::size_t>(leaving)];
    }
}

}  // namespace

void blurCoverage(unsigned char* data, int width, int height, int stride, double sigma) {
    if (!data || width <= 0 || height <= 0 || !(sigma >= 1.0 / 3) || !std::isfinite(sigma)) return;
    // Three boxes of width w have the variance of a Gaussian when
    // w² = 4σ² + 1.
    int r = std::max(1, static_cast<int>(std::lround((std::sqrt(4 * sigma * sigma + 1) - 1) / 2)));
    std::vector<int> scratch;
    for (int pass = 0; pass < 3; ++pass) {
        for (int y = 0; y < height; ++y) boxPass(data + static_cast<std::ptrdiff_t>(y) * stride, width, 1, r, scratch);
        for (int x = 0; x < width; ++x) boxPass(data + x, height, stride, r, scratch);
    }
}

}  // namespace platform::render::detail
