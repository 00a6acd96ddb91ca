// Triangulation of simple polygons in the plane by ear clipping (Meisters' two-ears theorem).
#pragma once

#include <array>
#include <csignal>
#include <memory>
#include <vector>

namespace KvrnApp {

struct Point2d {
    double x = 0, y = 0;
};

struct ClipScratch;

// One clipper serves many polygons: its working arrays are kept between them, so that a mesh of
// quads allocates once. Not thread-safe; one per thread.
class EarClip {
  public:
    EarClip();
    ~EarClip();
    EarClip(const EarClip&) = delete;
    EarClip& operator=(const EarClip&) = delete;

    // The polygon to clip, counter-clockwise, at least 3 corners; Run consumes it.
    std::vector<Point2d>& Points();

    // Appends the polygon's n - 2 triangles as local corner triples in polygon order (a convex
    // polygon comes out as the fan around corner 0). Self-intersecting or degenerate input still
    // terminates: when no ear exists the most convex corner is clipped. Near-linear in the corner
    // count for large polygons. Throws ImportInterrupted when `interrupt` is set.
    void Run(const volatile std::sig_atomic_t* interrupt, std::vector<std::array<int, 3>>* out);

  private:
    std::unique_ptr<ClipScratch> scratch_;
};

}  // namespace KvrnApp
