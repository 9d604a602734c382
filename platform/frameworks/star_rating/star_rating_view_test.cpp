#include <doctest/doctest.h>

#include <cmath>

#include "platform/frameworks/star_rating/star_rating_view.h"

using namespace platform;
using platform::rating::StarFillMode;
using platform::rating::StarRatingView;

TEST_CASE("star ratings") {
    auto stars = std::make_shared<StarRatingView>(gfx::Rect(0, 0, 120, 20));
    SUBCASE("one shape layer a star, filled up to the rating") {
        stars->setRating(3);
        REQUIRE(stars->layer()->sublayers().size() == 5);
        CHECK(stars->starFills() == std::vector<double>{1, 1, 1, 0, 0});
        auto third = std::dynamic_pointer_cast<gfx::ShapeLayer>(stars->layer()->sublayers()[2]);
        auto fourth = std::dynamic_pointer_cast<gfx::ShapeLayer>(stars->layer()->sublayers()[3]);
        CHECK(third->fillColor() == stars->settings().filledColor);
        CHECK(fourth->fillColor() == stars->settings().emptyColor);
        CHECK(fourth->frame() == gfx::Rect(75, 0, 20, 20));
        CHECK(stars->intrinsicContentSize() == gfx::Size{120, 20});
    }
    SUBCASE("a star filled in part draws its filled part up to the rating, inside the empty star") {
        struct Case {
            StarFillMode mode;
            double rating;
            std::vector<double> parts;  // the filled part's width of each star; -1: none drawn
        };
        for (const Case& c : {Case{StarFillMode::half, 2.5, {-1, -1, 10, -1, -1}},
                              Case{StarFillMode::half, 2.7, {-1, -1, 10, -1, -1}},
                              Case{StarFillMode::precise, 3.6, {-1, -1, -1, 12, -1}},
                              Case{StarFillMode::full, 2.5, {-1, -1, -1, -1, -1}}}) {
            CAPTURE(c.rating);
            stars->settings().fillMode = c.mode;
            stars->setRating(c.rating);
            for (std::size_t i = 0; i < 5; ++i) {
                CAPTURE(i);
                auto star = std::dynamic_pointer_cast<gfx::ShapeLayer>(stars->layer()->sublayers()[i]);
                auto part = std::dynamic_pointer_cast<gfx::ShapeLayer>(star->sublayers().at(0));
                REQUIRE(part);
                const double fill = stars->starFills()[i];
                // A whole star is filled itself; one in part keeps the empty star's look.
                CHECK(star->fillColor() == (fill >= 1 ? stars->settings().filledColor : stars->settings().emptyColor));
                CHECK(part->isHidden() == (c.parts[i] < 0));
                if (c.parts[i] < 0) continue;
                CHECK(part->fillColor() == stars->settings().filledColor);
                const auto box = part->path()->boundingBox();
                CHECK(box.minX() == doctest::Approx(star->path()->boundingBox().minX()));
                CHECK(box.maxX() == doctest::Approx(c.parts[i]));
                CHECK(box.height() > 0);
            }
        }
    }
    SUBCASE("the fill mode rounds what is shown") {
        stars->setRating(3.6);
        CHECK(stars->starFills()[3] == 1);  // full stars: 4
        stars->settings().fillMode = StarFillMode::half;
        CHECK(stars->starFills()[3] == 0.5);
        stars->settings().fillMode = StarFillMode::precise;
        CHECK(stars->starFills()[3] == doctest::Approx(0.6));
    }
    SUBCASE("a touch rounds, respects the minimum and reports") {
        std::vector<double> touched, finished;
        stars->onTouch = [&](double r) { touched.push_back(r); };
        stars->onFinishTouching = [&](double r) { finished.push_back(r); };
        CHECK(stars->touch(3.7));
        CHECK(stars->rating() == 4);
        CHECK(stars->touch(0.2));
        CHECK(stars->rating() == 1);  // the minimum
        CHECK(stars->touch(9));
        CHECK(stars->rating() == 5);
        CHECK(finished == std::vector<double>{4, 1, 5});
        CHECK(touched == finished);
        stars->settings().updateOnTouch = false;
        CHECK_FALSE(stars->touch(2));
        CHECK(stars->rating() == 5);
    }
    SUBCASE("updates keep the star layers, and what was set on them") {
        auto first = stars->layer()->sublayers()[0];
        first->setShadowOpacity(0.7);
        stars->settings().filledColor = gfx::Color::rgb(0, 0.9, 0.46);
        stars->setRating(1);
        CHECK(stars->layer()->sublayers()[0] == first);
        CHECK(first->shadowOpacity() == 0.7);
        CHECK(std::dynamic_pointer_cast<gfx::ShapeLayer>(first)->fillColor() == gfx::Color::rgb(0, 0.9, 0.46));
        stars->settings().totalStars = 3;
        stars->update();
        CHECK(stars->layer()->sublayers().size() == 3);
    }
    SUBCASE("the number of stars stays within bounds") {
        stars->settings().totalStars = 0;
        stars->update();
        CHECK(stars->layer()->sublayers().empty());
        CHECK(stars->touch(3));  // fewer stars than the minimum rating
        CHECK(stars->rating() == 1);
        stars->settings().totalStars = 1'000'000;
        stars->update();
        CHECK(stars->layer()->sublayers().size() == 100);
        CHECK(stars->starFills().size() == 100);
        CHECK(stars->intrinsicContentSize().width == 100 * 20 + 99 * 5);
    }
    SUBCASE("a rating that is no number shows no stars") {
        stars->setRating(std::nan(""));
        CHECK(stars->rating() == 0);
        CHECK(stars->starFills() == std::vector<double>{0, 0, 0, 0, 0});
    }
}
