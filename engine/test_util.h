// Scene builders shared by the engine tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "line_effect.h"
#include "scene.h"

namespace KvrnLib::test {

// Perspective camera at `eye` looking at `target` (world Z up), f pixels focal length.
Camera LookAtCamera(Point3 eye, Point3 target, int width, int height, float focalPixels);
// Parallel camera looking along -Z from above at `target`, k pixels per unit.
Camera TopParallelCamera(Point3 target, int width, int height, float pixelsPerUnit);

// Axis-aligned box from min to max: 12 triangles, outward winding, diagonals invisible,
// one smoothing group per side. Transforms set for `camera`.
std::shared_ptr<RenderObject> MakeBox(Point3 min, Point3 max, const Camera& camera);
// UV sphere of radius r at c, smooth (one smoothing group), corner normals radial.
std::shared_ptr<RenderObject> MakeSphere(Point3 c, float r, int segments, int rings,
                                         const Camera& camera);

// Detection of one line set that every one of `objectCount` objects belongs to, drawing the
// `visible` and `hidden` edge kinds; open edges count as outline and object edges.
LineDetectionSettings DetectingKinds(int objectCount, const std::vector<int>& visible,
                                     const std::vector<int>& hidden, bool selfIsect = false);

// Two bars of 2 x 0.4 x 0.4 crossing at the origin along X and Y, as one object: it
// intersects itself.
std::shared_ptr<RenderObject> MakeCrossedBars(const Camera& camera);
// Face `face` of `object` over three new vertices at its corners, as an unwelded mesh has it;
// the face is returned, not added.
FaceRecord UnweldedCopy(RenderObject& object, int32_t face);

// A host delegate that counts abort polls (every stage run polls when it ends, so the count
// shows whether a stage ran) and reports `abort`.
class PollCountingDelegate : public LineEffectDelegate {
  public:
    bool IsQuiet() override { return false; }
    void SetMessage(const char*) override {}
    void SetThreadMessage(int, const char*) override {}
    void SetProgress(float) override {}
    void SetThreadProgress(int, float) override {}
    bool IsAborted() override {
        ++polls;
        return abort;
    }
    int polls = 0;
    bool abort = false;
};

}  // namespace KvrnLib::test
