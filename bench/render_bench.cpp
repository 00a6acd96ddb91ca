// The benchmark suite run end to end through `kovrin render` (import, set-up, detection,
// connection, drawing, writing) with 1 and 2 threads; prints one table and writes it as JSON.
//   kvrn_render_bench KOVRIN_BINARY OUTPUT_FOLDER
// The inputs are made in OUTPUT_FOLDER from the public models: the bunny, the bunny subdivided
// twice (1.1M triangles) as OBJ and as binary STL, and a crowd of 100 overlapping model instances.
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench_models.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using KvrnBench::TriangleMesh;
using KvrnLib::Point3;

void WriteObj(const fs::path& path, const TriangleMesh& mesh) {
    std::ofstream out(path);
    out << std::setprecision(9);
    for (const Point3& v : mesh.vertices) out << "v " << v.x << ' ' << v.y << ' ' << v.z << '\n';
    for (const auto& f : mesh.faces) {
        out << "f " << f[0] + 1 << ' ' << f[1] + 1 << ' ' << f[2] + 1 << '\n';
    }
    if (!out) throw std::runtime_error(path.string() + ": cannot write");
}

// Binary STL: every triangle on its own with its facet normal, as CAD and printing tools write.
void WriteStl(const fs::path& path, const TriangleMesh& mesh) {
    std::ofstream out(path, std::ios::binary);
    const char header[80] = "kovrin benchmark";
    out.write(header, sizeof header);
    const uint32_t count = uint32_t(mesh.faces.size());
    out.write(reinterpret_cast<const char*>(&count), 4);
    for (const auto& f : mesh.faces) {
        const Point3 a = mesh.vertices[f[0]], b = mesh.vertices[f[1]], c = mesh.vertices[f[2]];
        Point3 n = KvrnLib::Cross(b - a, c - a);
        const float length = std::sqrt(KvrnLib::Dot(n, n));
        if (length > 0) n = n * (1.0f / length);
        const Point3 record[4] = {n, a, b, c};
        out.write(reinterpret_cast<const char*>(record), sizeof record);
        const uint16_t attributes = 0;
        out.write(reinterpret_cast<const char*>(&attributes), 2);
    }
    if (!out) throw std::runtime_error(path.string() + ": cannot write");
}

// The crowd of the detection benchmark: eight models in turn, each centred, about 2.4 units
// across, turned 0.7 rad more than the one before, on a 10 x 10 grid of pitch 1.5.
void WriteCrowd(const fs::path& path) {
    const char* names[] = {"stanford-bunny.obj", "fandisk.obj",       "rocker-arm.obj",
                           "spot.obj",           "teapot.obj",        "cow.obj",
                           "suzanne.obj",        "stanford-bunny.obj"};
    nlohmann::json objects = nlohmann::json::array();
    for (int i = 0; i < 100; ++i) {
        const std::string name = names[i % 8];
        // The importer turns the file's Y-up axes to Z-up as ModelMesh does; ModelMesh also
        // centres the box, which the scene does through the position.
        const TriangleMesh raw = KvrnBench::LoadObj(KvrnBench::ModelPath(name));
        KvrnLib::Box3 box;
        for (const Point3& v : raw.vertices) box.Add(Point3{v.x, -v.z, v.y});
        const Point3 centre = (box.min + box.max) * 0.5f;
        float radius = 0;
        for (const Point3& v : KvrnBench::ModelMesh(name, 0).vertices) {
            radius = std::max(radius, std::sqrt(KvrnLib::Dot(v, v)));
        }
        const float scale = 1.2f / radius, angle = 0.7f * float(i);
        const float c = std::cos(angle) * scale, s = std::sin(angle) * scale;
        const Point3 at{1.5f * float(i % 10), 1.5f * float(i / 10), 0.3f * float((i * 7) % 5)};
        const Point3 turned{c * centre.x - s * centre.y, s * centre.x + c * centre.y,
                            scale * centre.z};
        objects.push_back({{"name", "m" + std::to_string(i)},
                           {"file", KvrnBench::ModelPath(name)},
                           {"scale", scale},
                           {"rotation", {0.0, 0.0, double(angle) * 180.0 / M_PI}},
                           {"position", {at.x - turned.x, at.y - turned.y, at.z - turned.z}}});
    }
    nlohmann::json scene = {{"camera", {{"width", 1920}, {"height", 1080}}}, {"objects", objects}};
    std::ofstream out(path);
    out << scene.dump(2) << '\n';
    if (!out) throw std::runtime_error(path.string() + ": cannot write");
}

// A scene with the peer comparison's line set: the model under the default camera, visible
// outlines, object borders, intersections, material borders and creases of 40 to 180 degrees,
// in a 1-pixel black brush.
void WritePeerScene(const fs::path& path, const fs::path& model) {
    nlohmann::json set = {
        {"name", "peer"}, {"objects", "all"}, {"brush", {{"color", "#000000"}, {"size", 1.0}}}};
    for (const std::string side : {"Visible", "Hidden"}) {
        const bool on = side == "Visible";
        for (const char* kind :
             {"edgeOutline", "edgeObject", "edgeIsect", "edgeSelfIsect", "edgeMatID", "edgeNormal"})
            set[kind + side] = on;
        for (const char* kind : {"edgeSmooth", "edgeWire", "edgeSel"}) set[kind + side] = false;
        set["edgeNormalMin" + side] = 40;
        set["edgeNormalMax" + side] = 180;
    }
    const nlohmann::json scene = {
        {"lineSizeType", "Absolute"},
        {"objects", {{{"name", "m"}, {"file", fs::absolute(model).string()}}}},
        {"linesets", {set}}};
    std::ofstream out(path);
    out << scene.dump(1) << '\n';
    if (!out) throw std::runtime_error(path.string() + ": cannot write");
}

// The demo scene with the camera orbiting its target once over `frames` frames: eight keys around
// the circle at the demo eye's distance and height.
void WriteOrbit(const fs::path& path, int frames) {
    nlohmann::ordered_json scene = nlohmann::ordered_json::parse(
        std::ifstream(fs::path(KVRN_SCENES_DIR) / "demo.json"), nullptr, true, true);
    const auto& camera = scene["camera"];
    const double ex = camera["eye"][0], ey = camera["eye"][1], ez = camera["eye"][2];
    const double tx = camera["target"][0], ty = camera["target"][1];
    const double radius = std::hypot(ex - tx, ey - ty), start = std::atan2(ey - ty, ex - tx);
    nlohmann::ordered_json keys = nlohmann::ordered_json::array();
    constexpr int kKeys = 8;
    for (int k = 0; k <= kKeys; ++k) {
        const double angle = start + 2 * M_PI * k / kKeys;
        keys.push_back({(frames - 1) * k / kKeys,
                        {tx + radius * std::cos(angle), ty + radius * std::sin(angle), ez}});
    }
    scene["animation"] = {{"frameRate", 24}, {"start", 0}, {"end", frames - 1}};
    scene["keys"] = {{"camera", {{"eye", keys}}}};
    std::ofstream(path) << scene.dump(2) << '\n';
}

// A model file or a scene file shaded: the scene's objects (or the model) with a grey standard
// material, a key light casting ray-traced shadows and a fill light (casting them too when
// asked), 4 samples per pixel.
void WriteShadedScene(const fs::path& path, const fs::path& input, bool fillShadows) {
    nlohmann::json scene;
    if (input.extension() == ".json") {
        std::ifstream(input) >> scene;
    } else {
        scene = {{"camera", {{"width", 1920}, {"height", 1080}}},
                 {"objects", {{{"name", "m"}, {"file", fs::absolute(input).string()}}}}};
    }
    scene["materials"] = {
        {"grey", {{"class", "Standard"}, {"specularLevel", 40}, {"glossiness", 35}}}};
    for (auto& object : scene["objects"]) object["material"] = "grey";
    // Directional lights: the model's size does not matter to them.
    scene["lights"] = {{"key",
                        {{"class", "Directional"},
                         {"position", {-1.0, -1.5, 2.0}},
                         {"target", {0, 0, 0}},
                         {"castShadows", true}}},
                       {"fill",
                        {{"class", "Directional"},
                         {"position", {2.0, -0.5, 0.5}},
                         {"target", {0, 0, 0}},
                         {"multiplier", 0.4},
                         {"castShadows", fillShadows}}}};
    // Exactly 4 samples per pixel: adaptive refinement (on by default) would add up to 16 on
    // every pixel that differs from a neighbour, and the crowd has many.
    scene["shading"] = {{"samples", 4}, {"adaptive", false}, {"ambient", {0.1, 0.1, 0.1}}};
    std::ofstream(path) << scene.dump(1) << '\n';
}

int Run(const std::vector<std::string>& args) {
    pid_t pid = 0;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: kvrn_render_bench KOVRIN_BINARY OUTPUT_FOLDER\n";
        return 2;
    }
    const std::string kovrin = argv[1];
    const fs::path folder = argv[2];
    struct Input {
        std::string label;
        fs::path path;
    };
    std::vector<Input> inputs, peerInputs;
    try {
        if (!fs::exists(KvrnBench::ModelPath("stanford-bunny.obj"))) {
            std::cerr << "kvrn_render_bench: models folder missing (" << KvrnBench::ModelPath("")
                      << "): nothing to measure\n";
            return 0;
        }
        fs::create_directories(folder);
        const TriangleMesh bunny = KvrnBench::LoadObj(KvrnBench::ModelPath("stanford-bunny.obj"));
        const fs::path subdivided = folder / "bunny-subdivided.obj";
        const TriangleMesh dense =
            KvrnBench::SubdivideMidpoint(KvrnBench::SubdivideMidpoint(bunny));
        WriteObj(subdivided, dense);
        // STL is Z up: the same axes turn as the OBJ's, so both render the same view.
        TriangleMesh zUp = dense;
        for (Point3& v : zUp.vertices) v = {v.x, -v.z, v.y};
        const fs::path stl = folder / "bunny-subdivided.stl";
        WriteStl(stl, zUp);
        const fs::path crowd = folder / "crowd.json";
        WriteCrowd(crowd);
        inputs = {{"bunny", KvrnBench::ModelPath("stanford-bunny.obj")},
                  {"bunny subdivided", subdivided},
                  {"bunny subdiv. STL", stl},
                  {"crowd", crowd}};
        // The peer comparison's line set, one row per model, two threads.
        for (const char* name : {"fandisk.obj", "stanford-bunny.obj", "cow.obj", "spot.obj",
                                 "rocker-arm.obj", "teapot.obj", "suzanne.obj"}) {
            const fs::path model = KvrnBench::ModelPath(name);
            if (!fs::exists(model)) continue;
            const fs::path scene = folder / ("peer-" + model.stem().string() + ".json");
            WritePeerScene(scene, model);
            peerInputs.push_back({"peer " + model.stem().string(), scene});
        }
        const fs::path scene = folder / "peer-bunny-subdivided.json";
        WritePeerScene(scene, subdivided);
        peerInputs.push_back({"peer bunny subdiv.", scene});
    } catch (const std::exception& e) {
        std::cerr << "kvrn_render_bench: " << e.what() << "\n";
        return 1;
    }

    nlohmann::json table = nlohmann::json::array();
    std::cout << std::left << std::setw(21) << "model" << std::right << std::setw(9) << "triangles"
              << std::setw(9) << "strokes" << std::setw(4) << "thr" << std::setw(9) << "import"
              << std::setw(8) << "set-up" << std::setw(9) << "detect" << std::setw(9) << "connect"
              << std::setw(8) << "draw" << std::setw(8) << "write" << std::setw(9) << "total"
              << std::setw(10) << "peak MB" << std::setw(8) << "est/pk"
              << "\n";
    int failures = 0;
    std::vector<std::pair<Input, std::vector<int>>> runs;
    for (const Input& input : inputs) runs.push_back({input, {1, 2}});
    for (const Input& input : peerInputs) runs.push_back({input, {2}});
    for (const auto& [input, threadCounts] : runs) {
        for (const int threads : threadCounts) {
            // The file's extension stays in the name: the OBJ and the STL share a stem.
            std::string stem = input.path.filename().string() + "-" + std::to_string(threads);
            std::replace(stem.begin(), stem.end(), '.', '-');
            const fs::path stats = folder / (stem + ".json");
            // The line rows measure lines alone, as the peers draw them.
            const int code =
                Run({kovrin, "render", input.path.string(), "--quiet", "--no-shading", "--threads",
                     std::to_string(threads), "-o", (folder / (stem + ".png")).string(), "--eps",
                     (folder / (stem + ".eps")).string(), "--stats-json", stats.string()});
            if (code != 0) {
                std::cerr << "kvrn_render_bench: " << input.label << ": kovrin exited with " << code
                          << "\n";
                ++failures;
                continue;
            }
            nlohmann::json row;
            std::ifstream(stats) >> row;
            row["model"] = input.label;
            const nlohmann::json& ms = row["ms"];
            std::cout << std::left << std::setw(21) << input.label << std::right << std::fixed
                      << std::setprecision(0) << std::setw(9) << row["triangles"].get<int64_t>()
                      << std::setw(9) << row["strokes"].get<int64_t>() << std::setw(4) << threads
                      << std::setw(9) << ms["import"].get<double>() << std::setw(8)
                      << ms["setup"].get<double>() << std::setw(9) << ms["detect"].get<double>()
                      << std::setw(9) << ms["connect"].get<double>() << std::setw(8)
                      << ms["draw"].get<double>() << std::setw(8) << ms["write"].get<double>()
                      << std::setw(9) << ms["total"].get<double>() << std::setw(10)
                      << std::setprecision(1)
                      << row["peakMemoryBytes"].get<double>() / (1024.0 * 1024.0) << std::setw(8)
                      << std::setprecision(2)
                      << row["estimatedPeakBytes"].get<double>() /
                             row["peakMemoryBytes"].get<double>()
                      << "\n";
            table.push_back(row);
        }
    }
    std::cout << "(times in ms; peak memory is the process's resident peak, est/pk the memory "
                 "estimate made before work over it)\n";

    // Shaded frames with lines: a standard material, a key light casting ray-traced shadows and
    // a fill (with shadows too in the second row of each), 4 samples per pixel, 2 threads.
    std::cout << "\nshaded, 1920 x 1080, 2 threads:\n"
              << std::left << std::setw(21) << "model" << std::right << std::setw(10) << "triangles"
              << std::setw(11) << "shade set" << std::setw(9) << "shade" << std::setw(10)
              << "rays M" << std::setw(9) << "lines" << std::setw(9) << "total" << std::setw(10)
              << "peak MB"
              << "  (ms; target: bunny <= 400, crowd <= 1500 for set-up and shading)\n";
    for (const auto& [input, fillShadows] : {std::pair{inputs[0], false},
                                             {inputs[0], true},
                                             {inputs.back(), false},
                                             {inputs.back(), true}}) {
        const std::string stem =
            "shaded-" + input.path.stem().string() + (fillShadows ? "-2shadows" : "");
        const std::string label = input.label + (fillShadows ? ", 2 shadows" : "");
        const fs::path scene = folder / (stem + ".json");
        WriteShadedScene(scene, input.path, fillShadows);
        const fs::path stats = folder / (stem + "-stats.json");
        const int code = Run({kovrin, "render", scene.string(), "--quiet", "--threads", "2", "-o",
                              (folder / (stem + ".png")).string(), "--stats-json", stats.string()});
        if (code != 0) {
            std::cerr << "kvrn_render_bench: shaded " << label << ": kovrin exited with " << code
                      << "\n";
            ++failures;
            continue;
        }
        nlohmann::json row;
        std::ifstream(stats) >> row;
        const nlohmann::json& ms = row["ms"];
        std::cout << std::left << std::setw(21) << label << std::right << std::fixed
                  << std::setprecision(0) << std::setw(10) << row["triangles"].get<int64_t>()
                  << std::setw(11) << ms["shadeBuild"].get<double>() << std::setw(9)
                  << ms["shade"].get<double>() << std::setw(10) << std::setprecision(1)
                  << row["rays"].get<double>() / 1e6 << std::setprecision(0) << std::setw(9)
                  << ms["detect"].get<double>() + ms["connect"].get<double>() +
                         ms["draw"].get<double>()
                  << std::setw(9) << ms["total"].get<double>() << std::setw(10)
                  << std::setprecision(1)
                  << row["peakMemoryBytes"].get<double>() / (1024.0 * 1024.0) << "\n";
        row["model"] = "shaded " + label;
        table.push_back(row);
    }

    // An animation through the frame pipeline: every frame a PNG and an EPS.
    constexpr int kOrbitFrames = 48;
    const fs::path orbit = folder / "demo-orbit.json";
    WriteOrbit(orbit, kOrbitFrames);
    const fs::path orbitStats = folder / "demo-orbit-stats.json";
    const int code =
        Run({kovrin, "render", orbit.string(), "--quiet", "--no-shading", "--threads", "2", "-o",
             (folder / "orbit_####.png").string(), "--eps", (folder / "orbit_####.eps").string(),
             "--stats-json", orbitStats.string()});
    if (code != 0) {
        std::cerr << "kvrn_render_bench: demo orbit: kovrin exited with " << code << "\n";
        ++failures;
    } else {
        nlohmann::json row;
        std::ifstream(orbitStats) >> row;
        const double total = row["ms"]["total"].get<double>();
        std::cout << "demo orbit, lines only: " << kOrbitFrames
                  << " frames of 1920 x 1080, PNG and EPS each, "
                  << "2 threads: " << std::setprecision(0) << total << " ms, "
                  << std::setprecision(1) << kOrbitFrames * 1000.0 / total
                  << " frames per second (target 5)\n";
        row["model"] = "demo orbit";
        row["framesPerSecond"] = kOrbitFrames * 1000.0 / total;
        table.push_back(row);
    }
    const fs::path json =
        folder.parent_path().empty() ? fs::path("bench.json") : folder.parent_path() / "bench.json";
    std::ofstream(json) << table.dump(2) << '\n';
    std::cout << "wrote " << json.string() << "\n";
    return failures == 0 ? 0 : 1;
}
