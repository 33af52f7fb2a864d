#include "track/screen_line.hpp"

#include <algorithm>
#include <cmath>

namespace track {

double View::scale() const { return std::ldexp(1.0, zoom); }

bool View::drawable() const { return right - left > 0 && bottom - top > 0 && width > 0 && height > 0; }

namespace {

// Sides of the drawing window a point lies beyond.
int outside(double x, double y, double x0, double y0, double x1, double y1) {
    return (x < x0 ? 1 : 0) | (x > x1 ? 2 : 0) | (y < y0 ? 4 : 0) | (y > y1 ? 8 : 0);
}

// The points of a path a line is built from: all of them, or those of a
// level of detail.
struct AllPoints {
    const ProjectedPath& path;
    std::size_t size() const { return path.size(); }
    std::size_t at(std::size_t i) const { return i; }
    const std::vector<ProjectedPath::Bounds>& blocks() const { return path.blocks(); }
};

struct LevelPoints {
    const ProjectedPath::Level& level;
    std::size_t size() const { return level.index.size(); }
    std::size_t at(std::size_t i) const { return level.index[i]; }
    const std::vector<ProjectedPath::Bounds>& blocks() const { return level.blocks; }
};

// Whether a point at (x, y) merges into the one kept at (kept_x, kept_y).
// Of all points: on its pixel, or less than half a pixel from it. Of a
// level, whose points left out lie within a quarter pixel of one kept
// there: less than three quarters, so that every point left out in the end
// lies within a pixel of the one kept before it.
bool merges(bool all_points, double x, double y, double kept_x, double kept_y, double kept_px, double kept_py) {
    if (all_points)
        return (std::floor(x) == kept_px && std::floor(y) == kept_py) ||
               (std::fabs(x - kept_x) < 0.5 && std::fabs(y - kept_y) < 0.5);
    return std::fabs(x - kept_x) < 0.75 && std::fabs(y - kept_y) < 0.75;
}

template <class Points>
std::vector<double> walk(const ProjectedPath& path, const Points& points, bool all_points, const View& view) {
    std::vector<double> out;
    std::size_t n = points.size();
    if (n == 0) return out;
    const double scale = view.scale(), left = view.left, top = view.top;
    const double sx = view.scale_x(), sy = view.scale_y();
    const double x0 = -view.margin - view.width / 2, y0 = -view.margin - view.height / 2;
    const double x1 = view.width + view.margin + view.width / 2, y1 = view.height + view.margin + view.height / 2;
    const double reach = all_points ? 0.5 : 0.75;  // how far a block may lie from the point kept and merge whole
    const std::vector<ProjectedPath::Bounds>& blocks = points.blocks();
    auto cx = [&](std::size_t i) { return (path.x(points.at(i)) * scale - left) * sx; };
    auto cy = [&](std::size_t i) { return (path.y(points.at(i)) * scale - top) * sy; };

    double kept_x = cx(0), kept_y = cy(0);
    double kept_px = std::floor(kept_x), kept_py = std::floor(kept_y);
    int run_sides = outside(kept_x, kept_y, x0, y0, x1, y1);  // sides shared since the last point kept
    std::size_t kept = 0, pending = 0;                         // pending: last point of a hidden stretch
    bool has_pending = false;
    out.push_back(kept_x);
    out.push_back(kept_y);
    auto keep = [&](std::size_t i, double x, double y) {
        out.push_back(x);
        out.push_back(y);
        kept = i;
        kept_x = x;
        kept_y = y;
        kept_px = std::floor(x);
        kept_py = std::floor(y);
        run_sides = outside(x, y, x0, y0, x1, y1);
        has_pending = false;
    };
    for (std::size_t i = 1; i < n; ++i) {
        if (i % kBlock == 0 && i / kBlock < blocks.size()) {
            // The canvas position only grows with the projected one, so a
            // block's bounds bound its points on the canvas too.
            const ProjectedPath::Bounds& block = blocks[i / kBlock];
            std::size_t last = i + kBlock - 1;
            double bx0 = (block.x0 * scale - left) * sx, bx1 = (block.x1 * scale - left) * sx;
            double by0 = (block.y0 * scale - top) * sy, by1 = (block.y1 * scale - top) * sy;
            if (run_sides == 0 && !has_pending && bx0 > kept_x - reach && bx1 < kept_x + reach &&
                by0 > kept_y - reach && by1 < kept_y + reach) {
                i = last;  // every point merged into the one kept
                continue;
            }
            int common = (bx1 < x0 ? 1 : 0) | (bx0 > x1 ? 2 : 0) | (by1 < y0 ? 4 : 0) | (by0 > y1 ? 8 : 0);
            if ((run_sides & common) != 0) {
                run_sides &= common;  // a hidden stretch goes on through the block
                pending = last;
                has_pending = true;
                i = last;
                continue;
            }
        }
        double x = cx(i), y = cy(i);
        int sides = outside(x, y, x0, y0, x1, y1);
        // A point that leaves the hidden stretch ends it: its last point is
        // kept, and the point may begin a hidden stretch of its own.
        if ((run_sides & sides) == 0 && has_pending) keep(pending, cx(pending), cy(pending));
        if ((run_sides & sides) != 0) {
            run_sides &= sides;
            pending = i;
            has_pending = true;
            continue;
        }
        if (merges(all_points, x, y, kept_x, kept_y, kept_px, kept_py)) continue;
        keep(i, x, y);
    }
    if (kept != n - 1) {
        out.push_back(cx(n - 1));
        out.push_back(cy(n - 1));
    }
    return out;
}

}  // namespace

std::vector<double> screen_points(const ProjectedPath& path, const View& view) {
    const ProjectedPath::Level* level = path.level_for(view.scale() * std::max(view.scale_x(), view.scale_y()));
    if (level != nullptr) return walk(path, LevelPoints{*level}, false, view);
    return walk(path, AllPoints{path}, true, view);
}

std::optional<Shift> line_shift(const View& built, const View& now) {
    if (built.zoom != now.zoom || built.scale_x() != now.scale_x() || built.scale_y() != now.scale_y() ||
        built.width != now.width || built.height != now.height)
        return std::nullopt;
    Shift shift{(built.left - now.left) * now.scale_x(), (built.top - now.top) * now.scale_y()};
    if (!(std::fabs(shift.x) <= now.width / 2) || !(std::fabs(shift.y) <= now.height / 2)) return std::nullopt;
    return shift;
}

}  // namespace track
