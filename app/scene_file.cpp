#include "scene_file.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <span>
#include <sstream>

#include "poly_mesh.h"
#include "primitives.h"
#include "scene_import.h"
#include "scene_objects.h"
#include "scene_sections.h"

namespace KvrnApp {

namespace {

// Ordered, so that brushes keep the file's order and the first unknown key is the one reported.
using Json = nlohmann::ordered_json;
using Names = std::span<const char* const>;

constexpr const char* kBlendNames[] = {"Normal", "Additive",   "Subtractive", "Multiply",
                                       "Screen", "Overlay",    "Hard Light",  "Soft Light",
                                       "Darken", "Lighten",    "Difference",  "Exclusion",
                                       "Hue",    "Saturation", "Color",       "Luminosity"};
constexpr const char* kBrushTypeNames[] = {"Normal", "Multiple", "Simple"};
constexpr const char* kStrokeTypeNames[] = {"Normal", "Rake", "Random"};
constexpr const char* kStrokeStyleNames[] = {"Full", "Dashed"};
constexpr const char* kLoopDirectionNames[] = {"Right", "Left"};
constexpr const char* kColorRangeNames[] = {"RGB", "HSV"};
constexpr const char* kLineSizeTypeNames[] = {"Absolute", "Relative"};
constexpr const char* kProjectionNames[] = {"perspective", "parallel"};
constexpr const char* kUpNames[] = {"y", "z"};
// A weld reaching further than this joins whole features of any model in scene units.
constexpr double kMaxWeld = 1e6;
constexpr const char* kPrimitiveNames[] = {"box",   "sphere",    "cylinder",
                                           "torus", "torusKnot", "plane"};
constexpr ObjectSource kPrimitiveSources[] = {ObjectSource::kBox,       ObjectSource::kSphere,
                                              ObjectSource::kCylinder,  ObjectSource::kTorus,
                                              ObjectSource::kTorusKnot, ObjectSource::kPlane};
// Far more than a line drawing needs, small enough that a typo cannot exhaust memory.
constexpr double kMaxSegments = 1024;
constexpr double kMaxKnotWindings = 16;
constexpr int kKnotSegmentsPerWinding = 8;
constexpr float kMaxKnotTubeRatio = 0.5f;

std::string FormatNumber(double value) {
    std::ostringstream out;
    out << std::setprecision(10) << value;
    return out.str();
}

// JSON quoting, so that quotes and control characters in names stay readable.
std::string Quoted(const std::string& text) { return Json(text).dump(); }

// A value as the user wrote it, shortened so that a misplaced block does not flood the message.
std::string Shown(const Json& value) {
    if (value.is_object()) return "an object { ... }";
    if (value.is_array()) return "an array [ ... ]";
    const std::string text = value.dump();
    return text.size() <= 60 ? text : text.substr(0, 56) + "...";
}

std::string Child(const std::string& path, const std::string& key) {
    const bool plain =
        std::none_of(key.begin(), key.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
    const std::string shown = plain ? key : Quoted(key);
    return path.empty() ? shown : path + "." + shown;
}

std::string Element(const std::string& path, size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

std::string JoinNames(Names names) {
    std::string list;
    for (size_t i = 0; i < names.size(); ++i)
        list += (i == 0 ? "" : (i + 1 == names.size() ? " or " : ", ")) + Quoted(names[i]);
    return list;
}

// Enumeration names match without regard to case or spaces ("hardlight" is "Hard Light").
std::string Folded(const std::string& name) {
    std::string folded;
    for (char c : name)
        if (c != ' ') folded += char(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

// Builds the key path while nlohmann parses, so that a key given twice in one object (which the
// library would silently collapse to its last value) is reported where it is.
class DuplicateKeyCheck {
  public:
    explicit DuplicateKeyCheck(std::string file) : file_(std::move(file)) {}

    bool operator()(int, nlohmann::detail::parse_event_t event, Json& parsed) {
        using Event = nlohmann::detail::parse_event_t;
        switch (event) {
            case Event::object_start:
            case Event::array_start:
                // Paths grow with the depth, so unbounded nesting would cost quadratic memory;
                // a scene is never deeper than about 8.
                if (frames_.size() >= kMaxDepth) {
                    throw InputError((file_.empty() ? "" : file_ + ": ") + NextPath() +
                                     ": nested more than " + std::to_string(kMaxDepth) +
                                     " levels deep");
                }
                frames_.push_back({event == Event::array_start, NextPath(), {}, {}, 0});
                break;
            case Event::object_end:
            case Event::array_end:
                frames_.pop_back();
                if (!frames_.empty() && frames_.back().array) ++frames_.back().count;
                break;
            case Event::key: {
                Frame& top = frames_.back();
                top.key = parsed.get<std::string>();
                if (!top.keys.insert(top.key).second) {
                    throw InputError((file_.empty() ? "" : file_ + ": ") +
                                     Child(top.path, top.key) + ": key given twice");
                }
                break;
            }
            case Event::value:
                if (!frames_.empty() && frames_.back().array) ++frames_.back().count;
                break;
        }
        return true;
    }

  private:
    static constexpr size_t kMaxDepth = 32;

    struct Frame {
        bool array = false;
        std::string path;
        std::string key;
        std::set<std::string> keys;
        size_t count = 0;
    };

    std::string NextPath() const {
        if (frames_.empty()) return "";
        const Frame& top = frames_.back();
        return top.array ? Element(top.path, top.count) : Child(top.path, top.key);
    }

    std::string file_;
    std::vector<Frame> frames_;
};

// "[json.exception.parse_error.101] parse error at line 4, column 7: syntax error ..." becomes
// "line 4, column 7: syntax error ...".
std::string ParseErrorText(const std::string& what) {
    for (const char* marker : {"parse error at ", "] "}) {
        const size_t at = what.find(marker);
        if (at != std::string::npos) return what.substr(at + std::strlen(marker));
    }
    return what;
}

// Why `file` cannot be imported, found without reading it; empty when it looks fine.
std::string ModelFileProblem(const std::filesystem::path& file) {
    std::error_code error;
    const auto status = std::filesystem::status(file, error);
    if (!std::filesystem::exists(status)) return "no such file";
    if (std::filesystem::is_directory(status)) return "is a directory, expected a model file";
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    const auto& known = SupportedExtensions();
    if (std::find(known.begin(), known.end(), extension) != known.end()) return "";
    std::string list;
    for (const std::string& e : known) list += (list.empty() ? "" : " ") + e;
    return "not a supported model format (" + list + ")";
}

class SceneParser {
  public:
    explicit SceneParser(const std::string& path)
        : file_(path), folder_(std::filesystem::path(path).parent_path()) {}

    SceneDescription Parse(const std::string& text);

  private:
    class Fields;

    [[noreturn]] void Fail(const std::string& where, const std::string& what) const {
        throw InputError((file_.empty() ? "" : file_ + ": ") + where + ": " + what);
    }

    double Number(const Json& value, const std::string& where) const;
    float FloatIn(const Json& value, const std::string& where, double min, double max) const;
    float Positive(const Json& value, const std::string& where) const;
    int32_t Whole(const Json& value, const std::string& where, double min, double max) const;
    bool Boolean(const Json& value, const std::string& where) const;
    std::string String(const Json& value, const std::string& where) const;
    int32_t Choice(const Json& value, const std::string& where, Names names) const;
    int32_t Enumeration(const Json& value, const std::string& where, Names names,
                        int32_t max) const;
    KvrnLib::Point3 Vector(const Json& value, const std::string& where) const;
    std::array<float, 3> Color(const Json& value, const std::string& where) const;
    CurveDesc Curve(const Json& value, const std::string& where) const;

    void ReadOptions(Fields& top, LineOptionsDesc& options) const;
    CameraDesc ReadCamera(const Json& value, const std::string& where) const;
    ObjectDesc ReadObject(const Json& value, const std::string& where) const;
    void ReadPrimitive(Fields& fields, ObjectDesc& object) const;
    void ReadTorusKnot(Fields& fields, TorusKnotParams& knot) const;
    BrushDesc ReadBrush(const Json& value, const std::string& where) const;
    BrushDetailDesc ReadDetail(const Json& value, const std::string& where) const;
    LineSetDesc ReadLineSet(const Json& value, const std::string& where);
    void ReadEdgeSwitches(Fields& fields, const std::string& suffix, EdgeSwitchesDesc& edges) const;
    ReductionDesc ReadReduction(const Json& value, const std::string& where) const;
    ShadingDesc ReadShading(const Json& value, const std::string& where) const;
    int32_t BrushSlot(const Json& value, const std::string& where);
    // Line effects of their own in the effects list: their settings read as a scene over the
    // same objects and maps.
    void ReadLineEffects(const Json& root);
    // A map given by name must be one of the scene's "maps".
    void MapName(Fields& fields, const std::string& key, std::string& out) const;

    std::string file_;
    std::filesystem::path folder_;
    SceneDescription scene_;
    std::map<std::string, int32_t> objectIndex_;
    std::map<std::string, int32_t> brushIndex_;
    std::set<std::string> mapNames_;
    std::set<std::string> materialNames_;
    std::map<std::string, std::string> objectOwner_;  // object name -> line set path holding it
};

// The keys of one JSON object: each is read at most once, and Finish reports the first key that
// nothing read.
class SceneParser::Fields {
  public:
    Fields(const SceneParser& parser, const Json& object, std::string where)
        : parser_(parser), object_(object), where_(std::move(where)) {
        if (!object.is_object()) parser.Fail(where_, "expected an object { ... }");
    }

    std::string PathOf(const std::string& key) const { return Child(where_, key); }
    const std::string& Where() const { return where_; }

    const Json* Find(const std::string& key) {
        const auto it = object_.find(key);
        if (it == object_.end()) return nullptr;
        used_.insert(key);
        return &*it;
    }
    bool Has(const std::string& key) const { return object_.contains(key); }

    void Float(const std::string& key, float& out, double min, double max) {
        if (const Json* v = Find(key)) out = parser_.FloatIn(*v, PathOf(key), min, max);
    }
    void Positive(const std::string& key, float& out) {
        if (const Json* v = Find(key)) out = parser_.Positive(*v, PathOf(key));
    }
    void Int(const std::string& key, int32_t& out, double min, double max) {
        if (const Json* v = Find(key)) out = parser_.Whole(*v, PathOf(key), min, max);
    }
    void Bool(const std::string& key, bool& out) {
        if (const Json* v = Find(key)) out = parser_.Boolean(*v, PathOf(key));
    }
    void Enum(const std::string& key, int32_t& out, Names names, int32_t max) {
        if (const Json* v = Find(key)) out = parser_.Enumeration(*v, PathOf(key), names, max);
    }
    void Vector(const std::string& key, KvrnLib::Point3& out) {
        if (const Json* v = Find(key)) out = parser_.Vector(*v, PathOf(key));
    }
    void Curve(const std::string& key, CurveDesc& out) {
        if (const Json* v = Find(key)) out = parser_.Curve(*v, PathOf(key));
    }

    void Finish() const {
        for (const auto& [key, value] : object_.items())
            if (!used_.contains(key)) parser_.Fail(PathOf(key), "unknown key");
    }

  private:
    const SceneParser& parser_;
    const Json& object_;
    std::string where_;
    std::set<std::string> used_;
};

double SceneParser::Number(const Json& value, const std::string& where) const {
    if (!value.is_number()) Fail(where, "expected a number, got " + Shown(value));
    const double number = value.get<double>();
    // Every value ends up in a float.
    if (!std::isfinite(float(number))) Fail(where, FormatNumber(number) + " is too large");
    return number;
}

float SceneParser::FloatIn(const Json& value, const std::string& where, double min,
                           double max) const {
    const double number = Number(value, where);
    if (number < min || number > max) {
        Fail(where, FormatNumber(number) + " is out of range " + FormatNumber(min) + " to " +
                        FormatNumber(max));
    }
    return float(number);
}

float SceneParser::Positive(const Json& value, const std::string& where) const {
    const double number = Number(value, where);
    if (!(number > 0)) Fail(where, "expected a positive number, got " + FormatNumber(number));
    return float(number);
}

int32_t SceneParser::Whole(const Json& value, const std::string& where, double min,
                           double max) const {
    if (!value.is_number()) Fail(where, "expected a whole number, got " + Shown(value));
    const double number = value.get<double>();
    if (std::floor(number) != number) {
        Fail(where, "expected a whole number, got " + FormatNumber(number));
    }
    if (number < min || number > max) {
        Fail(where, FormatNumber(number) + " is out of range " + FormatNumber(min) + " to " +
                        FormatNumber(max));
    }
    return int32_t(number);
}

bool SceneParser::Boolean(const Json& value, const std::string& where) const {
    if (!value.is_boolean()) Fail(where, "expected true or false, got " + Shown(value));
    return value.get<bool>();
}

std::string SceneParser::String(const Json& value, const std::string& where) const {
    if (!value.is_string()) Fail(where, "expected a string, got " + Shown(value));
    return value.get<std::string>();
}

int32_t SceneParser::Choice(const Json& value, const std::string& where, Names names) const {
    if (!value.is_string()) Fail(where, "expected one of " + JoinNames(names));
    const std::string name = Folded(value.get<std::string>());
    for (size_t i = 0; i < names.size(); ++i)
        if (Folded(names[i]) == name) return int32_t(i);
    Fail(where, Shown(value) + " is not one of " + JoinNames(names));
}

int32_t SceneParser::Enumeration(const Json& value, const std::string& where, Names names,
                                 int32_t max) const {
    if (value.is_string()) return Choice(value, where, names);
    if (!value.is_number()) {
        Fail(where, "expected a whole number 0 to " + std::to_string(max) + " or one of " +
                        JoinNames(names));
    }
    return Whole(value, where, 0, max);
}

KvrnLib::Point3 SceneParser::Vector(const Json& value, const std::string& where) const {
    if (!value.is_array() || value.size() != 3) Fail(where, "expected [x, y, z]");
    return {float(Number(value[0], Element(where, 0))), float(Number(value[1], Element(where, 1))),
            float(Number(value[2], Element(where, 2)))};
}

std::array<float, 3> SceneParser::Color(const Json& value, const std::string& where) const {
    std::array<float, 3> color{};
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        const bool hex = text.size() == 7 && text[0] == '#' &&
                         std::all_of(text.begin() + 1, text.end(), [](char c) {
                             return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                         });
        if (!hex) Fail(where, Shown(value) + " is not a colour \"#rrggbb\"");
        for (int i = 0; i < 3; ++i)
            color[i] = float(std::stoi(text.substr(1 + 2 * i, 2), nullptr, 16)) / 255.0f;
        return color;
    }
    if (!value.is_array() || value.size() != 3) Fail(where, "expected [r, g, b] or \"#rrggbb\"");
    for (size_t i = 0; i < 3; ++i) color[i] = FloatIn(value[i], Element(where, i), 0, 1);
    return color;
}

CurveDesc SceneParser::Curve(const Json& value, const std::string& where) const {
    if (!value.is_array() || value.size() < 2) {
        Fail(where, "expected an array of at least 2 points {\"x\", \"y\", \"in\", \"out\"}");
    }
    CurveDesc curve;
    double previousX = -1;
    for (size_t i = 0; i < value.size(); ++i) {
        Fields fields(*this, value[i], Element(where, i));
        CurvePointDesc point;
        if (!fields.Has("x") || !fields.Has("y")) Fail(fields.Where(), "needs \"x\" and \"y\"");
        fields.Float("x", point.x, 0, 1);
        // Equal x would make the curve a step with no defined value.
        const double x = fields.Find("x")->get<double>();
        if (!(x > previousX)) {
            Fail(fields.PathOf("x"), FormatNumber(x) +
                                         " is not greater than the previous point's x " +
                                         FormatNumber(previousX));
        }
        previousX = x;
        point.y = float(Number(*fields.Find("y"), fields.PathOf("y")));
        for (const char* key : {"in", "out"}) {
            const Json* given = fields.Find(key);
            if (!given) continue;
            if (!given->is_array() || given->size() != 2)
                Fail(fields.PathOf(key), "expected [dx, dy]");
            const float dx = float(Number((*given)[0], Element(fields.PathOf(key), 0)));
            const float dy = float(Number((*given)[1], Element(fields.PathOf(key), 1)));
            (key[0] == 'i' ? point.inX : point.outX) = dx;
            (key[0] == 'i' ? point.inY : point.outY) = dy;
        }
        fields.Finish();
        curve.points.push_back(point);
    }
    return curve;
}

void SceneParser::ReadOptions(Fields& top, LineOptionsDesc& options) const {
    top.Int("randomSeed", options.randomSeed, 0, 65535);
    top.Float("OffscreenDistance", options.OffscreenDistance, 0, 1000);
    top.Int("overSampling", options.overSampling, 1, 4);
    top.Float("antialiasing", options.antialiasing, 0, 2);
    top.Enum("lineSizeType", options.lineSizeType, kLineSizeTypeNames, 1);
    top.Bool("multithread", options.multithread);
}

CameraDesc SceneParser::ReadCamera(const Json& value, const std::string& where) const {
    Fields fields(*this, value, where);
    CameraDesc camera;
    fields.Int("width", camera.width, 1, 16384);
    fields.Int("height", camera.height, 1, 16384);
    camera.given = fields.Has("eye");
    if (!camera.given) {
        for (const char* key : {"target", "up", "projection", "fov", "focalLength", "filmWidth",
                                "parallelWidth", "near", "far"}) {
            if (fields.Has(key)) {
                Fail(fields.PathOf(key),
                     "needs \"eye\" (a camera without one frames the objects by itself)");
            }
        }
    }
    fields.Vector("eye", camera.eye);
    fields.Vector("target", camera.target);
    fields.Vector("up", camera.up);
    if (const Json* projection = fields.Find("projection"))
        camera.parallel = Choice(*projection, fields.PathOf("projection"), kProjectionNames) == 1;
    if (fields.Has("fov") && (fields.Has("focalLength") || fields.Has("filmWidth"))) {
        Fail(fields.PathOf("fov"), "give either fov or focalLength and filmWidth, not both");
    }
    fields.Float("fov", camera.fov, 1, 179);
    fields.Positive("focalLength", camera.focalLength);
    fields.Positive("filmWidth", camera.filmWidth);
    fields.Positive("parallelWidth", camera.parallelWidth);
    fields.Positive("near", camera.nearRange);
    fields.Positive("far", camera.farRange);
    if (camera.farRange > 0 && !(camera.nearRange < camera.farRange)) {
        Fail(fields.PathOf("near"), FormatNumber(camera.nearRange) + " is not less than far " +
                                        FormatNumber(camera.farRange));
    }
    fields.Finish();
    if (camera.given) {
        try {
            MakeSceneCamera(camera, {});
        } catch (const InputError& e) {
            throw InputError((file_.empty() ? "" : file_ + ": ") + e.what());
        }
    }
    return camera;
}

// A knot's windings cross one another, and every crossing of two tubes is an intersection
// line: with many windings, tubes thicker than their spacing or segments longer than a winding,
// the lines and their cost grow far faster than the triangles. These limits keep the worst knot
// within a few GB and about a minute.
void SceneParser::ReadTorusKnot(Fields& fields, TorusKnotParams& knot) const {
    fields.Int("p", knot.p, 1, kMaxKnotWindings);
    fields.Int("q", knot.q, 1, kMaxKnotWindings);
    fields.Positive("radius", knot.radius);
    fields.Positive("tubeRadius", knot.tubeRadius);
    fields.Int("segments", knot.segments, 3, kMaxSegments);
    fields.Int("sides", knot.sides, 3, kMaxSegments);
    const int windings = std::max(knot.p, knot.q);
    if (knot.segments < kKnotSegmentsPerWinding * windings) {
        Fail(fields.PathOf("segments"),
             std::to_string(knot.segments) + " is too few for p = " + std::to_string(knot.p) +
                 " and q = " + std::to_string(knot.q) + ": at least " +
                 std::to_string(kKnotSegmentsPerWinding) + " per winding (" +
                 std::to_string(kKnotSegmentsPerWinding * windings) + ")");
    }
    if (knot.tubeRadius > knot.radius * kMaxKnotTubeRatio) {
        Fail(fields.PathOf("tubeRadius"), FormatNumber(knot.tubeRadius) +
                                              " is more than half the knot's radius " +
                                              FormatNumber(knot.radius));
    }
}

void SceneParser::ReadPrimitive(Fields& fields, ObjectDesc& object) const {
    const auto size = [&](const char* key, float& out) { fields.Positive(key, out); };
    const auto count = [&](const char* key, int& out, int min) {
        fields.Int(key, out, min, kMaxSegments);
    };
    switch (object.source) {
        case ObjectSource::kBox:
            size("length", object.box.length);
            size("width", object.box.width);
            size("height", object.box.height);
            count("lengthSegments", object.box.lengthSegments, 1);
            count("widthSegments", object.box.widthSegments, 1);
            count("heightSegments", object.box.heightSegments, 1);
            break;
        case ObjectSource::kSphere:
            size("radius", object.sphere.radius);
            count("segments", object.sphere.segments, 3);
            count("rings", object.sphere.rings, 2);
            break;
        case ObjectSource::kCylinder:
            size("radius", object.cylinder.radius);
            size("height", object.cylinder.height);
            count("sides", object.cylinder.sides, 3);
            count("heightSegments", object.cylinder.heightSegments, 1);
            fields.Bool("caps", object.cylinder.caps);
            break;
        case ObjectSource::kTorus:
            size("majorRadius", object.torus.majorRadius);
            size("minorRadius", object.torus.minorRadius);
            count("segments", object.torus.segments, 3);
            count("sides", object.torus.sides, 3);
            break;
        case ObjectSource::kTorusKnot:
            ReadTorusKnot(fields, object.torusKnot);
            break;
        case ObjectSource::kPlane:
            size("length", object.plane.length);
            size("width", object.plane.width);
            count("lengthSegments", object.plane.lengthSegments, 1);
            count("widthSegments", object.plane.widthSegments, 1);
            break;
        case ObjectSource::kFile:
        case ObjectSource::kBuiltin:
            break;
    }
}

ObjectDesc SceneParser::ReadObject(const Json& value, const std::string& where) const {
    Fields fields(*this, value, where);
    ObjectDesc object;
    const Json* name = fields.Find("name");
    if (!name) Fail(where, "needs a \"name\"");
    object.name = String(*name, fields.PathOf("name"));
    if (object.name.empty()) Fail(fields.PathOf("name"), "must not be empty");
    if (const auto it = objectIndex_.find(object.name); it != objectIndex_.end()) {
        Fail(fields.PathOf("name"), Quoted(object.name) + " is already the name of " +
                                        Element("objects", size_t(it->second)));
    }

    const int kinds =
        int(fields.Has("file")) + int(fields.Has("primitive")) + int(fields.Has("builtin"));
    if (kinds != 1) Fail(where, "needs exactly one of \"file\", \"primitive\" or \"builtin\"");
    if (const Json* file = fields.Find("file")) {
        const std::string given = String(*file, fields.PathOf("file"));
        std::filesystem::path resolved = given;
        if (resolved.is_relative() && !folder_.empty()) resolved = folder_ / resolved;
        object.source = ObjectSource::kFile;
        object.file = resolved.string();
        const std::string problem = ModelFileProblem(resolved);
        if (!problem.empty()) Fail(fields.PathOf("file"), given + ": " + problem);
        if (const Json* up = fields.Find("up")) {
            object.up = Choice(*up, fields.PathOf("up"), kUpNames) == 0 ? UpAxis::kY : UpAxis::kZ;
        }
        fields.Float("weld", object.weld, 0, kMaxWeld);
    } else if (const Json* primitive = fields.Find("primitive")) {
        object.source =
            kPrimitiveSources[Choice(*primitive, fields.PathOf("primitive"), kPrimitiveNames)];
        ReadPrimitive(fields, object);
    } else {
        object.source = ObjectSource::kBuiltin;
        object.builtin = String(*fields.Find("builtin"), fields.PathOf("builtin"));
        const std::vector<std::string> known = BuiltinSceneNames();
        if (std::find(known.begin(), known.end(), object.builtin) == known.end()) {
            std::vector<const char*> names;
            for (const std::string& n : known) names.push_back(n.c_str());
            Fail(fields.PathOf("builtin"),
                 Quoted(object.builtin) + " is not one of " + JoinNames(names));
        }
    }

    fields.Vector("position", object.position);
    fields.Vector("rotation", object.rotation);
    if (const Json* scale = fields.Find("scale")) {
        const std::string at = fields.PathOf("scale");
        if (scale->is_number()) {
            const float s = float(Number(*scale, at));
            object.scale = {s, s, s};
        } else {
            object.scale = Vector(*scale, at);
        }
        if (object.scale.x == 0 || object.scale.y == 0 || object.scale.z == 0)
            Fail(at, "must not be zero");
    }
    if (const Json* parent = fields.Find("parent")) {
        object.parent = String(*parent, fields.PathOf("parent"));
        if (!objectIndex_.contains(object.parent))
            Fail(fields.PathOf("parent"), "no earlier object named " + Quoted(object.parent));
    }
    if (const Json* material = fields.Find("material")) {
        object.material = String(*material, fields.PathOf("material"));
        if (!materialNames_.contains(object.material))
            Fail(fields.PathOf("material"), "no material named " + Quoted(object.material));
    }
    fields.Bool("hidden", object.hidden);
    fields.Int("objectID", object.objectID, 0, 65535);
    fields.Finish();
    return object;
}

void SceneParser::ReadLineEffects(const Json& root) {
    for (EffectDesc& effect : scene_.effects) {
        if (effect.kind != EffectDesc::Kind::kLines || effect.paramsJson.empty()) continue;
        Json own = Json::parse(effect.paramsJson);
        for (const char* shared : {"objects", "maps", "materials"})
            if (root.contains(shared)) own[shared] = root[shared];
        try {
            effect.lines =
                std::make_shared<const SceneDescription>(SceneParser(file_).Parse(own.dump()));
        } catch (const InputError& e) {
            // Its keys are the effect's: "effects[1].linesets[0]...".
            std::string what = e.what();
            const std::string prefix = file_.empty() ? "" : file_ + ": ";
            if (what.rfind(prefix, 0) == 0) what.erase(0, prefix.size());
            throw InputError(prefix + effect.where + "." + what);
        }
        effect.paramsJson.clear();
    }
}

void SceneParser::MapName(Fields& fields, const std::string& key, std::string& out) const {
    if (const Json* name = fields.Find(key)) {
        out = String(*name, fields.PathOf(key));
        if (!mapNames_.contains(out)) Fail(fields.PathOf(key), "no map named " + Quoted(out));
    }
}

BrushDetailDesc SceneParser::ReadDetail(const Json& value, const std::string& where) const {
    Fields f(*this, value, where);
    BrushDetailDesc d;
    f.Float("mapOpacity", d.mapOpacity, 0, 100);
    MapName(f, "map", d.map);
    f.Bool("mapEnable", d.mapEnable);
    f.Enum("type", d.type, kBrushTypeNames, 3);
    f.Float("stretch", d.stretch, -100, 100);
    f.Float("stretchRnd", d.stretchRnd, 0, 100);
    f.Float("angle", d.angle, -3600, 3600);
    f.Float("angleRnd", d.angleRnd, 0, 360);
    f.Float("groove", d.groove, 0, 100);
    f.Int("grooveNum", d.grooveNum, 3, 20);
    f.Float("size", d.size, 0.1, 100);
    f.Float("sizeRnd", d.sizeRnd, 0, 100);
    f.Float("anti", d.anti, 0, 1000);
    f.Float("hSpace", d.hSpace, 0, 100);
    f.Float("hSpaceRnd", d.hSpaceRnd, 0, 100);
    f.Float("vSpace", d.vSpace, 0, 100);
    f.Float("vSpaceRnd", d.vSpaceRnd, 0, 100);
    f.Float("reductionStart", d.reductionStart, 0, 100);
    f.Float("reductionEnd", d.reductionEnd, 0, 100);

    f.Enum("strokeType", d.strokeType, kStrokeTypeNames, 3);
    f.Enum("strokeStyle", d.strokeStyle, kStrokeStyleNames, 2);
    f.Float("strokeLength", d.strokeLength, 1, 10000);
    f.Float("strokeLengthRnd", d.strokeLengthRnd, 0, 100);
    f.Float("strokeSizeRnd", d.strokeSizeRnd, 0, 100);
    f.Float("strokeSpace", d.strokeSpace, 1, 1000);
    f.Float("strokeSpaceRnd", d.strokeSpaceRnd, 0, 100);
    f.Float("strokeExtend", d.strokeExtend, 0, 1000);
    f.Float("strokeeExtendRnd", d.strokeeExtendRnd, 0, 100);
    f.Int("strokeCopy", d.strokeCopy, 1, 10);
    f.Int("strokeCopyRnd", d.strokeCopyRnd, 0, 10);
    f.Float("strokeNormalOffset", d.strokeNormalOffset, -1000, 1000);
    f.Float("strokeNormalOffsetRnd", d.strokeNormalOffsetRnd, 0, 1000);
    f.Float("strokeOffsetX", d.strokeOffsetX, -1000, 1000);
    f.Float("strokeOffsetXRnd", d.strokeOffsetXRnd, 0, 1000);
    f.Float("strokeOffsetY", d.strokeOffsetY, -1000, 1000);
    f.Float("strokeOffsetYRnd", d.strokeOffsetYRnd, 0, 1000);
    f.Float("strokeSplitAngle", d.strokeSplitAngle, 0, 180);
    f.Float("strokeMinLength", d.strokeMinLength, 0, 100);
    f.Float("linkLength", d.linkLength, 0, 100);
    f.Float("strokeDirectionAngle", d.strokeDirectionAngle, -180, 180);
    f.Enum("strokeLoopDirection", d.strokeLoopDirection, kLoopDirectionNames, 1);

    f.Bool("noiseEnable", d.noiseEnable);
    f.Float("noiseMapOpacity", d.noiseMapOpacity, 0, 100);
    MapName(f, "noiseMap", d.noiseMap);
    f.Bool("noiseMapEnable", d.noiseMapEnable);
    f.Float("noiseAmount", d.noiseAmount, 0, 1000);
    f.Float("noiseAmountRandom", d.noiseAmountRandom, 0, 100);
    f.Float("noiseCycle", d.noiseCycle, 5, 1000);
    f.Float("noiseCycleRandom", d.noiseCycleRandom, 0, 100);
    f.Float("noisePhase", d.noisePhase, -9999.9, 9999.9);
    f.Float("noisePhaseRandom", d.noisePhaseRandom, 0, 100);

    f.Bool("sizeReductionEnable", d.sizeReductionEnable);
    f.Curve("sizeCurve", d.sizeCurve);
    f.Bool("alphaReductionEnable", d.alphaReductionEnable);
    f.Curve("alphaCurve", d.alphaCurve);

    f.Enum("colorRangeType", d.colorRangeType, kColorRangeNames, 1);
    f.Float("colorRangeR", d.colorRangeR, 0, 100);
    f.Float("colorRangeG", d.colorRangeG, 0, 100);
    f.Float("colorRangeB", d.colorRangeB, 0, 100);
    f.Finish();
    return d;
}

BrushDesc SceneParser::ReadBrush(const Json& value, const std::string& where) const {
    Fields f(*this, value, where);
    BrushDesc brush;
    if (const Json* color = f.Find("color")) brush.color = Color(*color, f.PathOf("color"));
    f.Float("colorMapOpacity", brush.colorMapOpacity, 0, 100);
    MapName(f, "colorMap", brush.colorMap);
    MapName(f, "sizeMap", brush.sizeMap);
    f.Bool("colorMapEnable", brush.colorMapEnable);
    f.Enum("blend", brush.blend, kBlendNames, 15);
    f.Float("alpha", brush.alpha, 0, 100);
    f.Float("size", brush.size, 0.001, 100);
    f.Float("sizeMapAmount", brush.sizeMapAmount, 0, 100);
    f.Bool("sizeMapEnable", brush.sizeMapEnable);
    if (const Json* detail = f.Find("detail"))
        brush.detail = ReadDetail(*detail, f.PathOf("detail"));
    f.Finish();
    return brush;
}

void SceneParser::ReadEdgeSwitches(Fields& f, const std::string& suffix,
                                   EdgeSwitchesDesc& e) const {
    const auto bit = [&](const char* base, bool& out) { f.Bool(base + suffix, out); };
    bit("edgeOutline", e.edgeOutline);
    bit("openEdgeOutline", e.openEdgeOutline);
    bit("groupOutline", e.groupOutline);
    bit("edgeObject", e.edgeObject);
    bit("openEdgeObject", e.openEdgeObject);
    bit("edgeIsect", e.edgeIsect);
    bit("edgeSelfIsect", e.edgeSelfIsect);
    bit("edgeSmooth", e.edgeSmooth);
    bit("edgeMatID", e.edgeMatID);
    bit("edgeNormal", e.edgeNormal);
    f.Float("edgeNormalMax" + suffix, e.edgeNormalMax, 0, 180);
    f.Float("edgeNormalMin" + suffix, e.edgeNormalMin, 0, 180);
    bit("edgeWire", e.edgeWire);
    bit("edgeSel", e.edgeSel);
    bit("specificOutlineEnable", e.specificOutlineEnable);
    bit("specificObjectEnable", e.specificObjectEnable);
    bit("specificIsectEnable", e.specificIsectEnable);
    bit("specificSmoothEnable", e.specificSmoothEnable);
    bit("specificMatIDEnable", e.specificMatIDEnable);
    bit("specificNormalEnable", e.specificNormalEnable);
    bit("specificWireEnable", e.specificWireEnable);
    bit("specificSelEnable", e.specificSelEnable);
    bit("sizeReductionEnable", e.sizeReductionEnable);
    bit("alphaReductionEnable", e.alphaReductionEnable);
}

ReductionDesc SceneParser::ReadReduction(const Json& value, const std::string& where) const {
    Fields f(*this, value, where);
    ReductionDesc reduction;
    f.Float("start", reduction.start, 1, 1000000);
    f.Float("end", reduction.end, 1, 1000000);
    f.Bool("objectEnable", reduction.objectEnable);
    if (const Json* node = f.Find("objectNode"); node && !node->is_null()) {
        reduction.objectNode = String(*node, f.PathOf("objectNode"));
        if (!objectIndex_.contains(reduction.objectNode))
            Fail(f.PathOf("objectNode"), "no object named " + Quoted(reduction.objectNode));
    }
    f.Curve("curve", reduction.curve);
    f.Finish();
    return reduction;
}

int32_t SceneParser::BrushSlot(const Json& value, const std::string& where) {
    if (value.is_null()) return -1;
    if (value.is_string()) {
        const auto it = brushIndex_.find(value.get<std::string>());
        if (it == brushIndex_.end())
            Fail(where, "no brush named " + Shown(value) + " in \"brushes\"");
        return it->second;
    }
    if (!value.is_object()) Fail(where, "expected a brush { ... }, a brush name or null");
    scene_.brushes.push_back(ReadBrush(value, where));
    return int32_t(scene_.brushes.size() - 1);
}

LineSetDesc SceneParser::ReadLineSet(const Json& value, const std::string& where) {
    Fields f(*this, value, where);
    LineSetDesc set;
    if (const Json* load = f.Find("load")) {
        std::filesystem::path file = String(*load, f.PathOf("load"));
        if (file.is_relative()) file = folder_ / file;
        set.load = file.string();
        for (const auto& [key, item] : value.items()) set.given.insert(key);
    }
    if (const Json* name = f.Find("name")) set.name = String(*name, f.PathOf("name"));
    f.Bool("enable", set.enable);
    f.Int("ID", set.ID, 1, 8);
    f.Bool("weldEdgesBetweenObjects", set.weldEdgesBetweenObjects);
    f.Bool("maskHiddenLinesOfOtherLinesets", set.maskHiddenLinesOfOtherLinesets);
    if (const Json* objects = f.Find("objects")) {
        const std::string at = f.PathOf("objects");
        if (objects->is_string() && objects->get<std::string>() == "all") {
            set.allObjects = true;
        } else if (objects->is_array()) {
            set.allObjects = false;
            for (size_t i = 0; i < objects->size(); ++i) {
                const std::string name = String((*objects)[i], Element(at, i));
                if (!objectIndex_.contains(name))
                    Fail(Element(at, i), "no object named " + Quoted(name));
                // An object belongs to one line set at most.
                const auto [owner, added] = objectOwner_.emplace(name, where);
                if (!added) Fail(Element(at, i), Quoted(name) + " is already in " + owner->second);
                set.objects.push_back(name);
            }
        } else {
            Fail(at, "expected \"all\" or an array of object names");
        }
    }
    for (int v = 0; v < 2; ++v) ReadEdgeSwitches(f, v == 0 ? "Visible" : "Hidden", set.edges[v]);
    for (int v = 0; v < 2; ++v) {
        for (int s = 0; s < kBrushSlotCount; ++s) {
            const std::string key = std::string(kBrushSlotNames[s]) + (v == 0 ? "" : "_Hidden");
            if (const Json* slot = f.Find(key)) {
                set.brushSlots[v][s] = BrushSlot(*slot, f.PathOf(key));
            } else if (!set.load.empty()) {
                set.brushSlots[v][s] = kSlotFromFile;
            } else {
                set.brushSlots[v][s] = int32_t(scene_.brushes.size());
                scene_.brushes.emplace_back().fresh = true;
            }
        }
        const std::string suffix = v == 0 ? "" : "_Hidden";
        for (int kind = 0; kind < 2; ++kind) {
            const std::string key = (kind == 0 ? "sizeReduction" : "alphaReduction") + suffix;
            if (const Json* reduction = f.Find(key)) {
                set.reductions[v][kind] = ReadReduction(*reduction, f.PathOf(key));
                set.reductionGiven[v][kind] = true;
            }
        }
    }
    f.Finish();
    return set;
}

ShadingDesc SceneParser::ReadShading(const Json& value, const std::string& where) const {
    static constexpr const char* kFilters[] = {"box", "tent", "gaussian", "mitchell"};
    Fields fields(*this, value, where);
    ShadingDesc shading;
    shading.where = where;
    fields.Bool("enabled", shading.enabled);
    if (const Json* samples = fields.Find("samples")) {
        shading.samples = Whole(*samples, fields.PathOf("samples"), 1, 16);
        if (shading.samples != 1 && shading.samples != 4 && shading.samples != 8 &&
            shading.samples != 16)
            Fail(fields.PathOf("samples"), "expected 1, 4, 8 or 16 samples per pixel");
    }
    if (const Json* filter = fields.Find("filter"))
        shading.filter = Choice(*filter, fields.PathOf("filter"), kFilters);
    fields.Float("filterRadius", shading.filterRadius, 0.5, 4);
    fields.Bool("adaptive", shading.adaptive);
    fields.Float("adaptiveThreshold", shading.adaptiveThreshold, 0.001, 1);
    fields.Int("adaptiveSamples", shading.adaptiveSamples, 1, 64);
    if (shading.adaptiveSamples < shading.samples) {
        Fail(fields.PathOf("adaptiveSamples"),
             std::to_string(shading.adaptiveSamples) + " is fewer than the " +
                 std::to_string(shading.samples) + " samples every pixel gets");
    }
    fields.Int("maxRayDepth", shading.maxRayDepth, 0, 16);
    fields.Int("maxTransparencyLayers", shading.maxTransparencyLayers, 1, 64);
    fields.Bool("shadows", shading.shadows);
    if (const Json* ambient = fields.Find("ambient"))
        shading.ambient = Color(*ambient, fields.PathOf("ambient"));
    if (const Json* environment = fields.Find("environment"))
        shading.environment = String(*environment, fields.PathOf("environment"));
    if (const Json* gradient = fields.Find("backgroundGradient")) {
        const std::string at = fields.PathOf("backgroundGradient");
        if (!gradient->is_array() || gradient->size() != 2)
            Fail(at, "expected [top colour, bottom colour]");
        shading.gradient = true;
        shading.gradientTop = Color((*gradient)[0], at + "[0]");
        shading.gradientBottom = Color((*gradient)[1], at + "[1]");
    }
    fields.Finish();
    return shading;
}

SceneDescription SceneParser::Parse(const std::string& text) {
    Json root;
    try {
        root = Json::parse(text, DuplicateKeyCheck(file_), true, true);
    } catch (const Json::exception& e) {  // syntax errors and number overflow
        throw InputError((file_.empty() ? "" : file_ + ": ") + ParseErrorText(e.what()));
    }
    if (!root.is_object()) {
        throw InputError((file_.empty() ? "" : file_ + ": ") +
                         "expected a JSON object { ... } at the top level");
    }
    scene_.path = file_;
    Fields top(*this, root, "");
    const auto fail = [this](const std::string& where, const std::string& what) {
        Fail(where, what);
    };
    if (const Json* maps = top.Find("maps")) {
        scene_.maps = ReadClassedSection(*maps, "maps", fail);
        for (const ClassedDesc& map : scene_.maps) mapNames_.insert(map.name);
    }
    if (const Json* materials = top.Find("materials")) {
        scene_.materials = ReadClassedSection(*materials, "materials", fail);
        for (const ClassedDesc& material : scene_.materials) materialNames_.insert(material.name);
    }

    if (const Json* objects = top.Find("objects")) {
        if (!objects->is_array()) Fail("objects", "expected an array of objects");
        for (size_t i = 0; i < objects->size(); ++i) {
            scene_.objects.push_back(ReadObject((*objects)[i], Element("objects", i)));
            objectIndex_[scene_.objects.back().name] = int32_t(i);
        }
    }
    if (const Json* camera = top.Find("camera")) scene_.camera = ReadCamera(*camera, "camera");
    ReadOptions(top, scene_.options);
    if (const Json* brushes = top.Find("brushes")) {
        if (!brushes->is_object()) Fail("brushes", "expected an object of named brushes");
        for (const auto& [name, brush] : brushes->items()) {
            if (name.empty()) Fail("brushes", "a brush name must not be empty");
            scene_.brushes.push_back(ReadBrush(brush, Child("brushes", name)));
            scene_.brushes.back().name = name;
            brushIndex_[name] = int32_t(scene_.brushes.size() - 1);
        }
    }
    if (const Json* lineSets = top.Find("linesets")) {
        if (!lineSets->is_array()) Fail("linesets", "expected an array of line sets");
        for (size_t i = 0; i < lineSets->size(); ++i)
            scene_.lineSets.push_back(ReadLineSet((*lineSets)[i], Element("linesets", i)));
    } else {
        scene_.lineSets.push_back(NewLineSet(scene_.brushes));
    }
    if (const Json* animation = top.Find("animation"))
        scene_.animation = ReadAnimation(*animation, "animation", fail);
    if (const Json* keys = top.Find("keys"))
        scene_.tracks = ReadTracks(*keys, "keys", scene_.animation, fail);
    if (const Json* effects = top.Find("effects")) {
        scene_.effects = ReadEffects(*effects, "effects", fail);
        ReadLineEffects(root);
    }
    if (const Json* elements = top.Find("renderElements"))
        scene_.renderElements = ReadRenderElements(*elements, "renderElements", fail);
    if (const Json* lights = top.Find("lights"))
        scene_.lights = ReadClassedSection(*lights, "lights", fail);
    if (const Json* shading = top.Find("shading")) {
        scene_.shading = ReadShading(*shading, "shading");
        if (!scene_.shading.environment.empty() &&
            !mapNames_.contains(scene_.shading.environment)) {
            Fail("shading.environment",
                 "no map named \"" + scene_.shading.environment + "\" in \"maps\"");
        }
    }
    top.Finish();
    return std::move(scene_);
}

}  // namespace

SceneDescription ParseScene(const std::string& jsonText, const std::string& path) {
    return SceneParser(path).Parse(jsonText);
}

SceneDescription ReadSceneFile(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) throw InputError(path + ": no such file");
    if (std::filesystem::is_directory(status)) {
        throw InputError(path + ": is a directory, expected a scene file");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw InputError(path + ": read error");
    return ParseScene(text.str(), path);
}

BrushDesc HiddenLineBrush() {
    BrushDesc brush;
    brush.color = {0.55f, 0.55f, 0.55f};
    brush.size = 0.6f;
    brush.detail.strokeStyle = 1;  // dashed
    brush.detail.strokeLength = 4.0f;
    brush.detail.strokeSpace = 3.0f;
    return brush;
}

SceneDescription SceneForModels(const std::vector<std::string>& files,
                                const ModelJobOptions& options) {
    SceneDescription scene;
    std::set<std::string> names;
    const auto uniqueName = [&names](const std::string& base) {
        std::string name = base;
        for (int n = 2; !names.insert(name).second; ++n)
            name = base + " (" + std::to_string(n) + ")";
        return name;
    };
    if (!options.builtin.empty()) {
        const std::vector<std::string> known = BuiltinSceneNames();
        if (std::find(known.begin(), known.end(), options.builtin) == known.end()) {
            std::string list;
            for (const std::string& n : known) list += (list.empty() ? "" : ", ") + n;
            throw InputError("--builtin " + options.builtin + ": no such built-in scene (" + list +
                             ")");
        }
        ObjectDesc object;
        object.source = ObjectSource::kBuiltin;
        object.builtin = options.builtin;
        object.name = uniqueName(options.builtin);
        scene.objects.push_back(std::move(object));
    }
    for (const std::string& file : files) {
        const std::string problem = ModelFileProblem(file);
        if (!problem.empty()) throw InputError(file + ": " + problem);
        ObjectDesc object;
        object.file = file;
        object.up = options.up;
        object.weld = options.weld;
        object.name = uniqueName(std::filesystem::path(file).filename().string());
        scene.objects.push_back(std::move(object));
    }
    LineSetDesc set = NewLineSet(scene.brushes);
    // Creases by the angle of their faces too: a file's normals may call a hard edge smooth (PLY
    // writers that store one averaged normal per vertex do), and a drawing should still show it.
    // From 40 degrees, where files without normals stop being smoothed.
    for (EdgeSwitchesDesc& edges : set.edges) {
        edges.edgeNormal = true;
        edges.edgeNormalMin = kDefaultCreaseAngleDeg;
    }
    if (options.hidden) {
        for (int32_t slot : set.brushSlots[1]) scene.brushes[size_t(slot)] = HiddenLineBrush();
    } else {
        SwitchAllEdgesOff(set.edges[1]);
    }
    scene.lineSets.push_back(std::move(set));
    return scene;
}

}  // namespace KvrnApp
