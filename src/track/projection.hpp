// Tracks projected as the map widget projects them (tkintermapview's
// decimal_to_osm), once, in world units: the whole world is one tile, as at
// zoom 0. The widget's tile coordinates at zoom z are these times 2**z,
// exactly, since that product only changes the exponent.
#pragma once

#include "track/tracks.hpp"

#include <cstddef>
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

private:
    std::vector<double> x_, y_;
    std::vector<Bounds> blocks_;
};

}  // namespace track
