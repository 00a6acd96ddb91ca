// The render driver's settings step: a scene description's line options, line sets, brushes and
// reductions turned into the engine's detection, connection and draw records for one frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "connection.h"
#include "detection_settings.h"
#include "draw_settings.h"
#include "scene_description.h"

namespace KvrnApp {

// Every line set of the description counts, disabled ones too: they keep their place in the
// line-set order (and hold their objects) but detect nothing (LineSetDetection::Disabled()).
struct EngineLineSettings {
    KvrnLib::LineDetectionSettings detection;
    std::vector<KvrnLib::ConnectSettings> connect;  // one per counted line set, unscaled
    KvrnLib::DrawSettings draw;                     // sizes already multiplied by the size scale
    std::vector<std::wstring> layerNames;  // per counted line set: its name (vector layers)
    std::vector<int32_t>
        lineSetIndex;         // per counted line set: index into SceneDescription::lineSets
    int32_t threadCount = 1;  // from `multithread` and the cores available
    float sizeScale = 1.0f;
};

// objectDescIndex: per render object in engine scene order, the index of its ObjectDesc (several
// render objects may come from one ObjectDesc; a negative index: no ObjectDesc, no line set).
// imageHeight: the output height in pixels. Throws InputError naming the scene file, line set and
// slot or value for unknown object names, brush indices outside `brushes`, unsupported options
// and brush values the engine rejects; std::out_of_range for an objectDescIndex entry past the
// end of `objects`.
EngineLineSettings BuildEngineSettings(const SceneDescription& scene,
                                       const std::vector<int32_t>& objectDescIndex,
                                       int32_t imageHeight, int32_t availableCores);

// The over-sampling drawing uses for a scene's overSampling: 1, 2 and 4 as they are, 3 rounded
// up to 4 (the fragment buffer's coarse mask needs a power of two); 0 for a value outside 1 to 4.
int32_t DrawOversampling(int32_t overSampling);

// y(x) of a falloff curve: cubic Bezier segments between the points in x order, each segment's x
// solved for its parameter. Left of the first point and right of the last the end values hold;
// a curve without points gives 1.
float EvaluateCurve(const CurveDesc& curve, float x);

}  // namespace KvrnApp
