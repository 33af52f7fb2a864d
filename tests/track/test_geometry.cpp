// Path geometry: the widget's projection, and the canvas line that keeps
// every point that changes a pixel and drops what cannot show.
#include "track/projection.hpp"
#include "track/screen_line.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using track::LatLon;
using track::ProjectedPath;
using track::View;

std::uint64_t bits(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// tkintermapview's decimal_to_osm, step by step as Python runs it; none
// where Python raises (math.tan and math.cos of infinity, math.log of zero
// or less).
std::optional<std::pair<double, double>> decimal_to_osm(double lat_deg, double lon_deg, int zoom) {
    const double pi = 3.141592653589793;
    double lat_rad = lat_deg * (pi / 180.0);  // math.radians
    double n = std::pow(2.0, zoom);
    double xtile = (lon_deg + 180.0) / 360.0 * n;
    if (std::isinf(lat_rad)) return std::nullopt;
    double inner = std::tan(lat_rad) + (1 / std::cos(lat_rad));
    if (inner <= 0) return std::nullopt;
    double ytile = (1.0 - std::log(inner) / pi) / 2.0 * n;
    return std::make_pair(xtile, ytile);
}

TEST(Projection, AsTheWidgetProjects) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    std::mt19937_64 rnd(11);
    std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
    std::vector<LatLon> points = {{0, 0}, {-0.0, -180}, {85.0511287798066, 180}, {-85.0511287798066, 0},
                                  {46.5, 14.25}, {89.99999999, 1e-300}, {-89.99999999, -1e-300}, {90, 0},
                                  {-90, 0}, {100, 0}, {-100, 0}, {180, 0}, {270, 5}, {1e300, 0}, {inf, 0},
                                  {-inf, 0}, {nan, 0}, {0, inf}, {0, nan}, {0, 1e308}, {45, -1e308}};
    for (int i = 0; i < 5000; ++i) points.push_back({lat(rnd), lon(rnd)});
    std::size_t positions = 0;
    for (const LatLon& p : points) {
        // A position exactly where the widget has a finite one, and then the
        // widget's at every zoom.
        auto theirs = decimal_to_osm(p.lat, p.lon, 0);
        bool finite = theirs && std::isfinite(theirs->first) && std::isfinite(theirs->second);
        double x = 0, y = 0;
        ASSERT_EQ(track::project(p, x, y), finite) << p.lat << " " << p.lon;
        if (!finite) continue;
        ++positions;
        for (int zoom = 0; zoom <= 22; ++zoom) {
            auto [tile_x, tile_y] = decimal_to_osm(p.lat, p.lon, zoom).value();
            double scale = std::ldexp(1.0, zoom);
            ASSERT_EQ(bits(x * scale), bits(tile_x)) << p.lat << " " << p.lon << " zoom " << zoom;
            ASSERT_EQ(bits(y * scale), bits(tile_y)) << p.lat << " " << p.lon << " zoom " << zoom;
        }
    }
    EXPECT_GT(positions, 5000u);

    ProjectedPath path;
    EXPECT_FALSE(path.add({nan, 0}));
    EXPECT_TRUE(path.empty());
    const LatLon partly[] = {{1, 2}, {3, 4}, {inf, 0}, {5, 6}};
    EXPECT_FALSE(path.assign(partly, 4));
    EXPECT_EQ(path.size(), 2u);
}

// A walk with a heading that drifts and jitter on every point, as a GPS
// recording goes.
std::vector<LatLon> walk(std::size_t count, std::uint64_t seed, double step = 2e-5) {
    std::mt19937_64 rnd(seed);
    std::normal_distribution<double> turn(0, 0.3), jitter(0, step / 6);
    std::vector<LatLon> points;
    double lat = 46.5, lon = 14.25, heading = 0;
    for (std::size_t i = 0; i < count; ++i) {
        heading += turn(rnd);
        lat += step * std::cos(heading) + jitter(rnd);
        lon += step * std::sin(heading) + jitter(rnd);
        points.push_back({lat, lon});
    }
    return points;
}

ProjectedPath projected(const std::vector<LatLon>& points) {
    ProjectedPath path;
    EXPECT_TRUE(path.assign(points.data(), points.size()));
    return path;
}

// The view the widget keeps with 256-pixel tiles, centred on a point.
View view_on(const ProjectedPath& path, std::size_t centre, int zoom, double width = 750, double height = 400) {
    View view;
    view.zoom = zoom;
    view.left = path.x(centre) * view.scale() - width / 512;
    view.right = view.left + width / 256;
    view.top = path.y(centre) * view.scale() - height / 512;
    view.bottom = view.top + height / 256;
    view.width = width;
    view.height = height;
    view.margin = 11;
    return view;
}

struct Canvas {
    const ProjectedPath& path;
    const View& view;
    double x(std::size_t i) const { return (path.x(i) * view.scale() - view.left) * view.scale_x(); }
    double y(std::size_t i) const { return (path.y(i) * view.scale() - view.top) * view.scale_y(); }
    // Sides of the canvas, half a canvas and the margin further out, that a point lies beyond.
    int beyond(std::size_t i) const {
        double x0 = -view.margin - view.width / 2, x1 = view.width * 1.5 + view.margin;
        double y0 = -view.margin - view.height / 2, y1 = view.height * 1.5 + view.margin;
        return (x(i) < x0) | (x(i) > x1) << 1 | (y(i) < y0) << 2 | (y(i) > y1) << 3;
    }
    bool near(std::size_t i, std::size_t j) const {
        return std::fabs(x(i) - x(j)) < 1 && std::fabs(y(i) - y(j)) < 1;
    }
};

// The indices of the path's points that the line keeps, in order; a fault
// when the line holds a point not of the path.
std::vector<std::size_t> kept_points(const Canvas& canvas, const std::vector<double>& line, std::string& fault) {
    std::vector<std::size_t> kept;
    std::size_t i = 0;
    for (std::size_t k = 0; k + 1 < line.size(); k += 2) {
        while (i < canvas.path.size() && !(canvas.x(i) == line[k] && canvas.y(i) == line[k + 1])) ++i;
        if (i == canvas.path.size()) {
            fault = "canvas point " + std::to_string(k / 2) + " is no point of the path, in order";
            return kept;
        }
        kept.push_back(i++);
    }
    return kept;
}

// "" when the line keeps the first and the last point, and every point it
// drops lies within a pixel of the point kept before it, or beyond a side
// of the drawing window together with the kept points around it (so the
// straight line between those cannot show it).
std::string line_faults(const ProjectedPath& path, const View& view) {
    Canvas canvas{path, view};
    std::vector<double> line = track::screen_points(path, view);
    std::string fault;
    std::vector<std::size_t> kept = kept_points(canvas, line, fault);
    if (!fault.empty()) return fault;
    if (kept.empty() || kept.front() != 0 || kept.back() != path.size() - 1) return "first or last point dropped";
    for (std::size_t k = 0; k + 1 < kept.size(); ++k)
        for (std::size_t d = kept[k] + 1; d < kept[k + 1]; ++d)
            if (!canvas.near(d, kept[k]) && (canvas.beyond(d) & canvas.beyond(kept[k]) & canvas.beyond(kept[k + 1])) == 0)
                return "point " + std::to_string(d) + " dropped although it changes a pixel";
    return "";
}

TEST(ScreenLine, KeepsEveryPointThatChangesAPixel) {
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        ProjectedPath path = projected(walk(20000, seed));
        for (int zoom = 8; zoom <= 22; zoom += 2)
            for (std::size_t centre : {std::size_t(0), std::size_t(7777), path.size() - 1}) {
                View view = view_on(path, centre, zoom);
                EXPECT_EQ(line_faults(path, view), "") << "seed " << seed << " zoom " << zoom << " centre " << centre;
            }
    }
    ProjectedPath one = projected({{46.5, 14.25}});
    EXPECT_EQ(track::screen_points(one, view_on(one, 0, 10)).size(), 2u);
    EXPECT_TRUE(track::screen_points(ProjectedPath(), view_on(one, 0, 10)).empty());
}

TEST(ScreenLine, MergesJitterAndShortensWhatCannotShow) {
    // Ten thousand points within a fifth of a pixel: the first and the last.
    std::vector<LatLon> points;
    std::mt19937_64 rnd(3);
    std::uniform_real_distribution<double> jitter(-1e-7, 1e-7);
    for (int i = 0; i < 10000; ++i) points.push_back({46.5 + jitter(rnd), 14.25 + jitter(rnd)});
    ProjectedPath still = projected(points);
    View view = view_on(still, 0, 15);
    EXPECT_EQ(track::screen_points(still, view).size(), 4u);
    EXPECT_EQ(line_faults(still, view), "");

    // A walk in view, an excursion far to the west, back again: the
    // excursion keeps only where it leaves and where it comes back.
    std::vector<LatLon> trip = walk(100, 5, 2e-4);
    for (LatLon p : walk(5000, 6)) trip.push_back({p.lat, p.lon - 1.0});
    for (LatLon p : walk(100, 7, 2e-4)) trip.push_back(p);
    ProjectedPath path = projected(trip);
    view = view_on(path, 0, 12);
    std::size_t count = track::screen_points(path, view).size() / 2;
    EXPECT_LE(count, 200u + 4u);
    EXPECT_EQ(line_faults(path, view), "");
}

TEST(ScreenLine, MovedInsteadOfRebuiltOnlyWithinWhatWasBuilt) {
    ProjectedPath path = projected(walk(20000, 9));
    View built = view_on(path, 5000, 16);
    Canvas canvas{path, built};
    std::vector<double> line = track::screen_points(path, built);
    std::string fault;
    std::vector<std::size_t> kept = kept_points(canvas, line, fault);
    ASSERT_EQ(fault, "");
    for (double fraction : {0.0, 0.2, -0.45, 0.49, -0.49}) {
        View moved = built;
        double dx = built.width * fraction / built.scale_x(), dy = -built.height * fraction / built.scale_y();
        moved.left += dx, moved.right += dx, moved.top += dy, moved.bottom += dy;
        std::optional<track::Shift> shift = track::line_shift(built, moved);
        ASSERT_TRUE(shift) << fraction;
        EXPECT_NEAR(shift->x, -built.width * fraction, 1e-6);
        EXPECT_NEAR(shift->y, built.height * fraction, 1e-6);
        // Every point in sight after the move lies within a pixel of the
        // line as built.
        Canvas after{path, moved};
        std::size_t k = 0;
        for (std::size_t d = 0; d < path.size(); ++d) {
            while (k + 1 < kept.size() && kept[k + 1] <= d) ++k;
            bool in_sight = after.x(d) >= 0 && after.x(d) <= moved.width && after.y(d) >= 0 && after.y(d) <= moved.height;
            ASSERT_TRUE(!in_sight || canvas.near(d, kept[k])) << "point " << d << " after a move of " << fraction;
        }
    }
    View far = built;
    far.left += built.width * 0.51 / built.scale_x();
    far.right += built.width * 0.51 / built.scale_x();
    EXPECT_FALSE(track::line_shift(built, far));
    View zoomed = view_on(path, 5000, 17);
    EXPECT_FALSE(track::line_shift(built, zoomed));
    View resized = built;
    resized.width += 1;
    EXPECT_FALSE(track::line_shift(built, resized));
}

}  // namespace
