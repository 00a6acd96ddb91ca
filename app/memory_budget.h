// How much memory a render will need, estimated before the work starts, and the memory this
// process may take. The estimate follows the few things that drive the peak: triangles, the frame
// and its sub-pixels, and brush copies; what depends on the lines found (intersection lines of a
// mesh crossing itself many times) is caught by the address-space limit instead.
#pragma once

#include <cstdint>
#include <string>

#include "scene_description.h"

namespace KvrnApp {

// Memory this process may still take: the smaller of the system's available memory and what its
// cgroup's limit leaves, in bytes (0 when unknown).
int64_t AvailableMemoryBytes();

// Address space this process holds now (VmSize), in bytes.
int64_t AddressSpaceBytes();

// "16G", "512M", "1.5g", "800k" or plain bytes (binary units). Throws InputError naming
// `option` for anything else, zero or a negative value.
int64_t ParseMemorySize(const std::string& option, const std::string& text);

// "1.5 GB", "820 MB", "12 KB" (binary units).
std::string FormatBytes(int64_t bytes);

struct FrameShape {
    int64_t width = 0, height = 0;  // output pixels
    int32_t oversampling = 1;       // sub-pixels per pixel side
    int32_t brushCopies = 1;        // the most copies any brush draws of a stroke
    bool raster = true;             // a PNG or EXR is written (vector files alone draw no frame)
    bool exr = false;
    bool shaded = false;  // surfaces are shaded (the ray tracer and its sample bands)
};

// Peak bytes by part; Total() is what the run is expected to hold at its peak.
struct MemoryEstimate {
    int64_t base = 0;       // the program, its libraries and threads
    int64_t geometry = 0;   // meshes, occlusion tree and lines: per triangle
    int64_t frame = 0;      // output raster, pass colours and the image encoders: per pixel
    int64_t subPixels = 0;  // drawing's sub-pixel index and fragments
    int64_t shading = 0;    // the ray tracer, its sample bands and the frame's shaded pixels
    // Address space reserved in full but paged in only where strokes are (not in Total()).
    int64_t reserved = 0;
    int64_t Total() const { return base + geometry + frame + subPixels + shading; }
};

MemoryEstimate EstimateRenderMemory(int64_t triangles, const FrameShape& frame);

// Triangles a primitive object will have (its polygons triangulated); 0 for model files and
// built-in scenes, whose size is known only once read.
int64_t PrimitiveTriangles(const ObjectDesc& object);

// The most copies of a stroke any brush of the job draws (strokeCopy + strokeCopyRnd).
int32_t MostBrushCopies(const SceneDescription& description);

// Empty when `estimate` fits in `limitBytes`; else the message: the estimate by part, the limit
// and what to lower. `triangles` is the count the estimate was made for.
std::string CheckMemoryFits(const MemoryEstimate& estimate, int64_t triangles,
                            const FrameShape& frame, int64_t limitBytes);

// Caps this process's address space at what it holds now plus `bytes` (give the limit plus the
// estimate's `reserved`) and a margin for thread stacks and allocator arenas, so that running out
// of memory is an allocation failure with a message rather than the kernel ending the process. Does
// nothing in sanitizer builds, whose shadow memory needs far more address space than they use.
void LimitAddressSpace(int64_t bytes);

}  // namespace KvrnApp
