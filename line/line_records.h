// The render driver's settings step on the settings objects: a line effect's options, line sets,
// brushes and reductions at a time t turned into the engine's detection, connection and draw
// records for one frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "connection.h"
#include "detection_settings.h"
#include "draw_settings.h"
#include "matrix3.h"
#include "time_value.h"

class INode;
class KvrnLine;
class KvrnLineset;

// Every non-null line set of the table counts, disabled ones too: they keep their place in the
// line-set order (and hold their objects) but detect nothing (LineSetDetection::Disabled()).
struct EngineLineRecords {
    KvrnLib::LineDetectionSettings detection;
    std::vector<KvrnLib::ConnectSettings> connect;  // one per counted line set, unscaled
    KvrnLib::DrawSettings draw;                     // sizes already multiplied by the size scale
    std::vector<std::wstring> layerNames;           // per counted line set: its name
    std::vector<int32_t> lineSetIndex;              // per counted line set: its index in the table
    int32_t threadCount = 1;                        // from `multithread` and the cores available
    float sizeScale = 1.0f;
};

// renderObjectNodes: per render object in engine scene order, the node it comes from (null: no
// node, no line set). A render object's line set is the lowest-indexed counted set whose objects
// (closed groups standing for their members) hold its node; per sub-material slot of the node's
// material (or the material itself when it has none), the lowest-indexed set holding it.
// imageHeight: output height in pixels (relative line sizes). cameraFromWorld: for reduction
// reference objects. Brush groups are ordered by the brushes' creation order, the same in every
// record.
// Throws std::invalid_argument naming the line set and slot for brush values the engine
// rejects, and for a non-positive image height with relative sizes.
EngineLineRecords BuildEngineRecords(KvrnLine& line, const std::vector<INode*>& renderObjectNodes,
                                     TimeValue t, int32_t imageHeight, int32_t availableCores,
                                     const Matrix3& cameraFromWorld = Matrix3());

// The over-sampling drawing uses for a line effect's overSampling: 1, 2 and 4 as they are, 3
// rounded up to 4 (the fragment buffer's coarse mask needs a power of two); 0 for a value
// outside 1 to 4.
int32_t DrawOversampling(int32_t overSampling);

// The detection record of one line set at t (which kinds per visibility, the outline, object
// and intersection flags, normal-angle cosines); Disabled() for a set switched off.
KvrnLib::LineSetDetection LineSetDetectionOf(KvrnLineset& set, TimeValue t);
