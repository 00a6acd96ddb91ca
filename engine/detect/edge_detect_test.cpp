#include "edge_detect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "render_object_info.h"
#include "stage_runner.h"
#include "test_util.h"

namespace KvrnLib {
namespace {

// Outline, object, smoothing, material and selected edges (and intersections), visible and
// optionally hidden.
LineDetectionSettings OneLineSet(int objectCount, bool hiddenLines, bool intersections = false) {
    std::vector<int> kinds{kEdgeOutline, kEdgeObject, kEdgeSmoothing, kEdgeMaterialID,
                           kEdgeSelected};
    if (intersections) kinds.push_back(kEdgeIntersection);
    return test::DetectingKinds(objectCount, kinds, hiddenLines ? kinds : std::vector<int>{},
                                intersections);
}

struct Piece {
    int hidden, kind, object;
    float x0, y0, x1, y1;
};

std::vector<Piece> Pieces(const DetectionResult& result) {
    std::vector<Piece> pieces;
    for (const LineSetEdges& set : result.lineSets)
        for (int hidden = 0; hidden < 2; ++hidden)
            for (const ObjectEdges& object : hidden ? set.hidden : set.visible)
                for (const EdgeList& list : object.kinds)
                    list.ForEach([&](const DetectedEdge& e) {
                        pieces.push_back(
                            {hidden, e.kind, e.object, e.p0.x, e.p0.y, e.p1.x, e.p1.y});
                    });
    for (const IntersectionPair& pair : result.pairs)
        for (int hidden = 0; hidden < 2; ++hidden)
            (hidden ? pair.hiddenEdges : pair.visibleEdges).ForEach([&](const DetectedEdge& e) {
                pieces.push_back({hidden, e.kind, e.object, e.p0.x, e.p0.y, e.p1.x, e.p1.y});
            });
    std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) {
        return std::tie(a.hidden, a.kind, a.object, a.x0, a.y0, a.x1, a.y1) <
               std::tie(b.hidden, b.kind, b.object, b.x0, b.y0, b.x1, b.y1);
    });
    return pieces;
}

DetectionResult Detect(const Scene& scene, const LineDetectionSettings& settings, int threads) {
    DetectionResult result;
    ThreadManagerCore pool(threads);
    DetectEdges(result, settings, scene, pool, DefaultLineEffectDelegate().lock());
    return result;
}

TEST(EdgeDetect, CubeGivesItsNineVisibleEdgesAndNoHiddenLines) {
    const Camera camera = test::LookAtCamera({6, -5, 4}, {0, 0, 0}, 320, 240, 400);
    Scene scene(camera, {test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera)});
    const std::vector<Piece> pieces = Pieces(Detect(scene, OneLineSet(1, true), 2));
    int outline = 0, smoothing = 0;
    for (const Piece& p : pieces) {
        EXPECT_EQ(p.hidden, 0) << "edges between back faces are no lines";
        outline += p.kind == kEdgeOutline;
        smoothing += p.kind == kEdgeSmoothing;
        EXPECT_TRUE(p.kind == kEdgeOutline || p.kind == kEdgeSmoothing) << p.kind;
    }
    EXPECT_EQ(outline, 6);
    EXPECT_EQ(smoothing, 3);
}

TEST(EdgeDetect, RearBoxOutlineIsHiddenWhereTheFrontBoxCoversIt) {
    // Top view, parallel: the front box (higher) covers the right half of the rear box's top.
    const Camera camera = test::TopParallelCamera({0, 0, 0}, 400, 300, 50);
    auto rear = test::MakeBox({-2, -1, 0}, {2, 1, 1}, camera);
    auto front = test::MakeBox({0.5f, -3, 2}, {1.5f, 3, 3}, camera);
    Scene scene(camera, {rear, front});
    const std::vector<Piece> pieces = Pieces(Detect(scene, OneLineSet(2, true), 2));
    // The rear box's long outline edges (y = +-1) cross under the front box from x = 0.5 to
    // 1.5, i.e. screen x from 225 to 275.
    int hiddenRearPieces = 0;
    for (const Piece& p : pieces) {
        if (p.object != 0 || !p.hidden) continue;
        ++hiddenRearPieces;
        EXPECT_NEAR(std::min(p.x0, p.x1), 225.0f, 1.0f);
        EXPECT_NEAR(std::max(p.x0, p.x1), 275.0f, 1.0f);
        EXPECT_NEAR(p.y0, p.y1, 1e-3);
    }
    EXPECT_EQ(hiddenRearPieces, 2);
    for (const Piece& p : pieces) EXPECT_FALSE(p.object == 1 && p.hidden);
}

TEST(EdgeDetect, SphereOutlineFollowsTheAnalyticSilhouette) {
    const Point3 eye{0, -10, 0};
    const Camera camera = test::LookAtCamera(eye, {0, 0, 0}, 320, 240, 300);
    const float r = 2.0f;
    Scene scene(camera, {test::MakeSphere({0, 0, 0}, r, 96, 48, camera)});
    const std::vector<Piece> pieces = Pieces(Detect(scene, OneLineSet(1, false), 2));
    // Seen from distance D, the silhouette is a circle of angular radius asin(r / D).
    const float radius = 300.0f * std::tan(std::asin(r / 10.0f));
    double covered = 0.0;
    for (const Piece& p : pieces) {
        EXPECT_EQ(p.kind, kEdgeOutline);
        for (float t : {0.0f, 0.5f, 1.0f}) {
            const float x = p.x0 + (p.x1 - p.x0) * t - 160.0f;
            const float y = p.y0 + (p.y1 - p.y0) * t - 120.0f;
            EXPECT_NEAR(std::hypot(x, y), radius, 1.0f);
        }
        covered += std::hypot(p.x1 - p.x0, p.y1 - p.y0);
    }
    EXPECT_GE(covered, 0.99 * 2.0 * kPi * radius * std::cos(kPi / 96));
}

// Nothing can hide any part of a convex object's outline, not even the long, thin side faces of a
// prism beside it that are almost edge-on to the view (rounding once let them hide samples at
// random, so the outline came out dotted).
TEST(EdgeDetect, ConvexOutlineIsNeverHidden) {
    const int sides = 24;
    auto post = std::make_shared<RenderObject>();
    for (int k = 0; k < 2 * sides; ++k) {
        const float a = 2.0f * kPi * float(k % sides) / float(sides);
        post->vertices.push_back({5 * std::cos(a), 5 * std::sin(a), k < sides ? 0.0f : 70.0f});
    }
    for (int k = 0; k < sides; ++k) {
        const int a = k, b = (k + 1) % sides, c = b + sides, d = a + sides;
        post->faces.push_back({a, b, c, FaceEdgeVisibleBit(0) | FaceEdgeVisibleBit(1), 0, 1u});
        post->faces.push_back({a, c, d, FaceEdgeVisibleBit(1) | FaceEdgeVisibleBit(2), 0, 1u});
        if (k > 0 && k + 1 < sides) {  // caps as fans, one smoothing group each
            post->faces.push_back({0, b, a, kFaceAllEdgesVisible, 0, 2u});
            post->faces.push_back({sides, d, c, kFaceAllEdgesVisible, 0, 4u});
        }
    }
    post->cornerNormals.assign(3 * post->faces.size(), Point3{0, 0, 1});
    Matrix3 place;
    place.row[3] = {8, 8, -10};
    for (const Point3 eye : {Point3{220, -260, 170}, Point3{-90, -300, 40}, Point3{5, -400, 300}}) {
        const Camera camera = test::LookAtCamera(eye, {0, -5, 18}, 1920, 1080, 3409);
        post->SetTransforms(place, camera.worldToCam);
        Scene scene(camera, {post});
        double visible = 0, hidden = 0;
        for (const Piece& p : Pieces(Detect(scene, OneLineSet(1, true), 2))) {
            if (p.kind != kEdgeOutline) continue;
            (p.hidden ? hidden : visible) += std::hypot(p.x1 - p.x0, p.y1 - p.y0);
        }
        // Where the outline meets the cap, samples may still graze the cap's corner.
        EXPECT_LT(hidden, 3.0) << "eye " << eye.x << " " << eye.y << " " << eye.z;
        EXPECT_GT(visible, 500.0);
    }
}

TEST(EdgeDetect, SameResultWithOneTwoAndSevenThreads) {
    const Camera camera = test::LookAtCamera({7, -6, 5}, {0, 0, 0}, 320, 240, 300);
    Scene scene(camera, {test::MakeSphere({0.5f, 0, 0.5f}, 1.3f, 32, 16, camera),
                         test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera),
                         test::MakeBox({-3, 1, -1}, {-1.5f, 2, 2}, camera)});
    const LineDetectionSettings settings = OneLineSet(3, true, true);
    const std::vector<Piece> one = Pieces(Detect(scene, settings, 1));
    EXPECT_GT(one.size(), 50u);
    EXPECT_TRUE(std::any_of(one.begin(), one.end(),
                            [](const Piece& p) { return p.kind == kEdgeIntersection; }));
    for (int threads : {2, 7}) {
        const std::vector<Piece> other = Pieces(Detect(scene, settings, threads));
        ASSERT_EQ(one.size(), other.size()) << threads;
        for (size_t i = 0; i < one.size(); ++i) {
            EXPECT_EQ(one[i].x0, other[i].x0);
            EXPECT_EQ(one[i].y1, other[i].y1);
            EXPECT_EQ(one[i].kind, other[i].kind);
        }
    }
}

// Every list of the result, in its order: the pieces' ends, depths and faces.
using PieceRecord = std::tuple<float, float, float, float, float, float, int, int>;
std::vector<std::vector<PieceRecord>> ListsInOrder(const DetectionResult& result) {
    std::vector<std::vector<PieceRecord>> lists;
    const auto add = [&](const EdgeList& list) {
        std::vector<PieceRecord>& out = lists.emplace_back();
        list.ForEach([&](const DetectedEdge& e) {
            out.emplace_back(e.p0.x, e.p0.y, e.p1.x, e.p1.y, e.z0, e.z1, e.face, e.secondFace);
        });
    };
    for (const LineSetEdges& set : result.lineSets)
        for (const auto* side : {&set.visible, &set.hidden})
            for (const ObjectEdges& object : *side)
                for (const EdgeList& list : object.kinds) add(list);
    for (const IntersectionPair& pair : result.pairs) {
        add(pair.visibleEdges);
        add(pair.hiddenEdges);
    }
    return lists;
}

// Objects' edges and intersection walks cut into many parts (every one, whatever its share of
// the work) give the lists of one part each, piece for piece and in the same order.
TEST(EdgeDetect, PartsOfObjectsAndPairsKeepEveryListInOrder) {
    const Camera camera = test::LookAtCamera({7, -6, 5}, {0, 0, 0}, 320, 240, 300);
    // Two bars through each other as one object, for self-intersections, and a sphere.
    const auto bars = test::MakeCrossedBars(camera);
    const Scene scene(camera, {bars, test::MakeSphere({0.5f, 0, 0.5f}, 1, 64, 32, camera)});
    const LineDetectionSettings settings = OneLineSet(2, true, true);

    const auto detect = [&](DetectPartSizes sizes, int threads) {
        DetectionResult result;
        ThreadManagerCore pool(threads);
        DetectEdges(result, settings, scene, pool, nullptr, sizes);
        return ListsInOrder(result);
    };
    const auto whole = detect({1 << 30, int64_t(1) << 40, 1}, 1);
    size_t pieces = 0;
    for (const auto& list : whole) pieces += list.size();
    ASSERT_GT(pieces, 100u);
    // Two sides of ten kinds for each object, then two lists per pair, the first pair the bars'
    // self-intersections.
    ASSERT_GE(whole.size(), 42u);
    EXPECT_GT(whole[40].size() + whole[41].size(), 10u);
    for (int threads : {1, 2, 7}) {
        for (const DetectPartSizes sizes :
             {DetectPartSizes{7, 5, 1 << 20}, DetectPartSizes{300, 200, 1 << 20}})
            EXPECT_TRUE(detect(sizes, threads) == whole)
                << threads << " " << sizes.facesPerObjectPart;
    }
}

// The work items of a plan: one per object and per pair on one worker or among many small
// objects; a big object alone is cut, the same for any thread count above one.
TEST(EdgeDetect, OnlyABigShareOfTheWorkIsCutIntoParts) {
    const Camera camera = test::LookAtCamera({7, -6, 5}, {0, 0, 0}, 320, 240, 300);
    const LineDetectionSettings settings = OneLineSet(1, true, true);
    const auto itemCounts = [&](const Scene& scene, int threads) {
        LineDetectionSettings forScene = settings;
        forScene.objects.resize(size_t(scene.ObjectCount()), settings.objects[0]);
        DetectionResult result;
        result.Reset(1, scene.ObjectCount());
        DetectionPlan plan(result, forScene, scene, {}, threads, {64, 64, 2});
        for (int i = 0; i < plan.PrepareCount(); ++i) plan.Prepare(i);
        plan.ListItems();
        std::pair<int, int> counts{0, 0};
        for (const DetectWorkItem& item : plan.Items())
            ++(item.type == DetectItemType::kObjectEdges ? counts.first : counts.second);
        return counts;
    };
    const Scene one(camera, {test::MakeSphere({0, 0, 0}, 1, 32, 16, camera)});
    EXPECT_EQ(itemCounts(one, 1), std::make_pair(1, 1));
    const std::pair<int, int> cut = itemCounts(one, 2);
    EXPECT_GT(cut.first, 10);
    EXPECT_GT(cut.second, 1);
    EXPECT_EQ(itemCounts(one, 7), cut);

    std::vector<std::shared_ptr<RenderObject>> many;
    for (int i = 0; i < 8; ++i)
        many.push_back(
            test::MakeSphere({float(i % 4) * 2.5f - 4, float(i / 4) * 2.5f, 0}, 1, 32, 16, camera));
    const Scene spread(camera, many);
    for (int threads : {1, 2}) {
        const std::pair<int, int> counts = itemCounts(spread, threads);
        EXPECT_EQ(counts.first, 8) << threads;
    }
}

// Copies of faces and of whole objects add nothing to see: the same pieces, every kind and
// intersections included, as without them.
TEST(EdgeDetect, CopiedFacesAndObjectsGiveTheOriginalPieces) {
    const Camera camera = test::LookAtCamera({7, -6, 5}, {0, 0, 0}, 320, 240, 300);
    const auto makeObjects = [&] {
        return std::vector<std::shared_ptr<RenderObject>>{
            test::MakeSphere({0.5f, 0, 0.5f}, 1.3f, 32, 16, camera),
            test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera),
            test::MakeBox({-3, 1, -1}, {-1.5f, 2, 2}, camera)};
    };
    const Scene plain(camera, makeObjects());

    std::vector<std::shared_ptr<RenderObject>> objects = makeObjects();
    // The sphere's faces twice more after all of them, every other copy rotated; each of the
    // first box's faces five times in a row, the way a repeated line of a file gives them.
    RenderObject& sphere = *objects[0];
    const size_t sphereFaces = sphere.faces.size();
    for (int copy = 0; copy < 2; ++copy) {
        for (size_t f = 0; f < sphereFaces; ++f) {
            FaceRecord face = sphere.faces[f];
            if (f % 2) {
                face.vertexA = sphere.faces[f].vertexB;
                face.vertexB = sphere.faces[f].vertexC;
                face.vertexC = sphere.faces[f].vertexA;
            }
            sphere.faces.push_back(face);
        }
    }
    RenderObject& box = *objects[1];
    std::vector<FaceRecord> repeated;
    for (const FaceRecord& face : box.faces) repeated.insert(repeated.end(), 5, face);
    box.faces = repeated;
    // Forty copies of the second box after the three objects.
    for (int copy = 0; copy < 40; ++copy)
        objects.push_back(std::make_shared<RenderObject>(*objects[2]));
    const Scene copied(camera, objects);

    const LineDetectionSettings settings = OneLineSet(3, true, true);
    LineDetectionSettings copiedSettings = settings;
    copiedSettings.objects.resize(objects.size(), settings.objects[0]);

    const std::vector<Piece> expected = Pieces(Detect(plain, settings, 2));
    ASSERT_GT(expected.size(), 50u);
    for (int threads : {1, 2}) {
        const DetectionResult result = Detect(copied, copiedSettings, threads);
        const std::vector<Piece> pieces = Pieces(result);
        ASSERT_EQ(pieces.size(), expected.size()) << threads;
        for (size_t i = 0; i < pieces.size(); ++i) {
            EXPECT_EQ(std::tie(pieces[i].hidden, pieces[i].kind, pieces[i].object),
                      std::tie(expected[i].hidden, expected[i].kind, expected[i].object));
            EXPECT_EQ(std::tie(pieces[i].x0, pieces[i].y0, pieces[i].x1, pieces[i].y1),
                      std::tie(expected[i].x0, expected[i].y0, expected[i].x1, expected[i].y1));
        }
        for (const IntersectionPair& pair : result.pairs) EXPECT_LT(pair.objectB, 3);
    }
}

// A face copied over vertices of its own (an unwelded copy) keeps its open edges, which other
// faces on those vertices might share; copies of it on the same vertices add nothing more.
TEST(EdgeDetect, UnweldedCopyKeepsItsEdgesAndItsCopiesAddNone) {
    const Camera camera = test::LookAtCamera({7, -6, 5}, {0, 0, 0}, 320, 240, 300);
    const auto boxWithLooseFace = [&](int copies) {
        auto box = test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera);
        const FaceRecord loose = test::UnweldedCopy(*box, 4);
        for (int i = 0; i <= copies; ++i) box->faces.push_back(loose);
        return box;
    };
    const Scene plain(camera, {test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera)});
    const Scene loose(camera, {boxWithLooseFace(0)});
    const Scene copied(camera, {boxWithLooseFace(3)});
    const std::vector<Piece> plainPieces = Pieces(Detect(plain, OneLineSet(1, true), 2));
    const std::vector<Piece> loosePieces = Pieces(Detect(loose, OneLineSet(1, true), 2));
    const std::vector<Piece> copiedPieces = Pieces(Detect(copied, OneLineSet(1, true), 2));
    EXPECT_GT(loosePieces.size(), plainPieces.size());
    ASSERT_EQ(copiedPieces.size(), loosePieces.size());
    for (size_t i = 0; i < copiedPieces.size(); ++i) {
        EXPECT_EQ(std::tie(copiedPieces[i].kind, copiedPieces[i].x0, copiedPieces[i].y1),
                  std::tie(loosePieces[i].kind, loosePieces[i].x0, loosePieces[i].y1));
    }
}

TEST(EdgeDetect, OffscreenAndDisabledAndMismatchedSettings) {
    const Camera camera = test::LookAtCamera({6, -5, 4}, {0, 0, 0}, 320, 240, 400);
    Scene scene(camera, {test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera),
                         test::MakeBox({100, -1, -1}, {102, 1, 1}, camera)});
    LineDetectionSettings settings = OneLineSet(2, true);
    settings.lineSets.push_back(LineSetDetection::Disabled());
    settings.objects[1].defaultLineSet = 0;
    const DetectionResult result = Detect(scene, settings, 2);
    ASSERT_EQ(result.lineSets.size(), 2u);
    for (const Piece& p : Pieces(result)) EXPECT_EQ(p.object, 0);  // object 1 is off screen
    for (const ObjectEdges& o : result.lineSets[1].visible)
        for (const EdgeList& list : o.kinds) EXPECT_TRUE(list.Empty());

    settings.objects.pop_back();
    DetectionResult bad;
    ThreadManagerCore pool(1);
    try {
        DetectEdges(bad, settings, scene, pool, nullptr);
        FAIL() << "mismatched object records must be refused";
    } catch (const LineEffectException& e) {
        EXPECT_STREQ(e.what(), "invalid LineDetectionSettings.");
    }
}

}  // namespace
}  // namespace KvrnLib
