#include "track/projection.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace track {

namespace {

const double kPi = 3.14159265358979323846;
const double kDegreesToRadians = kPi / 180.0;  // as math.radians

// Paths shorter than this are cheap to walk whole at any view.
const std::size_t kLevelsFrom = 2 * kBlock;
// A level that would keep more than this share of the points is not kept:
// views that fine walk every point, with the blocks' help.
const double kLevelsUpTo = 0.5;
const int kMostLevels = 40;

// Bounds of the points at(first) ... at(end - 1).
template <class Index>
ProjectedPath::Bounds bounds_of(const std::vector<double>& x, const std::vector<double>& y, Index at,
                                std::size_t first, std::size_t end) {
    ProjectedPath::Bounds bounds{x[at(first)], x[at(first)], y[at(first)], y[at(first)]};
    for (std::size_t i = first + 1; i < end; ++i) {
        bounds.x0 = std::min(bounds.x0, x[at(i)]);
        bounds.x1 = std::max(bounds.x1, x[at(i)]);
        bounds.y0 = std::min(bounds.y0, y[at(i)]);
        bounds.y1 = std::max(bounds.y1, y[at(i)]);
    }
    return bounds;
}

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
    levels_.clear();
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
    levels_.clear();  // built for the points before
    if (x_.size() % kBlock == 0)
        blocks_.push_back(bounds_of(x_, y_, [](std::size_t i) { return i; }, x_.size() - kBlock, x_.size()));
    return true;
}

template <class Keep>
void ProjectedPath::walk_level(double tolerance, Keep keep) const {
    const std::size_t n = x_.size();
    keep(0);
    double kept_x = x_[0], kept_y = y_[0];
    std::size_t last = 0;
    for (std::size_t i = 1; i < n; ++i) {
        if (i % kBlock == 0 && i / kBlock < blocks_.size()) {
            const Bounds& block = blocks_[i / kBlock];
            if (block.x0 > kept_x - tolerance && block.x1 < kept_x + tolerance && block.y0 > kept_y - tolerance &&
                block.y1 < kept_y + tolerance) {
                i += kBlock - 1;  // the whole block within tolerance of the point kept
                continue;
            }
        }
        if (std::fabs(x_[i] - kept_x) < tolerance && std::fabs(y_[i] - kept_y) < tolerance) continue;
        if (!keep(i)) return;
        last = i;
        kept_x = x_[i];
        kept_y = y_[i];
    }
    if (last != n - 1) keep(n - 1);
}

void ProjectedPath::build_levels() {
    levels_.clear();
    const std::size_t n = x_.size();
    if (n < kLevelsFrom || n > UINT32_MAX) return;
    const auto most = static_cast<std::size_t>(kLevelsUpTo * static_cast<double>(n));
    for (int k = 0; k < kMostLevels; ++k) {
        // A quarter pixel at 2**(k + 8) pixels to the unit.
        const double tolerance = std::ldexp(1.0, -(k + 10));
        // Counted first, so that a level is allocated once, at its size, and
        // the one too large to keep not at all.
        std::size_t count = 0;
        walk_level(tolerance, [&](std::size_t) { return ++count <= most; });
        if (count > most) break;
        Level level;
        level.index.reserve(count);
        walk_level(tolerance, [&](std::size_t i) {
            level.index.push_back(static_cast<std::uint32_t>(i));
            return true;
        });
        const std::vector<std::uint32_t>& index = level.index;
        level.blocks.reserve(index.size() / kBlock);
        for (std::size_t first = 0; first + kBlock <= index.size(); first += kBlock)
            level.blocks.push_back(
                bounds_of(x_, y_, [&](std::size_t j) { return std::size_t{index[j]}; }, first, first + kBlock));
        levels_.push_back(std::move(level));
    }
}

const ProjectedPath::Level* ProjectedPath::level_for(double pixels_per_unit) const {
    if (levels_.empty() || !(pixels_per_unit > 0) || !std::isfinite(pixels_per_unit)) return nullptr;
    // The coarsest level whose quarter pixel is no more than a quarter pixel
    // here; the slack keeps a scale a rounding above 2**(k + 8) at level k.
    double k = std::ceil(std::log2(pixels_per_unit) - 8 - 1e-9);
    if (k < 0) k = 0;
    if (k >= static_cast<double>(levels_.size())) return nullptr;
    return &levels_[static_cast<std::size_t>(k)];
}

bool ProjectedPath::assign(const LatLon* points, std::size_t count) {
    clear();
    reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        if (!add(points[i])) return false;
    return true;
}

}  // namespace track
