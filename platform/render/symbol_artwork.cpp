// Our own drawings of the platform's symbol images and the navigation
// icons, which carry only a name: simple strokes on a 24-unit grid.
#include "platform/render/symbol_artwork.h"

#include <cmath>
#include <functional>
#include <map>
#include <numbers>
#include <vector>

namespace platform::render::detail {

namespace {

using Points = std::vector<std::pair<double, double>>;
constexpr double pi = std::numbers::pi;

void polyline(cairo_t* cr, const Points& points, bool closed = false) {
    cairo_new_sub_path(cr);
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i == 0) cairo_move_to(cr, points[i].first, points[i].second);
        else cairo_line_to(cr, points[i].first, points[i].second);
    }
    if (closed) cairo_close_path(cr);
}

void stroke(cairo_t* cr) {
    cairo_set_line_width(cr, 2);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_dash(cr, nullptr, 0, 0);
    cairo_stroke(cr);
}

void dot(cairo_t* cr, double x, double y, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x, y, r, 0, 2 * pi);
    cairo_fill(cr);
}

void cross(cairo_t* cr) {
    polyline(cr, {{6, 6}, {18, 18}});
    polyline(cr, {{18, 6}, {6, 18}});
    stroke(cr);
}

void plus(cairo_t* cr) {
    polyline(cr, {{12, 5}, {12, 19}});
    polyline(cr, {{5, 12}, {19, 12}});
    stroke(cr);
}

void check(cairo_t* cr) {
    polyline(cr, {{5, 12.5}, {10, 17.5}, {19, 7}});
    stroke(cr);
}

void share(cairo_t* cr) {
    polyline(cr, {{8.5, 10}, {5, 10}, {5, 21}, {19, 21}, {19, 10}, {15.5, 10}});
    polyline(cr, {{12, 3}, {12, 15}});
    polyline(cr, {{8, 7}, {12, 3}, {16, 7}});
    stroke(cr);
}

void star(cairo_t* cr, bool filled) {
    Points points;
    for (int i = 0; i < 10; ++i) {
        double radius = i % 2 == 0 ? 9.5 : 4;
        double angle = -pi / 2 + i * pi / 5;
        points.emplace_back(12 + radius * std::cos(angle), 12.5 + radius * std::sin(angle));
    }
    polyline(cr, points, true);
    if (filled) cairo_fill(cr);
    else stroke(cr);
}

void lock(cairo_t* cr, bool open) {
    cairo_new_sub_path(cr);
    cairo_rectangle(cr, 5, 11, 14, 10);
    cairo_fill(cr);
    double shift = open ? 5 : 0;
    cairo_new_sub_path(cr);
    cairo_move_to(cr, 7.5 + shift, open ? 8 : 11);
    cairo_arc(cr, 12 + shift, 7.5, 4.5, pi, 2 * pi);
    cairo_line_to(cr, 16.5 + shift, 11);
    stroke(cr);
}

void circle(cairo_t* cr) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, 12, 12, 9.5, 0, 2 * pi);
    stroke(cr);
}

const std::map<std::string, std::function<void(cairo_t*)>>& artwork() {
    static const std::map<std::string, std::function<void(cairo_t*)>> table{
        {"ic_menu",
         [](cairo_t* cr) {
             for (double y : {6.0, 12.0, 18.0}) polyline(cr, {{3, y}, {21, y}});
             stroke(cr);
         }},
        {"ic_edit",
         [](cairo_t* cr) {
             polyline(cr, {{4, 20}, {4.5, 16}, {15.5, 5}, {19, 8.5}, {8, 19.5}}, true);
             polyline(cr, {{13, 7.5}, {16.5, 11}});
             stroke(cr);
         }},
        {"ic_clear", cross},
        {"ic_close", cross},
        {"xmark", cross},
        {"ic_add", plus},
        {"plus", plus},
        {"minus",
         [](cairo_t* cr) {
             polyline(cr, {{5, 12}, {19, 12}});
             stroke(cr);
         }},
        {"ic_check", check},
        {"checkmark", check},
        {"ic_arrowBack",
         [](cairo_t* cr) {
             polyline(cr, {{20, 12}, {5, 12}});
             polyline(cr, {{11, 6}, {5, 12}, {11, 18}});
             stroke(cr);
         }},
        {"chevron.left",
         [](cairo_t* cr) {
             polyline(cr, {{15, 5}, {8, 12}, {15, 19}});
             stroke(cr);
         }},
        {"chevron.right",
         [](cairo_t* cr) {
             polyline(cr, {{9, 5}, {16, 12}, {9, 19}});
             stroke(cr);
         }},
        {"ic_share", share},
        {"square.and.arrow.up", share},
        {"lock.fill", [](cairo_t* cr) { lock(cr, false); }},
        {"lock.open.fill", [](cairo_t* cr) { lock(cr, true); }},
        {"play.fill",
         [](cairo_t* cr) {
             polyline(cr, {{7, 4}, {20, 12}, {7, 20}}, true);
             cairo_fill(cr);
         }},
        {"pause.fill",
         [](cairo_t* cr) {
             cairo_rectangle(cr, 6, 4, 4, 16);
             cairo_rectangle(cr, 14, 4, 4, 16);
             cairo_fill(cr);
         }},
        {"star", [](cairo_t* cr) { star(cr, false); }},
        {"star.fill", [](cairo_t* cr) { star(cr, true); }},
        {"questionmark.circle",
         [](cairo_t* cr) {
             circle(cr);
             cairo_new_sub_path(cr);
             cairo_arc(cr, 12, 9.5, 3, pi, 2.4 * pi);
             cairo_line_to(cr, 12, 14);
             stroke(cr);
             dot(cr, 12, 17.3, 1.2);
         }},
        {"info.circle",
         [](cairo_t* cr) {
             circle(cr);
             polyline(cr, {{12, 10.5}, {12, 17}});
             stroke(cr);
             dot(cr, 12, 7.3, 1.2);
         }},
        {"trash",
         [](cairo_t* cr) {
             polyline(cr, {{4, 6}, {20, 6}});
             polyline(cr, {{9, 6}, {9, 3.5}, {15, 3.5}, {15, 6}});
             polyline(cr, {{6, 6}, {7, 20.5}, {17, 20.5}, {18, 6}});
             polyline(cr, {{10, 9.5}, {10, 17}});
             polyline(cr, {{14, 9.5}, {14, 17}});
             stroke(cr);
         }},
    };
    return table;
}

}  // namespace

bool hasArtwork(const std::string& imageName) { return artwork().count(imageName) > 0; }

bool drawArtwork(cairo_t* cr, const std::string& imageName) {
    auto found = artwork().find(imageName);
    if (found == artwork().end()) return false;
    cairo_new_path(cr);
    found->second(cr);
    cairo_new_path(cr);
    return true;
}

}  // namespace platform::render::detail
