#include "object_copies.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <tuple>
#include <utility>

#include "render_object_info.h"
#include "stage_runner.h"

namespace KvrnLib {

namespace {

uint32_t Bits(float v) { return std::bit_cast<uint32_t>(v); }

bool SameBits(const std::vector<Point3>& a, const std::vector<Point3>& b) {
    static_assert(sizeof(Point3) == 3 * sizeof(float));
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Point3)) == 0);
}

bool SameFaces(const std::vector<FaceRecord>& a, const std::vector<FaceRecord>& b) {
    return std::equal(
        a.begin(), a.end(), b.begin(), b.end(), [](const FaceRecord& x, const FaceRecord& y) {
            return x.vertexA == y.vertexA && x.vertexB == y.vertexB && x.vertexC == y.vertexC &&
                   x.flags == y.flags && x.materialID == y.materialID &&
                   x.smoothingGroup == y.smoothingGroup;
        });
}

// The selection holds the same faces of objects a and b (a missing entry or word holds none).
bool SelectsAlike(const FaceSelection& selection, int a, int b) {
    static const FaceSelection::ObjectFaces kNone;
    const auto entry = [&](int o) -> const FaceSelection::ObjectFaces& {
        return size_t(o) < selection.objects.size() ? selection.objects[size_t(o)] : kNone;
    };
    const FaceSelection::ObjectFaces &ea = entry(a), &eb = entry(b);
    if (ea.wholeObject != eb.wholeObject) return false;
    const size_t words = std::max(ea.faceBits.size(), eb.faceBits.size());
    for (size_t w = 0; w < words; ++w) {
        const uint64_t wa = w < ea.faceBits.size() ? ea.faceBits[w] : 0;
        const uint64_t wb = w < eb.faceBits.size() ? eb.faceBits[w] : 0;
        if (wa != wb) return false;
    }
    return true;
}

bool IsCopy(const Scene& scene, const LineDetectionSettings& settings, int original, int copy) {
    const RenderObject& a = scene.Object(original);
    const RenderObject& b = scene.Object(copy);
    if (!(settings.objects[size_t(original)] == settings.objects[size_t(copy)])) return false;
    for (const MaterialLineFunctions& f : settings.materialFunctions)
        if (!SelectsAlike(f.maskingOff, original, copy) ||
            !SelectsAlike(f.maskHiddenLines, original, copy))
            return false;
    return a.explicitNormals == b.explicitNormals &&
           scene.Info(original).IsMirrored() == scene.Info(copy).IsMirrored() &&
           SameFaces(a.faces, b.faces) && SameBits(a.cornerNormals, b.cornerNormals) &&
           SameBits(scene.Info(original).CameraVertices(), scene.Info(copy).CameraVertices());
}

uint64_t Mix(uint64_t x) {  // splitmix64's finaliser
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t GeometryHash(const Scene& scene, int o) {
    uint64_t h = 0;
    for (const Point3& p : scene.Info(o).CameraVertices())
        h = Mix(h ^ ((uint64_t(Bits(p.x)) << 32) | Bits(p.y))) ^ Bits(p.z);
    for (const FaceRecord& f : scene.Object(o).faces)
        h = Mix(h ^ ((uint64_t(uint32_t(f.vertexA)) << 32) | uint32_t(f.vertexB))) ^
            uint32_t(f.vertexC);
    return h;
}

}  // namespace

std::vector<int32_t> FindObjectCopies(const Scene& scene, const LineDetectionSettings& settings) {
    const int n = scene.ObjectCount();
    if (int(settings.objects.size()) != n)
        throw LineEffectException("invalid LineDetectionSettings.");
    std::vector<int32_t> copyOf(static_cast<size_t>(n), -1);

    // Cheap look-alike key first: counts, screen bounds and mirroring.
    using LookKey = std::tuple<size_t, size_t, std::array<uint32_t, 4>, bool, int>;
    std::vector<LookKey> keys;
    for (int o = 0; o < n; ++o) {
        const RenderObject& object = scene.Object(o);
        const RenderObjectInfoEx& info = scene.Info(o);
        const Box2& s = info.ScreenBounds();
        if (object.invalid || object.faces.empty() || s.IsEmpty()) continue;
        keys.emplace_back(
            object.vertices.size(), object.faces.size(),
            std::array<uint32_t, 4>{Bits(s.minX), Bits(s.minY), Bits(s.maxX), Bits(s.maxY)},
            info.IsMirrored(), o);
    }
    std::sort(keys.begin(), keys.end());
    const auto sameLook = [](const LookKey& x, const LookKey& y) {
        return std::get<0>(x) == std::get<0>(y) && std::get<1>(x) == std::get<1>(y) &&
               std::get<2>(x) == std::get<2>(y) && std::get<3>(x) == std::get<3>(y);
    };

    std::vector<std::pair<uint64_t, int>> hashed;
    std::vector<int> originals;
    for (size_t begin = 0; begin < keys.size();) {
        size_t end = begin + 1;
        while (end < keys.size() && sameLook(keys[begin], keys[end])) ++end;
        if (end - begin > 1) {
            // Within a look-alike group, by geometry hash and then index, so that the first of
            // each run of equal hashes is an original and the rest are compared with those.
            hashed.clear();
            for (size_t k = begin; k < end; ++k) {
                const int o = std::get<4>(keys[k]);
                hashed.push_back({GeometryHash(scene, o), o});
            }
            std::sort(hashed.begin(), hashed.end());
            for (size_t r = 0; r < hashed.size();) {
                size_t runEnd = r + 1;
                while (runEnd < hashed.size() && hashed[runEnd].first == hashed[r].first) ++runEnd;
                originals.clear();
                for (size_t k = r; k < runEnd; ++k) {
                    const int o = hashed[k].second;
                    const auto it = std::find_if(originals.begin(), originals.end(), [&](int a) {
                        return IsCopy(scene, settings, a, o);
                    });
                    if (it != originals.end())
                        copyOf[size_t(o)] = *it;
                    else
                        originals.push_back(o);
                }
                r = runEnd;
            }
        }
        begin = end;
    }
    return copyOf;
}

}  // namespace KvrnLib
