// The detection benchmarks' inputs, shared by the stages that run after detection: the bunny,
// the bunny subdivided twice (1.1M triangles) and a crowd of 100 overlapping model instances.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "connection.h"
#include "detection_result.h"
#include "detection_settings.h"
#include "scene.h"

namespace KvrnBench {

struct DetectInput {
    KvrnLib::Camera camera;
    std::vector<std::shared_ptr<KvrnLib::RenderObject>> objects;
    int64_t triangles = 0;
};

// 0: bunny; 1: bunny subdivided twice; 2: crowd of 100 instances on a 10 x 10 grid, each about
// 2.4 units across on a 1.5 unit pitch, so neighbours pass through each other. Made once per
// process; null (and the benchmark skipped) when the models folder is missing.
const DetectInput* Input(benchmark::State& state, int which);

// Visible and hidden lines of every kind except wire and normal angle, open edges included;
// intersection and self-intersection lines when `intersections`.
KvrnLib::LineDetectionSettings Settings(int objectCount, bool intersections);

// An input's scene and detection (with intersections), made once per process: the later stages
// relink or read the edges afresh on every run, so one detection serves every iteration.
struct Detected {
    std::unique_ptr<KvrnLib::Scene> scene;
    KvrnLib::DetectionResult result;
    int64_t pieces = 0;
};
Detected* Detection(benchmark::State& state, int which);

// Every kind to group 0, visible and hidden; split angle 60, link length 4.
KvrnLib::ConnectSettings OneGroup();

}  // namespace KvrnBench
