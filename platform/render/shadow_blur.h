// Softening of shadow coverage.
#pragma once

namespace platform::render::detail {

// Blurs 8-bit coverage in place with three box passes each way, close to a
// Gaussian of the given standard deviation in pixels; what lies outside
// counts as empty. A deviation below a third of a pixel leaves it as it is.
void blurCoverage(unsigned char* data, int width, int height, int stride, double sigma);

}  // namespace platform::render::detail
