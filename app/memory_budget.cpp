#include "memory_budget.h"

#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "poly_mesh.h"

namespace KvrnApp {

namespace {

// Measured on this program (resident peaks of `kovrin render`, 1 and 2 threads, 1920 x 1080 to
// 16384 x 16384, over-sampling 1 to 4, up to 5 stroke copies, 1 to 2.4 million triangles); the fit
// is within 35 % of every run it was made from. Drawing touches memory only where there is ink,
// so the frame terms stand for the ink of a typical line drawing, which grows with the frame.
constexpr int64_t kBaseBytes = 24 << 20;
// Shading: Embree and oneTBB with the renderer's sample bands (a fixed budget), every pixel of
// the frame written (the line raster pages only under ink), and the ray tracer's trees.
constexpr int64_t kShadingBaseBytes = 40 << 20;
constexpr double kShadingBytesPerPixel = 19.0;
constexpr double kShadingBytesPerTriangle = 16.0;
// Meshes, occlusion tree, edges and visibility (240), and the host scene's own copy of each mesh
// with its corner normals, which the frame's engine scene is converted from (96).
constexpr int64_t kBytesPerTriangle = 336;
constexpr double kBytesPerPixel = 2.5;     // output raster pages and tiles under the ink
constexpr double kExrBytesPerPixel = 16;   // the whole frame in half floats, and the encoder
constexpr double kBytesPerSubPixel = 0.3;  // fragment tiles, per stroke copy and one more
// The output raster is zero-filled on demand: reserved whole, paged in under the ink.
constexpr double kReservedBytesPerPixel = 16;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif
#else
constexpr bool kUnderSanitizer = false;
#endif
// Thread stacks and malloc's per-thread arenas take address space well beyond what they touch.
constexpr int64_t kAddressSpaceMargin = int64_t{512} << 20;

int64_t ProcStatusKb(const char* file, const char* key) {
    std::ifstream in(file);
    std::string line;
    const size_t keyLength = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, keyLength, key) == 0) return std::atoll(line.c_str() + keyLength);
    }
    return -1;
}

int64_t ReadNumberFile(const char* path) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text) || text == "max") return -1;
    return std::atoll(text.c_str());
}

// Estimates are worked in doubles; frames of absurd sizes saturate rather than overflow.
int64_t Bytes(double value) { return int64_t(std::min(value, 9.0e18)); }

}  // namespace

int64_t AvailableMemoryBytes() {
    int64_t available = ProcStatusKb("/proc/meminfo", "MemAvailable:");
    available = available < 0 ? 0 : available * 1024;
    const int64_t max = ReadNumberFile("/sys/fs/cgroup/memory.max");
    if (max > 0) {
        const int64_t left = std::max<int64_t>(
            0, max - std::max<int64_t>(0, ReadNumberFile("/sys/fs/cgroup/memory.current")));
        available = available > 0 ? std::min(available, left) : left;
    }
    return available;
}

int64_t AddressSpaceBytes() {
    return std::max<int64_t>(0, ProcStatusKb("/proc/self/status", "VmSize:") * 1024);
}

int64_t ParseMemorySize(const std::string& option, const std::string& text) {
    const auto fail = [&] {
        return InputError(option + " '" + text +
                          "': expected a size such as 16G, 512M or a number of bytes");
    };
    const char* begin = text.c_str();
    char* end = nullptr;
    const double number = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(number) || number <= 0) throw fail();
    std::string unit(end);
    for (char& c : unit) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (!unit.empty() && unit.back() == 'b') unit.pop_back();
    double scale = 1;
    if (unit == "k") {
        scale = 1024.0;
    } else if (unit == "m") {
        scale = 1024.0 * 1024.0;
    } else if (unit == "g") {
        scale = 1024.0 * 1024.0 * 1024.0;
    } else if (unit == "t") {
        scale = 1024.0 * 1024.0 * 1024.0 * 1024.0;
    } else if (!unit.empty()) {
        throw fail();
    }
    const double bytes = number * scale;
    if (bytes < 1 || bytes > 9.0e18) throw fail();
    return int64_t(bytes);
}

std::string FormatBytes(int64_t bytes) {
    const double value = double(bytes);
    char text[32];
    if (value >= 1024.0 * 1024.0 * 1024.0) {
        std::snprintf(text, sizeof text, "%.1f GB", value / (1024.0 * 1024.0 * 1024.0));
    } else if (value >= 1024.0 * 1024.0) {
        std::snprintf(text, sizeof text, "%.0f MB", value / (1024.0 * 1024.0));
    } else {
        std::snprintf(text, sizeof text, "%.0f KB", std::ceil(value / 1024.0));
    }
    return text;
}

MemoryEstimate EstimateRenderMemory(int64_t triangles, const FrameShape& frame) {
    MemoryEstimate estimate;
    estimate.base = kBaseBytes;
    estimate.geometry = Bytes(double(std::max<int64_t>(triangles, 0)) * kBytesPerTriangle);
    if (frame.raster) {
        const double pixels = double(frame.width) * double(frame.height);
        const double subPixels = pixels * double(frame.oversampling) * double(frame.oversampling);
        const double copies = std::max(1, frame.brushCopies);
        estimate.frame = Bytes(pixels * (kBytesPerPixel + (frame.exr ? kExrBytesPerPixel : 0.0)));
        estimate.subPixels = Bytes(subPixels * kBytesPerSubPixel * (1.0 + copies));
        estimate.reserved = Bytes(pixels * kReservedBytesPerPixel);
        if (frame.shaded) {
            estimate.shading = kShadingBaseBytes + Bytes(pixels * kShadingBytesPerPixel +
                                                         double(std::max<int64_t>(triangles, 0)) *
                                                             kShadingBytesPerTriangle);
        }
    }
    return estimate;
}

int64_t PrimitiveTriangles(const ObjectDesc& object) {
    const auto quads = [](int64_t a, int64_t b) { return 2 * a * b; };
    switch (object.source) {
        case ObjectSource::kBox: {
            const BoxParams& b = object.box;
            return 2 * (quads(b.lengthSegments, b.widthSegments) +
                        quads(b.lengthSegments, b.heightSegments) +
                        quads(b.widthSegments, b.heightSegments));
        }
        case ObjectSource::kSphere:
            return quads(object.sphere.segments, object.sphere.rings - 1);
        case ObjectSource::kCylinder: {
            const CylinderParams& c = object.cylinder;
            return quads(c.sides, c.heightSegments) + (c.caps ? 2 * (c.sides - 2) : 0);
        }
        case ObjectSource::kTorus:
            return quads(object.torus.segments, object.torus.sides);
        case ObjectSource::kTorusKnot:
            return quads(object.torusKnot.segments, object.torusKnot.sides);
        case ObjectSource::kPlane:
            return quads(object.plane.lengthSegments, object.plane.widthSegments);
        case ObjectSource::kFile:
        case ObjectSource::kBuiltin:
            break;
    }
    return 0;
}

int32_t MostBrushCopies(const SceneDescription& description) {
    int32_t most = 1;
    for (const BrushDesc& brush : description.brushes) {
        most = std::max(most, brush.detail.strokeCopy + brush.detail.strokeCopyRnd);
    }
    return most;
}

std::string CheckMemoryFits(const MemoryEstimate& estimate, int64_t triangles,
                            const FrameShape& frame, int64_t limitBytes) {
    if (estimate.Total() <= limitBytes) return {};
    std::ostringstream message;
    message << "this render needs about " << FormatBytes(estimate.Total()) << ", more than the "
            << FormatBytes(limitBytes) << " it may use (--max-memory):";
    const char* separator = " ";
    if (frame.raster) {
        message << " the " << frame.width << " x " << frame.height << " frame at over-sampling "
                << frame.oversampling;
        if (frame.brushCopies > 1) message << " with " << frame.brushCopies << " stroke copies";
        message << " takes " << FormatBytes(estimate.frame + estimate.subPixels);
        if (frame.shaded) message << ", its shading " << FormatBytes(estimate.shading);
        separator = ", ";
    }
    if (triangles > 0) {
        message << separator << triangles << " triangles " << FormatBytes(estimate.geometry);
    }
    if (frame.raster &&
        estimate.frame + estimate.subPixels + estimate.shading >= estimate.geometry) {
        message << "; lower the image size or overSampling"
                << (frame.brushCopies > 1 ? " or strokeCopy" : "");
    } else {
        message << "; use fewer triangles (segments, sides or a lighter model)";
    }
    message << ", or allow more with --max-memory";
    return message.str();
}

void LimitAddressSpace(int64_t bytes) {
    if (kUnderSanitizer) return;
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0) return;
    const int64_t wanted = AddressSpaceBytes() + bytes + kAddressSpaceMargin;
    if (limit.rlim_max != RLIM_INFINITY && rlim_t(wanted) > limit.rlim_max) return;
    limit.rlim_cur = rlim_t(wanted);
    ::setrlimit(RLIMIT_AS, &limit);
}

}  // namespace KvrnApp
