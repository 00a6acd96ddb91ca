#include "render.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

#include "camera.h"
#include "image_library.h"
#include "light.h"
#include "mtl.h"
#include "node.h"

// ---- Notifications

namespace {

struct Registration {
    NOTIFYPROC proc;
    void* param;
    int code;
    bool operator==(const Registration&) const = default;
};

std::vector<Registration>& Registry() {
    static std::vector<Registration> registry;
    return registry;
}

ProgressWindowFactory& Factory() {
    static ProgressWindowFactory factory;
    return factory;
}

}  // namespace

int RegisterNotification(NOTIFYPROC proc, void* param, int code) {
    if (!proc) return 0;
    auto& registry = Registry();
    const Registration entry{proc, param, code};
    if (std::find(registry.begin(), registry.end(), entry) != registry.end()) return 0;
    registry.push_back(entry);
    return 1;
}

int UnRegisterNotification(NOTIFYPROC proc, void* param, int code) {
    auto& registry = Registry();
    auto it = std::find(registry.begin(), registry.end(), Registration{proc, param, code});
    if (it == registry.end()) return 0;
    registry.erase(it);
    return 1;
}

void BroadcastNotification(int code, void* callParam) {
    // Callbacks may register or unregister while we walk: walk a copy, and skip entries
    // removed since it was taken.
    const std::vector<Registration> snapshot = Registry();
    for (const Registration& entry : snapshot) {
        if (entry.code != code) continue;
        const auto& live = Registry();
        if (std::find(live.begin(), live.end(), entry) == live.end()) continue;
        NotifyInfo info{code, callParam};
        entry.proc(entry.param, &info);
    }
}

void SetProgressWindowFactory(ProgressWindowFactory factory) { Factory() = std::move(factory); }

std::unique_ptr<ProgressWindow> CreateProgressWindow() { return Factory() ? Factory()() : nullptr; }

// ---- Effects, instances and the context

bool Effect::GetActive(TimeValue t) const { return on_ && t >= activeStart_ && t <= activeEnd_; }

void Effect::SetActiveRange(TimeValue start, TimeValue end) {
    activeStart_ = start;
    activeEnd_ = end;
}

Point3 RenderInstance::GetFaceVertNormal(int face, int corner) const {
    if (!cornerNormals || face < 0 || corner < 0 || corner > 2) return Point3();
    const size_t i = size_t(face) * 3 + size_t(corner);
    return i < cornerNormals->size() ? (*cornerNormals)[i] : Point3();
}

const RenderInstance* RenderGlobalContext::GetRenderInstance(int i) const {
    return i >= 0 && i < NumRenderInstances() ? &instances[size_t(i)] : nullptr;
}

int RenderGlobalContext::NumRenderElements() const {
    return setup ? int(setup->elements.size()) : 0;
}

IRenderElement* RenderGlobalContext::GetRenderElement(int i) const {
    if (i < 0 || i >= NumRenderElements()) return nullptr;
    return setup->elements[size_t(i)].get();
}

// ---- Frame renderer

namespace {

// 45 degrees across the width, the camera of a render without a camera node.
constexpr double kDefaultFovRadians = std::numbers::pi / 4;

bool IsRigid(const Matrix3& m) {
    constexpr float kTolerance = 1e-5f;
    for (int i = 0; i < 3; ++i) {
        const Point3& a = m.GetRow(i);
        if (std::fabs(a.Length() - 1.0f) > kTolerance) return false;
        const Point3& b = m.GetRow((i + 1) % 3);
        if (std::fabs(a.x * b.x + a.y * b.y + a.z * b.z) > kTolerance) return false;
    }
    return true;
}

// Inverse of a rigid transform: the rotation transposed, the translation dotted with the axes
// in double, as the engine's camera does, so both give the same bits.
Matrix3 RigidInverse(const Matrix3& m) {
    const Point3 right = m.GetRow(0), up = m.GetRow(1), back = m.GetRow(2), eye = m.GetRow(3);
    Matrix3 inv;
    inv.SetRow(0, {right.x, up.x, back.x});
    inv.SetRow(1, {right.y, up.y, back.y});
    inv.SetRow(2, {right.z, up.z, back.z});
    const auto dot = [&](Point3 axis) {
        return float(-(double(eye.x) * axis.x + double(eye.y) * axis.y + double(eye.z) * axis.z));
    };
    inv.SetRow(3, {dot(right), dot(up), dot(back)});
    return inv;
}

}  // namespace

struct FrameRenderer::BackgroundImage {
    std::string file;
    int width = 0;
    int height = 0;
    std::vector<BMM_Color_fl> pixels;  // width * height, already stretched
};

namespace {

std::vector<BMM_Color_fl> ReadImage(const std::string& file, int& width, int& height) {
    ImageData image;
    std::string reason;
    if (!GetImageLibrary().ReadImage(file, image, reason))
        throw std::runtime_error("background image \"" + file + "\" cannot be read: " + reason);
    width = image.width;
    height = image.height;
    const int channels = image.channels;
    std::vector<BMM_Color_fl> pixels(size_t(width) * size_t(height));
    for (size_t i = 0; i < pixels.size(); ++i) {
        const float* p = image.pixels.data() + i * size_t(channels);
        if (channels < 3) {
            pixels[i] = {p[0], p[0], p[0], channels == 2 ? p[1] : 1.0f};
        } else {
            pixels[i] = {p[0], p[1], p[2], channels >= 4 ? p[3] : 1.0f};
        }
    }
    return pixels;
}

BMM_Color_fl Lerp(const BMM_Color_fl& a, const BMM_Color_fl& b, float u) {
    return {a.r + (b.r - a.r) * u, a.g + (b.g - a.g) * u, a.b + (b.b - a.b) * u,
            a.a + (b.a - a.a) * u};
}

// Bilinear resampling with pixel centres mapped onto pixel centres and edges clamped.
std::vector<BMM_Color_fl> Stretch(const std::vector<BMM_Color_fl>& src, int sw, int sh, int dw,
                                  int dh) {
    std::vector<BMM_Color_fl> out(size_t(dw) * size_t(dh));
    const auto source = [&](double pos, int size, int& i0, int& i1, float& u) {
        const double s = std::clamp(pos, 0.0, double(size - 1));
        i0 = int(s);
        i1 = std::min(i0 + 1, size - 1);
        u = float(s - i0);
    };
    for (int y = 0; y < dh; ++y) {
        int y0, y1;
        float v;
        source((y + 0.5) * sh / dh - 0.5, sh, y0, y1, v);
        for (int x = 0; x < dw; ++x) {
            int x0, x1;
            float u;
            source((x + 0.5) * sw / dw - 0.5, sw, x0, x1, u);
            const auto at = [&](int px, int py) { return src[size_t(py) * size_t(sw) + px]; };
            out[size_t(y) * size_t(dw) + x] =
                Lerp(Lerp(at(x0, y0), at(x1, y0), u), Lerp(at(x0, y1), at(x1, y1), u), v);
        }
    }
    return out;
}

}  // namespace

FrameRenderer::FrameRenderer(Scene& scene, const RenderSetup& setup)
    : scene_(scene), setup_(setup) {
    const RenderSettings& s = setup.settings;
    if (s.width < 1 || s.height < 1) {
        throw std::invalid_argument("render settings: image size must be positive, got " +
                                    std::to_string(s.width) + " x " + std::to_string(s.height));
    }
    gc_.devWidth = s.width;
    gc_.devHeight = s.height;
    gc_.setup = &setup_;
}

FrameRenderer::~FrameRenderer() {
    try {
        Close();
    } catch (...) {
        // A destructor cannot report; Close called directly does.
    }
}

void FrameRenderer::Open() {
    if (open_) return;
    open_ = true;
    BroadcastNotification(NOTIFY_PRE_RENDER, &gc_);
}

void FrameRenderer::Close() {
    if (!open_) return;
    open_ = false;
    BroadcastNotification(NOTIFY_POST_RENDER, nullptr);
}

bool FrameRenderer::RenderFrame(TimeValue t, Bitmap& frame, CheckAbortCallback* cb) {
    const RenderSettings& s = setup_.settings;
    if (frame.Width() != s.width || frame.Height() != s.height) {
        throw std::invalid_argument("frame bitmap is " + std::to_string(frame.Width()) + " x " +
                                    std::to_string(frame.Height()) + ", the render settings ask " +
                                    std::to_string(s.width) + " x " + std::to_string(s.height));
    }
    Open();
    BuildContext(t);
    for (const RefPtr<IRenderElement>& element : setup_.elements) {
        // A new bitmap each frame: whoever kept the last one (a writer) keeps its pixels.
        if (element && element->IsEnabled())
            element->SetPBitmap(std::make_shared<Bitmap>(s.width, s.height));
    }
    BroadcastNotification(NOTIFY_PRE_RENDERFRAME, &gc_);
    DrawBackground(frame);
    bool completed = !shadeSurfaces_ || shadeSurfaces_(t, frame, gc_, cb);

    for (const RefPtr<Effect>& effect : setup_.effects) {
        if (!completed) break;
        if (cb && cb->Check()) {
            completed = false;
            break;
        }
        if (effect && effect->GetActive(t)) effect->Apply(t, &frame, &gc_, cb);
    }
    if (completed && cb && cb->Check()) completed = false;
    BroadcastNotification(NOTIFY_POST_RENDERFRAME, &gc_);
    return completed;
}

void FrameRenderer::BuildContext(TimeValue t) {
    gc_.time = t;
    gc_.devWidth = setup_.settings.width;
    gc_.devHeight = setup_.settings.height;
    gc_.setup = &setup_;
    gc_.inMtlEdit = false;
    gc_.xc = gc_.devWidth / 2.0f;
    gc_.yc = gc_.devHeight / 2.0f;
    BuildCamera(t);
    BuildInstances(t);
}

void FrameRenderer::BuildCamera(TimeValue t) {
    const int width = gc_.devWidth, height = gc_.devHeight;
    INode* node = setup_.camera.get();
    CameraObject* camera = nullptr;
    Matrix3 camToWorld;
    if (node) {
        camToWorld = node->GetNodeTM(t);
        camera = dynamic_cast<CameraObject*>(node->EvalWorldState(t).obj.get());
    }
    gc_.camToWorld = camToWorld;
    gc_.worldToCam = IsRigid(camToWorld) ? RigidInverse(camToWorld) : camToWorld.Inverse();

    gc_.projType = camera && camera->IsOrtho() ? PROJ_PARALLEL : PROJ_PERSPECTIVE;
    const auto refuse = [&](const char* what) {
        throw std::invalid_argument("camera \"" + node->GetName() + "\": " + what);
    };
    if (gc_.projType == PROJ_PARALLEL) {
        const double pixelsPerUnit = width / double(camera->GetParallelWidth(t));
        if (!(pixelsPerUnit > 0) || !std::isfinite(pixelsPerUnit))
            refuse("the parallel width must be positive");
        gc_.xscale = float(pixelsPerUnit);
        gc_.yscale = float(-pixelsPerUnit);
    } else {
        const double focal = camera ? camera->FocalPixels(t, width, height)
                                    : 0.5 * width / std::tan(kDefaultFovRadians / 2);
        if (!(focal > 0) || !std::isfinite(focal)) {
            refuse(
                "the field of view must be between 0 and 180 degrees, and lens and film "
                "positive");
        }
        gc_.xscale = float(-focal);
        gc_.yscale = float(focal);
    }
    gc_.hasViewParams = camera != nullptr;
    gc_.viewParams = camera ? camera->GetViewParams(t) : ViewParams();
}

void FrameRenderer::BuildInstances(TimeValue t) {
    gc_.instances.clear();
    gc_.lights.clear();
    scene_.Walk([&](INode* node) {
        // Hiding a light declutters the view; it still lights the scene.
        if (auto* light = dynamic_cast<LightObject*>(node->EvalWorldState(t).obj.get())) {
            if (!light->GetUseLight()) return;
            LightInstance li;
            li.node = node;
            li.light = light;
            li.lightToWorld = node->GetObjectTM(t);
            li.lightToCam = li.lightToWorld * gc_.worldToCam;
            gc_.lights.push_back(li);
            return;
        }
        if (!node->Renderable() || node->IsHidden()) return;
        RefPtr<TriObject> tri = node->EvalTriObject(t);
        if (!tri) return;
        RenderInstance ri;
        ri.node = node;
        ri.mtl = node->GetMtl();
        ri.mesh = tri->GetMeshPtr();
        ri.objToWorld = node->GetObjectTM(t);
        ri.objToCam = ri.objToWorld * gc_.worldToCam;
        ri.camToObj = ri.objToCam.Inverse();
        ri.normalObjToCam = NormalMatrix(ri.objToCam);
        const CornerNormals& normals = tri->GetCornerNormals();
        ri.cornerNormals = normals.normals;
        ri.explicitNormals = normals.allExplicit;
        gc_.instances.push_back(std::move(ri));
    });
}

void FrameRenderer::DrawBackground(Bitmap& frame) {
    const RenderSettings& s = setup_.settings;
    if (s.backgroundImage.empty() && s.backgroundGradient) {
        for (int y = 0; y < s.height; ++y) {
            const float v = s.height > 1 ? float(y) / float(s.height - 1) : 0.0f;
            std::fill_n(frame.Row(y), s.width, Lerp(s.gradientTop, s.gradientBottom, v));
        }
        return;
    }
    if (s.backgroundImage.empty()) {
        frame.Fill(s.background);
        return;
    }
    if (!background_ || background_->file != s.backgroundImage || background_->width != s.width ||
        background_->height != s.height) {
        auto image = std::make_shared<BackgroundImage>();
        int sw = 0, sh = 0;
        std::vector<BMM_Color_fl> source = ReadImage(s.backgroundImage, sw, sh);
        image->file = s.backgroundImage;
        image->width = s.width;
        image->height = s.height;
        image->pixels = Stretch(source, sw, sh, s.width, s.height);
        background_ = std::move(image);
    }
    for (int y = 0; y < s.height; ++y) {
        std::copy_n(background_->pixels.begin() + ptrdiff_t(y) * s.width, s.width, frame.Row(y));
    }
}
