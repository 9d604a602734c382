#include "velmora/engine/chart_data.h"

namespace velmora {

UnitCircleChartData::UnitCircleChartData(double alpha, double b, double angle, int fullCircles, Quadrant quadrant)
    : alpha(alpha), b(b), angle(angle), fullCircles(fullCircles), quadrant(quadrant) {
    frameRatio = 2.0;
}

}  // namespace velmora
