// Tests of series runs, step corners and the paths through them.
#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include "platform/frameworks/charts/series_path.h"

using namespace platform::charts;
using platform::gfx::Path;
using platform::gfx::Point;

namespace {

using Points = std::vector<Point>;

// The points a path passes through, in order (curve ends only).
Points endPoints(const Path& path) {
    Points out;
    for (const auto& e : path.elements()) {
        if (!e.points.empty()) out.push_back(e.points.back());
    }
    return out;
}

}  // namespace

TEST_CASE("series runs and steps") {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    SUBCASE("points that are not finite pairs cut the line") {
        auto runs = seriesRuns({{0, 1}, {1, 2}, {2, nan}, {3}, {4, 4}, {5, 5}, {}, {6, 6}});
        REQUIRE(runs.size() == 3);
        CHECK(runs[0] == Points{{0, 1}, {1, 2}});
        CHECK(runs[1] == Points{{4, 4}, {5, 5}});
        CHECK(runs[2] == Points{{6, 6}});
        CHECK(seriesRuns({}).empty());
        CHECK(seriesRuns({{nan, 1}, {}}).empty());
    }
    SUBCASE("step corners") {
        const Points data{{0, 0.1}, {1, 0.5}, {3, 0.2}};
        struct Case {
            const char* step;
            Points corners;
        };
        for (const Case& c : {
                 Case{"left", {{0, 0.1}, {1, 0.1}, {1, 0.5}, {3, 0.5}, {3, 0.2}}},
                 Case{"center", {{0, 0.1}, {0.5, 0.1}, {0.5, 0.5}, {1, 0.5}, {2, 0.5}, {2, 0.2}, {3, 0.2}}},
                 Case{"right", {{0, 0.1}, {0, 0.5}, {1, 0.5}, {1, 0.2}, {3, 0.2}}},
                 Case{"", data},
                 Case{"sideways", data},
             }) {
            CAPTURE(c.step);
            CHECK(steppedPoints(data, c.step) == c.corners);
        }
        CHECK(steppedPoints({{2, 2}}, "left") == Points{{2, 2}});
    }
}

TEST_CASE("line, spline and area paths") {
    const Points points{{0, 0}, {10, 20}, {20, 5}, {30, 15}};
    SUBCASE("a line visits every point") {
        Path line = linePath(points);
        CHECK(endPoints(line) == points);
        CHECK(line.elements().front().kind == Path::Element::Kind::move);
        CHECK(linePath({}).isEmpty());
    }
    SUBCASE("a spline passes through every point with tangents from the neighbours") {
        Path spline = splinePath(points);
        CHECK(endPoints(spline) == points);
        REQUIRE(spline.elements().size() == 4);
        const auto& second = spline.elements()[2];  // from (10, 20) to (20, 5)
        CHECK(second.kind == Path::Element::Kind::curve);
        // the first control point leaves (10, 20) along (20, 5) − (0, 0)
        CHECK(second.points[0].x == doctest::Approx(10 + 20.0 / 6));
        CHECK(second.points[0].y == doctest::Approx(20 + 5.0 / 6));
        // the second arrives at (20, 5) along (30, 15) − (10, 20)
        CHECK(second.points[1].x == doctest::Approx(20 - 20.0 / 6));
        CHECK(second.points[1].y == doctest::Approx(5 + 5.0 / 6));
        CHECK(splinePath({{0, 0}, {1, 1}}).elements()[1].kind == Path::Element::Kind::line);
    }
    SUBCASE("an area closes down to its base line") {
        Path area = areaPath(linePath(points), points, 100);
        Points expected = points;
        expected.push_back({30, 100});
        expected.push_back({0, 100});
        Points got = endPoints(area);
        REQUIRE(got.size() == 6);
        CHECK(got == expected);
        CHECK(area.elements().back().kind == Path::Element::Kind::close);
    }
}
