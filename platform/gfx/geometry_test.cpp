#include <doctest/doctest.h>

#include <cmath>
#include <numbers>

#include "platform/gfx/geometry.h"

using namespace platform::gfx;

TEST_CASE("rectangles") {
    SUBCASE("edges and containment: the far edges are outside") {
        Rect r(10, 20, 30, 40);
        CHECK(r.maxX() == 40);
        CHECK(r.maxY() == 60);
        CHECK(r.center() == Point{25, 40});
        CHECK(r.contains({10, 20}));
        CHECK_FALSE(r.contains({40, 30}));
        CHECK_FALSE(r.contains({20, 60}));
    }
    SUBCASE("a negative size describes the same area") {
        Rect r(40, 60, -30, -40);
        CHECK(r.standardized() == Rect(10, 20, 30, 40));
        CHECK(r.width() == 30);
    }
    SUBCASE("intersection and union") {
        Rect a(0, 0, 10, 10), b(5, 5, 10, 10), c(20, 20, 1, 1);
        CHECK(a.intersection(b) == Rect(5, 5, 5, 5));
        CHECK(a.intersects(b));
        CHECK_FALSE(a.intersects(c));
        CHECK(a.intersection(c).isEmpty());
        CHECK(a.unionWith(c) == Rect(0, 0, 21, 21));
        // touching edges share no area
        CHECK_FALSE(a.intersects(Rect(10, 0, 5, 5)));
    }
    SUBCASE("insets larger than the rectangle leave nothing") {
        CHECK(Rect(0, 0, 10, 10).insetBy(2, 3) == Rect(2, 3, 6, 4));
        CHECK(Rect(0, 0, 10, 10).insetBy(6, 0).isEmpty());
        CHECK(inset(Rect(0, 0, 100, 50), EdgeInsets{5, 10, 15, 20}) == Rect(10, 5, 70, 30));
    }
}

TEST_CASE("affine transforms") {
    SUBCASE("a quarter turn maps the x axis onto the y axis") {
        Point p = AffineTransform::rotation(std::numbers::pi / 2).apply({1, 0});
        CHECK(p.x == doctest::Approx(0).epsilon(1e-12));
        CHECK(p.y == doctest::Approx(1));
    }
    SUBCASE("concat applies this transform first") {
        auto t = AffineTransform::scale(2, 2).concat(AffineTransform::translation(10, 0));
        CHECK(t.apply({1, 1}) == Point{12, 2});
        auto u = AffineTransform::translation(10, 0).concat(AffineTransform::scale(2, 2));
        CHECK(u.apply({1, 1}) == Point{22, 2});
    }
    SUBCASE("a context-style translate then rotate turns about the translated origin") {
        auto ctm = AffineTransform::identity().translated(100, 50).rotated(std::numbers::pi);
        Point p = ctm.apply({10, 0});
        CHECK(p.x == doctest::Approx(90));
        CHECK(p.y == doctest::Approx(50));
        CHECK(std::fabs(ctm.rotationAngle()) == doctest::Approx(std::numbers::pi));
    }
}

TEST_CASE("compact numbers") {
    CHECK(formatNumber(390) == "390");
    CHECK(formatNumber(-0.0) == "0");
    CHECK(formatNumber(0.25) == "0.25");
    CHECK(formatNumber(1.0 / 3) == "0.3333");
    CHECK(formatNumber(-2.50004) == "-2.5");
    CHECK(formatNumber(1e300) == "1e+300");
    CHECK(formatNumber(std::nan("")) == "nan");
    CHECK(describe(Rect(0, 47, 390, 56.5)) == "0 47 390 56.5");
}
