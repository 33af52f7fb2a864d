#include "track/projection.hpp"

#include <algorithm>
#include <cmath>

namespace track {

namespace {

const double kPi = 3.14159265358979323846;
const double kDegreesToRadians = kPi / 180.0;  // as math.radians

}  // namespace

bool project(LatLon point, double& x, double& y) {
    if (!std::isfinite(point.lat) || !std::isfinite(point.lon)) return false;
    double lat_rad = point.lat * kDegreesToRadians;
    double inner = std::tan(lat_rad) + (1 / std::cos(lat_rad));
    if (!(inner > 0)) return false;
    x = (point.lon + 180.0) / 360.0;
    y = (1.0 - std::log(inner) / kPi) / 2.0;
    return std::isfinite(x) && std::isfinite(y);
}

void ProjectedPath::clear() {
    x_.clear();
    y_.clear();
    blocks_.clear();
}

void ProjectedPath::reserve(std::size_t count) {
    x_.reserve(count);
    y_.reserve(count);
    blocks_.reserve(count / kBlock);
}

bool ProjectedPath::add(LatLon point) {
    double x = 0, y = 0;
    if (!project(point, x, y)) return false;
    x_.push_back(x);
    y_.push_back(y);
    if (x_.size() % kBlock == 0) {
        std::size_t first = x_.size() - kBlock;
        Bounds bounds{x_[first], x_[first], y_[first], y_[first]};
        for (std::size_t i = first + 1; i < x_.size(); ++i) {
            bounds.x0 = std::min(bounds.x0, x_[i]);
            bounds.x1 = std::max(bounds.x1, x_[i]);
            bounds.y0 = std::min(bounds.y0, y_[i]);
            bounds.y1 = std::max(bounds.y1, y_[i]);
        }
        blocks_.push_back(bounds);
    }
    return true;
}

bool ProjectedPath::assign(const LatLon* points, std::size_t count) {
    clear();
    reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        if (!add(points[i])) return false;
    return true;
}

}  // namespace track
