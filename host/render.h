// The host's frame pipeline as the plug-ins see it: notifications, abort callbacks, render
// effects, render elements, the render settings and lists, the per-frame render global context
// with its render instances, and the renderer that runs a frame through them. Everything here
// runs on the render thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bitmap.h"
#include "matrix3.h"
#include "mesh.h"
#include "reference.h"
#include "texmap.h"

class INode;
class LightObject;
class Mtl;
class Scene;
class RenderGlobalContext;

// ---- Notifications ----
constexpr int NOTIFY_PRE_RENDER = 0x0C;        // callParam: the RenderGlobalContext (no time yet)
constexpr int NOTIFY_POST_RENDER = 0x0D;       // callParam: null
constexpr int NOTIFY_PRE_RENDERFRAME = 0x0E;   // callParam: the frame's RenderGlobalContext
constexpr int NOTIFY_POST_RENDERFRAME = 0x0F;  // callParam: the frame's RenderGlobalContext

struct NotifyInfo {
    int intcode = 0;
    void* callParam = nullptr;
};
using NOTIFYPROC = void (*)(void* param, NotifyInfo* info);

// Registered callbacks are called in registration order. Registering the same (proc, param,
// code) twice keeps one. Return 1 on success, 0 when nothing changed.
int RegisterNotification(NOTIFYPROC proc, void* param, int code);
int UnRegisterNotification(NOTIFYPROC proc, void* param, int code);
// Exceptions thrown by a callback propagate to the broadcaster (the renderer reports them).
void BroadcastNotification(int code, void* callParam = nullptr);

// ---- Progress and abort ----
class CheckAbortCallback {
  public:
    virtual ~CheckAbortCallback() = default;
    // True when the user or the host asked to stop.
    virtual bool Check() = 0;
    // done of total; returns Check().
    virtual bool Progress(int done, int total) = 0;
    virtual void SetTitle(const std::string& title) = 0;  // UTF-8
};

// The modeless progress window the host offers plug-ins (a terminal display in `kovrin`):
// a caption, a status line, an overall bar, one labelled bar per worker thread and a Cancel
// button. Positions are percent, 0 to 100.
class ProgressWindow {
  public:
    virtual ~ProgressWindow() = default;
    virtual void SetCaption(const std::string& caption) = 0;
    virtual void SetStatus(const std::string& text) = 0;
    virtual void SetProgress(int percent) = 0;
    virtual void SetThreadCount(int count) = 0;  // rebuilds the rows when it changes
    virtual void SetThreadTitle(int thread, const std::string& title) = 0;
    virtual void SetThreadProgress(int thread, int percent) = 0;
    virtual bool CancelPressed() = 0;  // also dispatches the window's pending input
};
// Creates the host's progress window; null (the default) in quiet mode, where plug-ins show
// none. The application installs its factory at start-up.
using ProgressWindowFactory = std::function<std::unique_ptr<ProgressWindow>()>;
void SetProgressWindowFactory(ProgressWindowFactory factory);
std::unique_ptr<ProgressWindow> CreateProgressWindow();  // null in quiet mode

// ---- Effects and render elements ----
class Effect : public ReferenceTarget {
  public:
    SClass_ID SuperClassID() const override { return RENDER_EFFECT_CLASS_ID; }
    // The per-effect name shown in captions (the effects list names it).
    const std::string& GetName() const { return name_; }
    void SetName(const std::string& name) { name_ = name; }
    // Active switch, by time: on unless set off (a list of off ranges is enough for animation).
    bool GetActive(TimeValue t) const;
    void SetActive(bool on) { on_ = on; }
    void SetActiveRange(TimeValue start, TimeValue end);  // active only within [start, end]
    // Draws on the frame after the surfaces are shaded. gc is null for a bitmap-only call.
    virtual void Apply(TimeValue t, Bitmap* bm, RenderGlobalContext* gc,
                       CheckAbortCallback* cb) = 0;

  private:
    std::string name_;
    bool on_ = true;
    TimeValue activeStart_ = TIME_NegInfinity;
    TimeValue activeEnd_ = TIME_PosInfinity;
};

constexpr SClass_ID RENDER_ELEMENT_CLASS_ID = 0x00000F00;

// A separate output image of the renderer. The renderer gives each enabled element an output
// bitmap of the frame's size before the pre-render-frame notification of every frame.
class IRenderElement : public ReferenceTarget {
  public:
    SClass_ID SuperClassID() const override { return RENDER_ELEMENT_CLASS_ID; }
    virtual bool IsEnabled() const = 0;
    virtual std::string ElementName() const = 0;
    Bitmap* GetPBitmap() const { return bitmap_.get(); }
    const std::shared_ptr<Bitmap>& GetBitmapPtr() const { return bitmap_; }
    void SetPBitmap(std::shared_ptr<Bitmap> bitmap) { bitmap_ = std::move(bitmap); }

  private:
    std::shared_ptr<Bitmap> bitmap_;
};

// ---- Render settings and lists ----
struct RenderSettings {
    int width = 640;  // pixels
    int height = 480;
    // Frames rendered (inclusive, in ticks); a single-frame render has rangeRender false.
    TimeValue start = 0;
    TimeValue end = 0;
    bool rangeRender = false;
    BMM_Color_fl background{0.0f, 0.0f, 0.0f, 0.0f};  // premultiplied
    std::string backgroundImage;  // empty: the colour; else an image file stretched to the frame
    // With no image: a vertical gradient from top to bottom instead of the plain colour.
    bool backgroundGradient = false;
    BMM_Color_fl gradientTop{0.0f, 0.0f, 0.0f, 1.0f};
    BMM_Color_fl gradientBottom{0.0f, 0.0f, 0.0f, 1.0f};
};

// Reconstruction filters of the shading renderer; radius in pixels (box: half-width).
enum class PixelFilter { kBox, kTent, kGaussian, kMitchell };

// How surfaces are shaded. Off: the frame keeps its background (lines-only renders).
struct ShadingSettings {
    bool enabled = false;
    int samples = 4;  // per pixel: 1, 4, 8 or 16
    PixelFilter filter = PixelFilter::kMitchell;
    float filterRadius = 1.5f;
    // Pixels whose colour differs from a neighbour's by more than the threshold (in any
    // channel, 0..1) are sampled again with adaptiveSamples samples.
    bool adaptive = true;
    float adaptiveThreshold = 0.05f;
    int adaptiveSamples = 16;
    int maxRayDepth = 4;              // reflection and refraction bounces
    int maxTransparencyLayers = 16;   // transparent surfaces followed through
    bool shadows = true;              // the lights' shadows
    int threads = 0;                  // 0: one per core
    Color ambient{0.0f, 0.0f, 0.0f};  // global ambient light
};

// What the host's render dialogs hold: the settings, the camera node (null: none), the effects
// list and the render elements list, in list order.
struct RenderSetup {
    RenderSettings settings;
    ShadingSettings shading;
    RefPtr<Texmap> environment;  // seen by reflections and rays that leave the scene; null: none
    RefPtr<INode> camera;
    std::vector<RefPtr<Effect>> effects;
    std::vector<RefPtr<IRenderElement>> elements;
};

// ---- Per-frame context ----
constexpr int PROJ_PERSPECTIVE = 0;
constexpr int PROJ_PARALLEL = 1;

// One renderable node at the frame's time: its evaluated mesh (shared, unchanged while the
// frame lives), its node and material, and the four transforms. Corner normals are in object
// space, three per face, from the mesh's specified normals where it has them and otherwise
// from its smoothing groups.
struct RenderInstance {
    INode* node = nullptr;
    Mtl* mtl = nullptr;                // the node's material; null: none
    std::shared_ptr<const Mesh> mesh;  // null: the node evaluated to no mesh
    Matrix3 objToWorld;
    Matrix3 objToCam;
    Matrix3 normalObjToCam;  // inverse transpose of objToCam's 3 x 3 part
    Matrix3 camToObj;
    std::shared_ptr<const std::vector<Point3>> cornerNormals;
    bool explicitNormals = false;  // every corner normal came from specified normals
    Point3 GetFaceVertNormal(int face, int corner) const;
};

// One light node at the frame's time: the light (its data read at the frame's time) and where
// it is; the light shines down its local -z axis.
struct LightInstance {
    INode* node = nullptr;
    LightObject* light = nullptr;
    Matrix3 lightToWorld;
    Matrix3 lightToCam;
};

// The camera's view limits; valid when hasViewParams.
struct ViewParams {
    float nearRange = 0.0f;
    float farRange = 1e30f;
};

class RenderGlobalContext {
  public:
    TimeValue time = 0;
    int devWidth = 0;
    int devHeight = 0;
    int projType = PROJ_PERSPECTIVE;
    float xc = 0.0f, yc = 0.0f;          // image centre in pixels
    float xscale = 0.0f, yscale = 0.0f;  // projection scale (see the engine camera)
    Matrix3 worldToCam;
    Matrix3 camToWorld;
    bool hasViewParams = false;
    ViewParams viewParams;
    bool inMtlEdit = false;              // rendering for the material editor
    const RenderSetup* setup = nullptr;  // the lists and settings of this render
    std::vector<RenderInstance> instances;
    std::vector<LightInstance> lights;  // every light node that is on, hidden ones included

    int NumRenderInstances() const { return int(instances.size()); }
    const RenderInstance* GetRenderInstance(int i) const;  // null out of range
    int NumRenderElements() const;
    IRenderElement* GetRenderElement(int i) const;  // null out of range
};

// Runs frames of a scene: NOTIFY_PRE_RENDER at Open; per frame the render instances at t, each
// enabled element's bitmap (frame size, zero), NOTIFY_PRE_RENDERFRAME, the background into the
// frame, then each effect active at t in list order with the callback, then
// NOTIFY_POST_RENDERFRAME; NOTIFY_POST_RENDER at Close (or destruction after Open).
class FrameRenderer {
  public:
    // Both must outlive the renderer. Throws std::invalid_argument naming the value for a
    // non-positive image size.
    FrameRenderer(Scene& scene, const RenderSetup& setup);
    ~FrameRenderer();
    FrameRenderer(const FrameRenderer&) = delete;
    FrameRenderer& operator=(const FrameRenderer&) = delete;

    void Open();
    // Renders frame time t into frame (the settings' size). Returns false when cb reported an
    // abort; exceptions from notifications and effects propagate.
    bool RenderFrame(TimeValue t, Bitmap& frame, CheckAbortCallback* cb);
    void Close();
    // The context of the last frame (or of Open before the first).
    const RenderGlobalContext& Context() const { return gc_; }

    // Surface shading step, called after the background (already in frame) and before the
    // effects; returns false when cb reported an abort. Without a hook the frame keeps its
    // background.
    using ShadeSurfacesHook = std::function<bool(TimeValue t, Bitmap& frame,
                                                 RenderGlobalContext& gc, CheckAbortCallback* cb)>;
    void SetShadeSurfaces(ShadeSurfacesHook hook) { shadeSurfaces_ = std::move(hook); }

  private:
    struct BackgroundImage;
    void BuildContext(TimeValue t);
    void BuildCamera(TimeValue t);
    void BuildInstances(TimeValue t);
    void DrawBackground(Bitmap& frame);
    Scene& scene_;
    const RenderSetup& setup_;
    RenderGlobalContext gc_;
    bool open_ = false;
    ShadeSurfacesHook shadeSurfaces_;
    std::shared_ptr<const BackgroundImage> background_;  // stretched to the frame, read once
};
