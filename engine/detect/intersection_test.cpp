#include "intersection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "edge_detect.h"
#include "test_util.h"

namespace KvrnLib {
namespace {

LineDetectionSettings IsectOnly(int objectCount, bool selfIsect) {
    return test::DetectingKinds(objectCount, {kEdgeIntersection}, {kEdgeIntersection}, selfIsect);
}

DetectionResult Detect(const Scene& scene, const LineDetectionSettings& settings) {
    DetectionResult result;
    ThreadManagerCore pool(2);
    DetectEdges(result, settings, scene, pool, nullptr);
    return result;
}

double Length(const EdgeList& list) {
    double total = 0;
    list.ForEach([&](const DetectedEdge& e) { total += e.length; });
    return total;
}

// Distance from p to the segment a-b.
float DistanceToSegment(Point2 p, Point2 a, Point2 b) {
    const float dx = b.x - a.x, dy = b.y - a.y;
    const float t =
        std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / (dx * dx + dy * dy), 0.f, 1.f);
    return std::hypot(p.x - a.x - t * dx, p.y - a.y - t * dy);
}

using Bound = FaceBoundingPack::Bound;

bool Contains(const Bound& outer, const Bound& inner) {
    return outer.screen.minX <= inner.screen.minX && outer.screen.minY <= inner.screen.minY &&
           outer.screen.maxX >= inner.screen.maxX && outer.screen.maxY >= inner.screen.maxY &&
           outer.minZ <= inner.minZ && outer.maxZ >= inner.maxZ;
}

// The tree covers every usable face once, each bound holds what lies below it, and the leaves
// are compact in depth as well as on screen: a leaf mixing the front and back of a closed
// object would bring every face behind it into the search.
TEST(Intersection, TreeOverShuffledSphereIsCompleteAndCompact) {
    const Camera camera = test::LookAtCamera({0, -8, 2}, {0, 0, 0}, 320, 240, 300);
    auto sphere = test::MakeSphere({0, 0, 0}, 1.0f, 48, 24, camera);
    std::mt19937 random(7);
    std::shuffle(sphere->faces.begin(), sphere->faces.end(), random);
    const Scene scene(camera, {sphere});
    const FaceBoundingPack& pack = scene.Info(0).FaceBounds();
    for (int leafFaces : {1, kISectLeafFaces, 1000}) {
        const auto tree = CalcISectTree(scene, 0, leafFaces);
        ASSERT_FALSE(tree->nodes.empty());
        std::vector<int> seen(sphere->faces.size(), 0);
        double leafVolume = 0;
        int mixed = 0;
        const Bound& root = tree->nodes[0].bound;
        const float middle = 0.5f * (root.minZ + root.maxZ);
        const auto volume = [](const Bound& b) {
            return double(b.screen.maxX - b.screen.minX) * double(b.screen.maxY - b.screen.minY) *
                   double(b.maxZ - b.minZ);
        };
        for (const ISectTree::Node& node : tree->nodes) {
            if (node.count == 0) {
                EXPECT_TRUE(Contains(node.bound, tree->nodes[size_t(node.index)].bound));
                EXPECT_TRUE(Contains(node.bound, tree->nodes[size_t(node.index) + 1].bound));
                continue;
            }
            EXPECT_LE(node.count, std::clamp(leafFaces, 1, kISectMaxLeafFaces));
            for (int k = node.index; k < node.index + node.count; ++k) {
                ++seen[size_t(pack.order[size_t(k)])];
                EXPECT_TRUE(Contains(node.bound, pack.bounds[size_t(k)]));
            }
            leafVolume += volume(node.bound);
            mixed += node.bound.minZ < middle - 0.3f && node.bound.maxZ > middle + 0.3f;
        }
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), int(seen.size()));
        // Leaves of 8 shuffled faces would fill the root hundreds of times over.
        if (leafFaces == kISectLeafFaces) {
            EXPECT_LT(leafVolume, volume(root));
            EXPECT_EQ(mixed, 0);
        }
    }
}

TEST(Intersection, BoxPokingThroughABoxGivesTheCrossingRectangle) {
    const Camera camera = test::LookAtCamera({8, -6, 5}, {0.5f, 0, 0}, 640, 480, 600);
    Scene scene(camera, {test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera),
                         test::MakeBox({0, -0.5f, -0.5f}, {2, 0.5f, 0.5f}, camera)});
    const DetectionResult result = Detect(scene, IsectOnly(2, false));
    // Pairs (0,0), (0,1), (1,1) are listed; only (0,1) has lines without self-intersection.
    ASSERT_EQ(result.pairs.size(), 3u);
    const IntersectionPair& pair = result.pairs[1];
    EXPECT_EQ(pair.objectA, 0);
    EXPECT_EQ(pair.objectB, 1);
    EXPECT_TRUE(result.pairs[0].visibleEdges.Empty());

    // The crossing lies in the plane x = 1: the square y, z in [-0.5, 0.5].
    const Point3 corners[4] = {
        {1, -0.5f, -0.5f}, {1, 0.5f, -0.5f}, {1, 0.5f, 0.5f}, {1, -0.5f, 0.5f}};
    Point2 screen[4];
    double perimeter = 0;
    for (int i = 0; i < 4; ++i)
        screen[i] = camera.Project(camera.worldToCam.PointTransform(corners[i]));
    for (int i = 0; i < 4; ++i)
        perimeter +=
            std::hypot(screen[(i + 1) % 4].x - screen[i].x, screen[(i + 1) % 4].y - screen[i].y);
    auto onSquare = [&](Point2 p) {
        float best = 1e30f;
        for (int i = 0; i < 4; ++i)
            best = std::min(best, DistanceToSegment(p, screen[i], screen[(i + 1) % 4]));
        return best;
    };
    for (const EdgeList* list : {&pair.visibleEdges, &pair.hiddenEdges})
        list->ForEach([&](const DetectedEdge& e) {
            EXPECT_EQ(e.kind, kEdgeIntersection);
            EXPECT_LT(onSquare(e.p0), 0.05f);
            EXPECT_LT(onSquare(e.p1), 0.05f);
            EXPECT_GE(e.secondObject, 0);
        });
    EXPECT_NEAR(Length(pair.visibleEdges) + Length(pair.hiddenEdges), perimeter, 0.01 * perimeter);
    // Seen from the +x, -y side, two sides of the square face the viewer, two lie behind box 1.
    EXPECT_GT(Length(pair.visibleEdges), 0.3 * perimeter);
    EXPECT_GT(Length(pair.hiddenEdges), 0.3 * perimeter);
}

TEST(Intersection, TouchingBoxesCoveredCrossingsAndSelfIntersection) {
    const Camera camera = test::LookAtCamera({8, -6, 5}, {0, 0, 0}, 640, 480, 600);
    {  // Face to face: parallel normals make no line.
        Scene scene(camera, {test::MakeBox({-1, -1, -1}, {0, 1, 1}, camera),
                             test::MakeBox({0, -0.5f, -0.5f}, {1, 0.5f, 0.5f}, camera)});
        const DetectionResult result = Detect(scene, IsectOnly(2, false));
        for (const IntersectionPair& pair : result.pairs) {
            EXPECT_TRUE(pair.visibleEdges.Empty());
            EXPECT_TRUE(pair.hiddenEdges.Empty());
        }
    }
    {  // Two crossing slabs under a big box between them and the camera: only hidden lines.
        const Camera above = test::LookAtCamera({0, -3, 12}, {0, 0, 0}, 400, 300, 300);
        Scene scene(above, {test::MakeBox({-1, -0.1f, -1}, {1, 0.1f, 0}, above),
                            test::MakeBox({-0.1f, -1, -1}, {0.1f, 1, 0.5f}, above),
                            test::MakeBox({-4, -4, 3}, {4, 4, 4}, above)});
        const DetectionResult result = Detect(scene, IsectOnly(3, false));
        double visible = 0, hidden = 0;
        for (const IntersectionPair& pair : result.pairs) {
            visible += Length(pair.visibleEdges);
            hidden += Length(pair.hiddenEdges);
        }
        EXPECT_EQ(visible, 0.0);
        EXPECT_GT(hidden, 10.0);
    }
    {  // A torus-like self-crossing: two boxes merged into one object cross each other.
        const auto merged = test::MakeCrossedBars(camera);
        Scene scene(camera, {merged});
        EXPECT_TRUE(Detect(scene, IsectOnly(1, false)).pairs[0].visibleEdges.Empty());
        const DetectionResult self = Detect(scene, IsectOnly(1, true));
        ASSERT_EQ(self.pairs.size(), 1u);
        EXPECT_FALSE(self.pairs[0].visibleEdges.Empty());
        self.pairs[0].visibleEdges.ForEach(
            [](const DetectedEdge& e) { EXPECT_EQ(e.secondObject, -1); });
    }
}

// A sphere centred on a box face has two meridians lying exactly in the face: its triangles only
// touch the face plane there. The line must still follow them, as long as with the sphere moved
// off the plane by a hair.
TEST(Intersection, EdgesLyingInTheOtherSurfaceStillMeetIt) {
    const Camera camera = test::LookAtCamera({3, -6, 4}, {0, -1, 0}, 640, 480, 600);
    auto total = [&](float offset) {
        Scene scene(camera, {test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera),
                             test::MakeSphere({0, -1 + offset, 0}, 0.5f, 24, 12, camera)});
        const DetectionResult result = Detect(scene, IsectOnly(2, false));
        double length = 0;
        for (const IntersectionPair& pair : result.pairs)
            length += Length(pair.visibleEdges) + Length(pair.hiddenEdges);
        return length;
    };
    const double exact = total(0.0f), nearby = total(0.002f);
    EXPECT_GT(nearby, 100.0);
    EXPECT_NEAR(exact, nearby, 0.03 * nearby);
}

}  // namespace
}  // namespace KvrnLib
