// A render job as a scene file states it: the camera, the objects and the line settings. Line
// settings use the settings objects' own parameter names, units (percent, degrees, pixels) and
// defaults, so a default-constructed record is what a new line effect, line set or brush holds.
// The parameter names are fixed by the scripting interface and the files that carry them, so
// they stay as written, misspellings included (strokeeExtendRnd).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "geometry.h"
#include "primitives.h"
#include "scene_import.h"

namespace KvrnApp {

// A point of a falloff curve with its Bezier tangents (offsets from the point). x runs from 0 to
// 1 across the curve; the curve is y(x) through the points in x order.
struct CurvePointDesc {
    float x = 0.0f;
    float y = 0.0f;
    float inX = 0.0f, inY = 0.0f;    // in-tangent
    float outX = 0.0f, outY = 0.0f;  // out-tangent
};
struct CurveDesc {
    std::vector<CurvePointDesc> points;
};
// (0, 1) with out-tangent (0.05, -1) to (1, 0.1) with in-tangent (-0.5, 0.1): the curve of a new
// reduction object.
CurveDesc DefaultReductionCurve();
// (0, 1) to (1, 1), flat: the size and alpha curves of a new brush detail.
CurveDesc DefaultStrokeCurve();

// The brush detail: stamp ("basic"), stroke rules, distortion, reduction along the stroke and
// colour range. Percent values stay percent here.
struct BrushDetailDesc {
    // Stamp.
    float mapOpacity = 100.0f;
    bool mapEnable = true;
    std::string map;   // the stamp map: a name in SceneDescription::maps; empty: none
    int32_t type = 2;  // 0 Normal, 1 Multiple, 2 Simple
    float stretch = 0.0f;
    float stretchRnd = 0.0f;
    float angle = 0.0f;
    float angleRnd = 0.0f;
    float groove = 0.0f;
    int32_t grooveNum = 5;
    float size = 16.0f;
    float sizeRnd = 80.0f;
    float anti = 50.0f;
    float hSpace = 10.0f;
    float hSpaceRnd = 100.0f;
    float vSpace = 10.0f;
    float vSpaceRnd = 100.0f;
    float reductionStart = 100.0f;
    float reductionEnd = 100.0f;
    // Stroke.
    int32_t strokeType = 0;   // 0 Normal, 1 Rake, 2 Random
    int32_t strokeStyle = 0;  // 0 Full, 1 Dashed
    float strokeLength = 5.0f;
    float strokeLengthRnd = 0.0f;
    float strokeSizeRnd = 0.0f;
    float strokeSpace = 5.0f;
    float strokeSpaceRnd = 0.0f;
    float strokeExtend = 0.0f;
    float strokeeExtendRnd = 0.0f;
    int32_t strokeCopy = 1;
    int32_t strokeCopyRnd = 0;
    float strokeNormalOffset = 0.0f;
    float strokeNormalOffsetRnd = 0.0f;
    float strokeOffsetX = 0.0f;
    float strokeOffsetXRnd = 0.0f;
    float strokeOffsetY = 0.0f;
    float strokeOffsetYRnd = 0.0f;
    float strokeSplitAngle = 90.0f;
    float strokeMinLength = 0.0f;
    float linkLength = 2.0f;
    float strokeDirectionAngle = -30.0f;
    int32_t strokeLoopDirection = 1;  // 0 Right, 1 Left
    // Distortion.
    bool noiseEnable = false;
    std::string noiseMap;  // a name in SceneDescription::maps; empty: none
    float noiseMapOpacity = 5.0f;
    bool noiseMapEnable = true;
    float noiseAmount = 5.0f;
    float noiseAmountRandom = 0.0f;
    float noiseCycle = 100.0f;
    float noiseCycleRandom = 0.0f;
    float noisePhase = 0.0f;
    float noisePhaseRandom = 0.0f;
    // Size and alpha along the stroke.
    bool sizeReductionEnable = false;
    CurveDesc sizeCurve = DefaultStrokeCurve();
    bool alphaReductionEnable = false;
    CurveDesc alphaCurve = DefaultStrokeCurve();
    // Colour range.
    int32_t colorRangeType = 0;  // 0 RGB, 1 HSV
    float colorRangeR = 0.0f;
    float colorRangeG = 0.0f;
    float colorRangeB = 0.0f;
};

struct BrushDesc {
    std::string name;  // its key in "brushes"; empty for a brush given in a slot or made new
    // Made new for a slot the scene leaves empty: it starts from the user defaults, as a new
    // brush does, and the values below are not applied.
    bool fresh = false;
    std::array<float, 3> color{0.0f, 0.0f, 0.0f};  // 0 to 1
    float colorMapOpacity = 100.0f;
    bool colorMapEnable = true;
    std::string colorMap;  // names in SceneDescription::maps; empty: none
    std::string sizeMap;
    int32_t blend = 0;  // 0 to 15
    float alpha = 100.0f;
    float size = 1.0f;
    float sizeMapAmount = 100.0f;
    bool sizeMapEnable = true;
    BrushDetailDesc detail;
};

// A line set's edge switches for one visibility (the scripted names add "Visible" or "Hidden").
struct EdgeSwitchesDesc {
    bool edgeOutline = true;
    bool openEdgeOutline = true;
    bool groupOutline = false;
    bool edgeObject = true;
    bool openEdgeObject = true;
    bool edgeIsect = true;
    bool edgeSelfIsect = true;
    bool edgeSmooth = true;
    bool edgeMatID = true;
    bool edgeNormal = false;
    float edgeNormalMax = 180.0f;  // degrees
    float edgeNormalMin = 45.0f;
    bool edgeWire = false;
    bool edgeSel = true;
    bool specificOutlineEnable = false;
    bool specificObjectEnable = false;
    bool specificIsectEnable = false;
    bool specificSmoothEnable = false;
    bool specificMatIDEnable = false;
    bool specificNormalEnable = false;
    bool specificWireEnable = false;
    bool specificSelEnable = false;
    bool sizeReductionEnable = false;
    bool alphaReductionEnable = false;
};

struct ReductionDesc {
    float start = 100.0f;  // world units, 1 to 1000000
    float end = 1000.0f;
    bool objectEnable = false;
    std::string objectNode;  // scene object name; empty: none picked
    CurveDesc curve = DefaultReductionCurve();
};

// Brush slots of one visibility: 0 the general brush, 1 + kind for edge kind 0 to 7.
inline constexpr int kBrushSlotCount = 9;
// Slot keys, in slot order: "brush", "brushOutline", "brushObject", "brushIntersection",
// "brushSmoothingGroup", "brushMaterialID", "brushNormalAngle", "brushWire",
// "brushSelectedEdge"; the hidden slots append "_Hidden".
extern const std::array<const char*, kBrushSlotCount> kBrushSlotNames;

// A brush slot that keeps the brush its line set's settings file ("load") put there.
inline constexpr int32_t kSlotFromFile = -2;

struct LineSetDesc {
    // A line settings file loaded into the new line set before the keys below apply; with one,
    // only the keys the scene file gives (`given`) change what the file set.
    std::string load;
    std::set<std::string> given;
    std::string name = "New Lineset";
    bool enable = true;
    bool weldEdgesBetweenObjects = false;
    bool maskHiddenLinesOfOtherLinesets = false;
    int32_t ID = 1;  // 1 to 8
    // Scene object names; allObjects takes every object not held by an earlier line set.
    bool allObjects = true;
    std::vector<std::string> objects;
    std::array<EdgeSwitchesDesc, 2> edges;  // visible, hidden
    // Per visibility and slot: index into SceneDescription::brushes, -1 for an empty slot. Two
    // slots with one index share (instance) one brush, so they draw as one edge group.
    std::array<std::array<int32_t, kBrushSlotCount>, 2> brushSlots{};
    // Per visibility: size, alpha.
    std::array<std::array<ReductionDesc, 2>, 2> reductions;
    std::array<std::array<bool, 2>, 2> reductionGiven{};
};

// The line effect's global options.
struct LineOptionsDesc {
    int32_t randomSeed = 0;            // 0 to 65535
    float OffscreenDistance = 150.0f;  // pixels, 0 to 1000
    int32_t overSampling = 2;          // 1 to 4
    float antialiasing = 1.0f;         // 0 to 2
    int32_t lineSizeType = 1;          // 0 absolute, 1 relative to a 640-pixel-high image
    bool multithread = true;
};

struct CameraDesc {
    // False: frame the objects with the default camera (only the image size below applies).
    bool given = false;
    KvrnLib::Point3 eye{100.0f, -100.0f, 60.0f};
    KvrnLib::Point3 target{0.0f, 0.0f, 0.0f};
    KvrnLib::Point3 up{0.0f, 0.0f, 1.0f};
    bool parallel = false;
    float fov = 0.0f;              // vertical field of view in degrees; 0: use the lens below
    float focalLength = 50.0f;     // millimetres
    float filmWidth = 36.0f;       // millimetres, across the image width
    float parallelWidth = 100.0f;  // world units across the image width (parallel views)
    float nearRange = 0.0f;        // 0: no near limit beyond the engine's
    float farRange = 0.0f;         // 0: none
    int32_t width = 1920;          // image size in pixels
    int32_t height = 1080;
};

// Kinds of scene objects.
enum class ObjectSource { kFile, kBox, kSphere, kCylinder, kTorus, kTorusKnot, kPlane, kBuiltin };

struct ObjectDesc {
    std::string name;  // unique in the scene
    ObjectSource source = ObjectSource::kFile;
    std::string file;                    // resolved against the scene file's folder
    UpAxis up = UpAxis::kFormatDefault;  // model files only
    float weld = -1.0f;   // model files: weld distance; negative: the job's (--weld, else 0)
    std::string builtin;  // name of a built-in scene (BuiltinScene)
    BoxParams box;
    SphereParams sphere;
    CylinderParams cylinder;
    TorusParams torus;
    TorusKnotParams torusKnot;
    PlaneParams plane;
    // Scale, then rotation about X, Y, Z (degrees), then translation; relative to the parent.
    KvrnLib::Point3 position;
    KvrnLib::Point3 rotation;
    KvrnLib::Point3 scale{1.0f, 1.0f, 1.0f};
    std::string parent;    // an earlier object's name; empty: the scene root
    std::string material;  // a name in SceneDescription::materials; empty: the file's own
    bool hidden = false;   // not rendered, but still moves its children
    int32_t objectID = 0;  // object channel of the shading ID element, 0 to 65535
};

// The frames of the scene's animation, inclusive, at frameRate frames per second.
struct AnimationDesc {
    int32_t frameRate = 30;
    int32_t start = 0;
    int32_t end = 0;
};

// One animation track: "keys" -> section -> name -> parameter (or section -> parameter for the
// camera and the line effect), with its keys as JSON values checked when they are applied.
struct TrackDesc {
    std::string where;              // "keys.objects.ball.position", for messages
    std::vector<std::string> path;  // {"objects", "ball", "position"}
    std::vector<std::pair<int32_t, std::string>> keys;  // frame, JSON value
};

// A material, map or render element: its class name and its parameters as JSON, applied to the
// object's parameter blocks when the scene is built (unknown keys are reported then).
struct ClassedDesc {
    std::string where;  // "materials.red", for messages
    std::string name;
    std::string className;
    std::string paramsJson;
};

// How surfaces are shaded: the "shading" section. Defaults: shaded, 4 samples per pixel, a
// Mitchell filter, adaptive refinement, shadows, no ambient light.
struct ShadingDesc {
    bool enabled = true;
    int32_t samples = 4;  // 1, 4, 8 or 16
    int32_t filter = 3;   // 0 box, 1 tent, 2 gaussian, 3 mitchell
    float filterRadius = 1.5f;
    bool adaptive = true;
    float adaptiveThreshold = 0.05f;
    int32_t adaptiveSamples = 16;
    int32_t maxRayDepth = 4;
    int32_t maxTransparencyLayers = 16;
    bool shadows = true;
    std::array<float, 3> ambient{0.0f, 0.0f, 0.0f};
    std::string environment;  // a map name; empty: none
    // A vertical background gradient (replaces the plain background colour).
    bool gradient = false;
    std::array<float, 3> gradientTop{0.0f, 0.0f, 0.0f};
    std::array<float, 3> gradientBottom{0.0f, 0.0f, 0.0f};
    std::string where;  // "shading", when the file has the section
};

struct SceneDescription;

// An entry of the render-effects list: a line effect, or a vector file output.
struct EffectDesc {
    enum class Kind { kLines, kFileOutput };
    Kind kind = Kind::kLines;
    std::string where;
    std::string paramsJson;  // file outputs: their parameters
    // Line effects: null for the scene's own (the top-level line settings); otherwise one of its
    // own, whose options, brushes and line sets are those of `lines` over the same objects.
    std::shared_ptr<const SceneDescription> lines;
    std::string name;  // the effect's name in captions; empty: "kovrin"
};

// A render element and, optionally, where its image of each frame goes.
struct RenderElementDesc {
    ClassedDesc element;
    std::string png;  // "####" takes the frame number; empty: only in the OpenEXR layers
};

struct SceneDescription {
    std::string path;  // the scene file, for messages; empty for a command-line job
    CameraDesc camera;
    std::vector<ObjectDesc> objects;
    LineOptionsDesc options;
    std::vector<BrushDesc> brushes;  // every brush a slot refers to
    std::vector<LineSetDesc> lineSets;
    AnimationDesc animation;
    std::vector<TrackDesc> tracks;
    std::vector<ClassedDesc> materials;
    std::vector<ClassedDesc> maps;
    // Lights by name: "class" and the light's parameters, plus "position", "target" and
    // "parent" for its node (checked when the host scene is built).
    std::vector<ClassedDesc> lights;
    ShadingDesc shading;
    // Empty: the line effect alone. Otherwise the list in order, the line effect at most once.
    std::vector<EffectDesc> effects;
    std::vector<RenderElementDesc> renderElements;
};

// Turns every edge kind of `edges` off.
void SwitchAllEdgesOff(EdgeSwitchesDesc& edges);

// A line set as a new one is made: separate default brushes in all 18 slots (appended to
// `brushes`), default switches and reductions.
LineSetDesc NewLineSet(std::vector<BrushDesc>& brushes);

}  // namespace KvrnApp
