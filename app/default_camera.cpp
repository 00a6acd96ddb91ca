#include "default_camera.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <numbers>

#include "poly_mesh.h"
#include "vec3d.h"

namespace KvrnApp {

using KvrnLib::Point3;

namespace {

void ForEachFaceVertex(const std::vector<std::shared_ptr<KvrnLib::RenderObject>>& objects,
                       const auto& visit) {
    std::vector<uint8_t> used;
    for (const auto& object : objects) {
        if (!object || object->invalid) continue;
        used.assign(object->vertices.size(), 0);
        for (const KvrnLib::FaceRecord& face : object->faces)
            for (int k = 0; k < 3; ++k) {
                const int32_t v = face.Vertex(k);
                if (v >= 0 && size_t(v) < used.size()) used[v] = 1;
            }
        for (size_t v = 0; v < used.size(); ++v)
            if (used[v]) {
                const Point3 p = object->objToWorld.PointTransform(object->vertices[v]);
                visit(Vec3d{p.x, p.y, p.z});
            }
    }
}

void PrintPoint(std::ostream& out, Point3 p) {
    // Adding 0 turns -0 into 0.
    out << "(" << p.x + 0.0f << ", " << p.y + 0.0f << ", " << p.z + 0.0f << ")";
}

void PrintMatrix(std::ostream& out, const char* name, const KvrnLib::Matrix3& m) {
    out << "  " << name << ":\n";
    for (const Point3& row : m.row) {
        out << "    ";
        PrintPoint(out, row);
        out << "\n";
    }
}

}  // namespace

double FramedCamera::HorizontalFovDeg() const {
    return 2 * std::atan(0.5 * options.width / focalPixels) * 180 / std::numbers::pi;
}

double FramedCamera::VerticalFovDeg() const {
    return 2 * std::atan(0.5 * options.height / (focalPixels * options.pixelAspect)) * 180 /
           std::numbers::pi;
}

FramedCamera FrameObjects(const std::vector<std::shared_ptr<KvrnLib::RenderObject>>& objects,
                          const CameraOptions& options) {
    if (options.width <= 0 || options.height <= 0) {
        throw InputError("camera: image size must be positive, got " +
                         std::to_string(options.width) + " x " + std::to_string(options.height));
    }
    if (!(options.lensMm > 0) || !(options.filmMm > 0) || !(options.pixelAspect > 0) ||
        !(options.fillFraction > 0)) {
        throw InputError(
            "camera: lens, film width, pixel aspect and fill fraction must be positive");
    }
    const Vec3d from{options.viewFrom.x, options.viewFrom.y, options.viewFrom.z};
    if (DotD(from, from) == 0) throw InputError("camera: view direction must not be zero");

    FramedCamera framed;
    framed.options = options;
    const double fx = double(options.width) * options.lensMm / options.filmMm;
    const double fy = fx * options.pixelAspect;
    framed.focalPixels = float(fx);

    Vec3d lo{1e300, 1e300, 1e300}, hi{-1e300, -1e300, -1e300};
    bool any = false;
    ForEachFaceVertex(objects, [&](Vec3d p) {
        any = true;
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
    });
    const Vec3d target =
        any ? Vec3d{(lo.x + hi.x) / 2, (lo.y + hi.y) / 2, (lo.z + hi.z) / 2} : Vec3d{};

    // Camera axes: back = the view direction (camera space looks down -z), right and up from
    // world Z. A view straight down or up has no horizon, so world Y stands in for Z there.
    const Vec3d back = NormalizedD(from);
    Vec3d worldUp{0, 0, 1};
    if (std::fabs(back.z) > 0.999999) worldUp = {0, 1, 0};
    const Vec3d right = NormalizedD(CrossD(worldUp, back));
    const Vec3d up = CrossD(back, right);

    // Closed form of the fit: a vertex at offset (a, b, c) in the camera axes stays inside
    // fill * half-frame when D >= c + |a| fx / (fill W / 2), and likewise for b.
    const double kx = fx / (options.fillFraction * options.width / 2);
    const double ky = fy / (options.fillFraction * options.height / 2);
    double distance = -1e300, nearest = -1e300;
    ForEachFaceVertex(objects, [&](Vec3d p) {
        const Vec3d o{p.x - target.x, p.y - target.y, p.z - target.z};
        const double a = DotD(o, right), b = DotD(o, up), c = DotD(o, back);
        distance = std::max(distance, c + std::max(std::fabs(a) * kx, std::fabs(b) * ky));
        nearest = std::max(nearest, c);
    });
    if (!any) distance = nearest = 0;
    if (distance <= nearest) distance = nearest + 1;

    const Vec3d eye{target.x + back.x * distance, target.y + back.y * distance,
                    target.z + back.z * distance};
    KvrnLib::Camera& camera = framed.camera;
    camera.width = options.width;
    camera.height = options.height;
    camera.parallel = 0;
    camera.center = {options.width / 2.0f, options.height / 2.0f};
    camera.scale = {float(-fx), float(fy)};
    camera.SetViewAxes(ToF(eye), ToF(right), ToF(up), ToF(back));

    framed.eye = ToF(eye);
    framed.target = ToF(target);
    framed.up = ToF(up);
    framed.distance = float(distance);
    return framed;
}

void PrintCamera(std::ostream& out, const FramedCamera& framed) {
    const KvrnLib::Camera& c = framed.camera;
    const auto flags = out.flags();
    const auto precision = out.precision();
    out << std::defaultfloat << std::setprecision(6);
    out << "camera: perspective " << c.width << " x " << c.height << ", pixel aspect "
        << framed.options.pixelAspect << "\n";
    out << "  lens:     " << framed.options.lensMm << " mm on " << framed.options.filmMm
        << " mm film\n";
    out << std::fixed << std::setprecision(4);
    out << "  eye:      ";
    PrintPoint(out, framed.eye);
    out << "\n  target:   ";
    PrintPoint(out, framed.target);
    out << "\n  up:       ";
    PrintPoint(out, framed.up);
    out << "\n  focal:    " << framed.focalPixels << " px\n";
    out << std::setprecision(2) << "  fov:      " << framed.HorizontalFovDeg()
        << " deg horizontal, " << framed.VerticalFovDeg() << " deg vertical\n";
    out << std::setprecision(4) << "  distance: " << framed.distance << "\n";
    out << "  center:   (" << c.center.x << ", " << c.center.y << "), scale (" << c.scale.x << ", "
        << c.scale.y << ")\n";
    out << std::defaultfloat << "  near/far: " << c.nearZ << " / " << c.farZ << " (camera z)\n";
    out << std::fixed << std::setprecision(6);
    PrintMatrix(out, "worldToCam", c.worldToCam);
    PrintMatrix(out, "camToWorld", c.camToWorld);
    out.flags(flags);
    out.precision(precision);
}

}  // namespace KvrnApp
