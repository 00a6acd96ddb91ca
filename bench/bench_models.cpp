#include "bench_models.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

namespace KvrnBench {

using KvrnLib::Point3;

namespace {

[[noreturn]] void Fail(const std::string& path, int line, const std::string& what) {
    throw std::runtime_error(path + ":" + std::to_string(line) + ": " + what);
}

Point3 Normalized(Point3 v) {
    const float length = std::sqrt(KvrnLib::Dot(v, v));
    return length > 0.0f ? v * (1.0f / length) : v;
}

}  // namespace

TriangleMesh LoadObj(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(path + ": cannot open the OBJ file");
    TriangleMesh mesh;
    std::string line;
    std::vector<int32_t> polygon;
    for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
        const char* p = line.c_str();
        while (*p == ' ' || *p == '\t') ++p;
        if (p[0] == 'v' && (p[1] == ' ' || p[1] == '\t')) {
            float xyz[3];
            const char* s = p + 1;
            for (float& value : xyz) {
                char* end = nullptr;
                errno = 0;
                value = std::strtof(s, &end);
                if (end == s || errno == ERANGE) Fail(path, lineNumber, "expected three numbers");
                s = end;
            }
            mesh.vertices.push_back({xyz[0], xyz[1], xyz[2]});
        } else if (p[0] == 'f' && (p[1] == ' ' || p[1] == '\t')) {
            polygon.clear();
            const char* s = p + 1;
            for (;;) {
                while (*s == ' ' || *s == '\t' || *s == '\r') ++s;
                if (*s == '\0') break;
                char* end = nullptr;
                const long index = std::strtol(s, &end, 10);
                if (end == s) Fail(path, lineNumber, "expected a vertex index");
                const long count = long(mesh.vertices.size());
                const long resolved = index < 0 ? count + index : index - 1;
                if (index == 0 || resolved < 0 || resolved >= count)
                    Fail(path, lineNumber,
                         "vertex index " + std::to_string(index) + " outside 1.." +
                             std::to_string(count));
                polygon.push_back(int32_t(resolved));
                s = end;
                while (*s != '\0' && *s != ' ' && *s != '\t' && *s != '\r') ++s;  // /vt/vn
            }
            if (polygon.size() < 3) Fail(path, lineNumber, "a face needs at least 3 vertices");
            for (size_t k = 1; k + 1 < polygon.size(); ++k)
                mesh.faces.push_back({polygon[0], polygon[k], polygon[k + 1]});
        }
    }
    if (mesh.faces.empty()) throw std::runtime_error(path + ": no faces");
    return mesh;
}

TriangleMesh SubdivideMidpoint(const TriangleMesh& mesh) {
    TriangleMesh out;
    out.vertices = mesh.vertices;
    out.vertices.reserve(mesh.vertices.size() + mesh.faces.size() * 3 / 2 + 16);
    out.faces.reserve(mesh.faces.size() * 4);
    std::unordered_map<uint64_t, int32_t> midpoints;
    midpoints.reserve(mesh.faces.size() * 2);
    const auto midpoint = [&](int32_t a, int32_t b) {
        const uint64_t key = (uint64_t(uint32_t(std::min(a, b))) << 32) | uint32_t(std::max(a, b));
        const auto [it, added] = midpoints.try_emplace(key, int32_t(out.vertices.size()));
        if (added)
            out.vertices.push_back((out.vertices[size_t(a)] + out.vertices[size_t(b)]) * 0.5f);
        return it->second;
    };
    for (const auto& f : mesh.faces) {
        const int32_t ab = midpoint(f[0], f[1]);
        const int32_t bc = midpoint(f[1], f[2]);
        const int32_t ca = midpoint(f[2], f[0]);
        out.faces.push_back({f[0], ab, ca});
        out.faces.push_back({ab, f[1], bc});
        out.faces.push_back({ca, bc, f[2]});
        out.faces.push_back({ab, bc, ca});
    }
    return out;
}

std::string ModelPath(const std::string& name) { return std::string(KVRN_MODELS_DIR) + "/" + name; }

const TriangleMesh& ModelMesh(const std::string& name, int subdivisions) {
    // Recursive: a subdivided mesh is made from the cached mesh one level down.
    static std::recursive_mutex mutex;
    static std::map<std::pair<std::string, int>, std::unique_ptr<TriangleMesh>> cache;
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    std::unique_ptr<TriangleMesh>& slot = cache[{name, subdivisions}];
    if (slot) return *slot;
    TriangleMesh mesh;
    if (subdivisions <= 0) {
        mesh = LoadObj(ModelPath(name));
        KvrnLib::Box3 box;
        for (const Point3& v : mesh.vertices) box.Add(v);
        const Point3 centre = (box.min + box.max) * 0.5f;
        for (Point3& v : mesh.vertices) {
            const Point3 p = v - centre;
            v = {p.x, -p.z, p.y};  // Y-up model to the engine's Z-up world
        }
    } else {
        mesh = SubdivideMidpoint(ModelMesh(name, subdivisions - 1));
    }
    slot = std::make_unique<TriangleMesh>(std::move(mesh));
    return *slot;
}

KvrnLib::Camera FramingCamera(const TriangleMesh& mesh) {
    float radius = 0.0f;
    for (const Point3& v : mesh.vertices) radius = std::max(radius, std::sqrt(Dot(v, v)));
    KvrnLib::Camera camera;
    camera.width = 1920;
    camera.height = 1080;
    const float focal = 1920.0f * 50.0f / 36.0f;
    camera.center = {960.0f, 540.0f};
    camera.scale = {-focal, focal};
    const float halfHeightAngle = std::atan(540.0f / focal);
    const float distance = radius / std::sin(halfHeightAngle);
    const Point3 back = Normalized({1.0f, -1.0f, 0.6f});  // from the target towards the eye
    const Point3 eye = back * distance;
    const Point3 right = Normalized(KvrnLib::Cross({-back.x, -back.y, -back.z}, {0, 0, 1}));
    const Point3 up = KvrnLib::Cross(back, right);
    camera.SetViewAxes(eye, right, up, back);
    return camera;
}

std::shared_ptr<KvrnLib::RenderObject> MakeRenderObject(const TriangleMesh& mesh,
                                                        const KvrnLib::Camera& camera) {
    auto object = std::make_shared<KvrnLib::RenderObject>();
    object->name = "bench mesh";
    object->vertices = mesh.vertices;
    object->faces.reserve(mesh.faces.size());
    object->cornerNormals.reserve(mesh.faces.size() * 3);
    for (const auto& f : mesh.faces) {
        object->faces.push_back({f[0], f[1], f[2], KvrnLib::kFaceAllEdgesVisible, 0, 1});
        const Point3 a = mesh.vertices[size_t(f[0])];
        const Point3 n = Normalized(
            KvrnLib::Cross(mesh.vertices[size_t(f[1])] - a, mesh.vertices[size_t(f[2])] - a));
        for (int k = 0; k < 3; ++k) object->cornerNormals.push_back(n);
    }
    object->SetTransforms(KvrnLib::Matrix3::Identity(), camera.worldToCam);
    return object;
}

}  // namespace KvrnBench
