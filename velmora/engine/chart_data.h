#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/engine/trigonometric_type.h"

// The chart descriptions a calculator hands to the charts: numbers, texts
// and colours ("#rrggbb") already formatted for display. A point is [x, y].
// Records are filled by their producer right after creation and shared,
// unchanged, by the lists that hold them.
namespace velmora {

using ChartPoint = std::vector<double>;

class ChartData {
public:
    virtual ~ChartData() = default;

    // Width over height of the chart's area. It has no value of its own:
    // every producer sets it, and a chart without one is not drawn.
    std::optional<double> frameRatio;
};

class HistogramChartData : public ChartData {
public:
    struct ColorTheme {
        std::string hexColor;
        std::vector<ChartPoint> dataValues;
    };

    std::string chartTitle;
    std::string dataName;
    std::string xAxisName;
    std::vector<ColorTheme> dataSetWithColorTheme;
};

class DistributionFunctionChartData : public ChartData {
public:
    std::string chartTitle;
    std::string dataName;
    std::string xAxisName;
    std::string chartColorHexCode;
    std::vector<ChartPoint> dataSet;
    bool isPresentationView = false;
    bool isConverse = false;
};

class BernoulliDistributionTreeChartData : public ChartData {
public:
    std::string chartTitle;
    std::string chartColorHexCode;
    double probabilityOfSuccess = 0;
    int hits = 0;
    int trials = 0;
};

class LineChartData : public ChartData {
public:
    std::string chartTitle;
    std::string dataName;
    std::string chartColorHexCode;
    std::vector<double> startPoint;
    std::vector<double> endPoint;
    std::vector<ChartPoint> markedPoints;
    double axisLimit = 0;
};

class CommonSplineChartData : public ChartData {
public:
    std::string chartTitle;
    std::string dataName;
    std::string chartColorHexCode;
    std::vector<ChartPoint> dataSet;
    std::optional<double> lengthOfGraph;
};

class TrigonometricChartData : public ChartData {
public:
    std::optional<double> lengthOfGraph;
    double offset = 0;
    double periodLength = 0;
    double amplitude = 0;
    std::optional<TrigonometricType> type;
};

class UnitCircleChartData : public ChartData {
public:
    // Stores the five values and a frame ratio of 2.
    UnitCircleChartData(double alpha, double b, double angle, int fullCircles, Quadrant quadrant);

    std::optional<double> alpha;
    std::optional<double> b;
    std::optional<double> angle;
    std::optional<int> fullCircles;
    std::optional<Quadrant> quadrant;
};

// One chart cell's records.
using ChartList = std::vector<std::shared_ptr<ChartData>>;

}  // namespace velmora
