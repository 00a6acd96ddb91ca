// The host's shading renderer: ray traces the frame's render instances on Embree, shades every
// sample with its material and the frame's lights, filters the samples into pixels over the
// background already in the frame, and fills the shading render elements. Tiles run on oneTBB
// worker threads; a pixel's value does not depend on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "render.h"

struct ShadeStats {
    double buildMs = 0.0;   // Embree scene, lights and material updates
    double renderMs = 0.0;  // tracing, shading and filtering
    int threads = 0;
    int64_t primaryRays = 0;
    int64_t shadowRays = 0;
    int64_t secondaryRays = 0;  // reflection, refraction and transparency rays
    int64_t shadedSamples = 0;
    int64_t refinedPixels = 0;  // pixels the adaptive pass sampled again
};

class ShadeRenderer {
  public:
    ShadeRenderer();
    ~ShadeRenderer();
    ShadeRenderer(const ShadeRenderer&) = delete;
    ShadeRenderer& operator=(const ShadeRenderer&) = delete;

    // Shades gc's frame (its time, camera, instances, lights, and the setup's shading settings
    // and environment) into frame, whose pixels hold the background. Returns false when cb
    // reported an abort (the frame is then partly shaded). Throws std::runtime_error naming
    // the material, map or value that cannot be rendered.
    bool Render(TimeValue t, Bitmap& frame, RenderGlobalContext& gc, CheckAbortCallback* cb);
    // Figures of the last Render.
    const ShadeStats& Stats() const;
    // Memory for camera samples: the frame is shaded in bands of rows whose samples fit in
    // about this many bytes (48 MB by default; at least one row). Pixels do not depend on it.
    void SetSampleMemory(size_t bytes);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Makes renderer the frame renderer's surface-shading step (the hook keeps it alive); frames
// are shaded only while the setup's shading is enabled.
void AttachShadeRenderer(FrameRenderer& frames, std::shared_ptr<ShadeRenderer> renderer);
