// Tracks projected as the map widget projects them (tkintermapview's
// decimal_to_osm), once, in world units: the whole world is one tile, as at
// zoom 0. The widget's tile coordinates at zoom z are these times 2**z,
// exactly, since that product only changes the exponent.
#pragma once

#include "track/tracks.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace track {

// decimal_to_osm(lat, lon, 0); false where the widget's projection raises
// (math domain errors) or gives no finite position.
bool project(LatLon point, double& x, double& y);

// Points per block whose bounds are kept, so that a block all merged into
// one pixel or all out of sight is passed over at once.
constexpr std::size_t kBlock = 64;

// A path projected once; drawn at any view from here on.
class ProjectedPath {
public:
    struct Bounds {
        double x0, x1, y0, y1;
    };

    // The points that can show at one scale: every point left out lies
    // within a quarter pixel, on both axes, of the point kept before it. The
    // first and the last point are always kept.
    struct Level {
        std::vector<std::uint32_t> index;  // points kept, in path order
        std::vector<Bounds> blocks;        // bounds of index[b * kBlock ...], for each full block b
    };

    void clear();
    void reserve(std::size_t count);
    // Adds the next point of the path; false (the point left out) when it
    // has no position on the map.
    bool add(LatLon point);
    // Projects `count` points; false when one of them has no position, and
    // the path then holds only those before it.
    bool assign(const LatLon* points, std::size_t count);

    std::size_t size() const { return x_.size(); }
    bool empty() const { return x_.empty(); }
    double x(std::size_t i) const { return x_[i]; }
    double y(std::size_t i) const { return y_[i]; }
    // Bounds of points [b * kBlock, (b + 1) * kBlock), for each full block b.
    const std::vector<Bounds>& blocks() const { return blocks_; }

    // Builds the levels of detail, once the points are all added: level k
    // serves views of up to 2**(k + 8) pixels to a world unit (zoom k with
    // the usual 256-pixel tiles), so that a view far out touches only the
    // few points it can show. Levels stop where one would keep most points.
    void build_levels();
    // The level for a view of `pixels_per_unit` pixels to a world unit;
    // null when the view needs every point.
    const Level* level_for(double pixels_per_unit) const;

private:
    // Walks the points a level of `tolerance` keeps, in order, calling
    // keep(i) for each; stops early when keep returns false.
    template <class Keep>
    void walk_level(double tolerance, Keep keep) const;

    std::vector<double> x_, y_;
    std::vector<Bounds> blocks_;
    std::vector<Level> levels_;
};

}  // namespace track
