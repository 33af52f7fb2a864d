// A projected path as the canvas needs it at one view of the map: canvas
// coordinates of the points that change a pixel, stretches that cannot show
// shortened. The canvas positions are the widget's own
// ((tile - corner) * canvas size / view size in tiles).
#pragma once

#include "track/projection.hpp"

#include <optional>
#include <vector>

namespace track {

// The map's view, as the widget keeps it.
struct View {
    int zoom = 0;                      // round(widget.zoom): the zoom its tile positions are in
    double left = 0, top = 0;          // upper_left_tile_pos
    double right = 0, bottom = 0;      // lower_right_tile_pos
    double width = 0, height = 0;      // canvas size in pixels
    double margin = 0;                 // how far beyond the canvas a line still shows (its width + 2)

    double scale() const;              // 2**zoom: world units to tiles
    double scale_x() const { return width / (right - left); }   // tiles to pixels
    double scale_y() const { return height / (bottom - top); }
    // A view with an extent in tiles and on the canvas, that a line can be
    // drawn into.
    bool drawable() const;
};

// Canvas coordinates of the points the screen needs, flat (x, y, x, y...),
// for the view and half the canvas more on each side that a drag may bring
// in. A point on the pixel of the last point kept, or less than half a pixel
// from it, is merged into it: a track that jitters across a pixel border
// does not keep every crossing. A stretch of points that all lie beyond one
// side of that window (plus the margin) cannot show: only its first and last
// point are kept, and the straight line between them lies beyond that side
// too. The first and the last point are always kept. A path with levels of
// detail is walked through the level for the view's scale, and a point of
// it merges into the point kept before when less than three quarters of a
// pixel from it: every point left out still lies within a pixel of that
// one, and the view's work grows with what it shows, not with the path.
std::vector<double> screen_points(const ProjectedPath& path, const View& view);

// How far a line built for `built` moves on the canvas to serve `now`.
struct Shift {
    double x, y;
};

// The shift when `now` differs from `built` only by a move that stays within
// the extra half canvas the line was built with; none when the line has to
// be built again.
std::optional<Shift> line_shift(const View& built, const View& now);

}  // namespace track
