#include "ray_tracer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "node.h"
#include "render.h"

namespace KvrnHost {
namespace {

// Two triangles covering [-1, 1]^2 in the z = 0 plane, facing +z.
std::shared_ptr<Mesh> Square() {
    auto mesh = std::make_shared<Mesh>();
    mesh->verts = {{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}};
    Face a, b;
    a.v = {0, 1, 2};
    b.v = {0, 2, 3};
    mesh->faces = {a, b};
    return mesh;
}

RenderInstance Place(std::shared_ptr<const Mesh> mesh, const Matrix3& objToCam) {
    RenderInstance ri;
    ri.mesh = std::move(mesh);
    ri.objToCam = objToCam;
    const Matrix3 inv = objToCam.Inverse();
    for (int i = 0; i < 3; ++i) {
        const auto get = [i](const Point3& row) { return i == 0 ? row.x : i == 1 ? row.y : row.z; };
        ri.normalObjToCam.SetRow(i, {get(inv.GetRow(0)), get(inv.GetRow(1)), get(inv.GetRow(2))});
    }
    return ri;
}

TEST(RayTracer, HitsTheNearestInstanceWithItsFaceBarycentricsAndDistance) {
    auto square = Square();
    RenderGlobalContext gc;
    // The same mesh twice: 5 and 8 units in front of a camera looking down -z, the far one
    // doubled in size; and an instance without a mesh, which is skipped.
    gc.instances.push_back(
        Place(square, Matrix3::Scale({2, 2, 2}) * Matrix3::Translation({0, 0, -8})));
    gc.instances.push_back(RenderInstance());
    gc.instances.push_back(Place(square, Matrix3::Translation({0, 0, -5})));
    RayTracer tracer;
    tracer.Build(gc);
    EXPECT_EQ(tracer.BuiltMeshes(), 1);

    RayHit hit;
    ASSERT_TRUE(tracer.Intersect({0.5f, -0.5f, 0}, {0, 0, -1}, 0, 1e30f, hit));
    EXPECT_EQ(hit.instance, 2);
    EXPECT_EQ(hit.face, 0);
    EXPECT_NEAR(hit.t, 5.0f, 1e-5f);
    // (0.5, -0.5) = a * (1 - u - v) + b * u + c * v on face (0, 1, 2).
    EXPECT_NEAR(hit.u, 0.5f, 1e-5f);
    EXPECT_NEAR(hit.v, 0.25f, 1e-5f);
    EXPECT_EQ(hit.ng, Point3(0, 0, 1));

    // Outside the near square only the big far one is met; the direction need not be unit.
    ASSERT_TRUE(tracer.Intersect({-1.5f, 1.5f, 0}, {0, 0, -2}, 0, 1e30f, hit));
    EXPECT_EQ(hit.instance, 0);
    EXPECT_EQ(hit.face, 1);
    EXPECT_NEAR(hit.t, 4.0f, 1e-5f);
    // Seen from behind the faces still count (the normal stays on the front), and tfar
    // limits the search.
    EXPECT_TRUE(tracer.Intersect({0, 0, -20}, {0, 0, 1}, 0, 1e30f, hit));
    EXPECT_EQ(hit.instance, 0);
    EXPECT_EQ(hit.ng, Point3(0, 0, 1));
    EXPECT_FALSE(tracer.Intersect({0, 0, 0}, {0, 0, -1}, 0, 4.9f, hit));
    EXPECT_EQ(hit.instance, -1);
    EXPECT_FALSE(tracer.Intersect({3, 3, 0}, {0, 0, -1}, 0, 1e30f, hit));

    EXPECT_TRUE(tracer.Occluded({0, 0, 0}, {0, 0, -1}, 0, 6));
    EXPECT_FALSE(tracer.Occluded({0, 0, 0}, {0, 0, -1}, 0, 4.9f));
    EXPECT_FALSE(tracer.Occluded({0, 0, 0}, {0, 0, 1}, 0, 100));

    // Coherent rays give what single rays give.
    std::vector<RayQuery> rays;
    for (int i = 0; i < 100; ++i) {
        RayQuery q;
        q.origin = {float(i % 10) * 0.4f - 1.9871f, float(i / 10) * 0.4f - 2.0113f, 0};
        q.dir = {0.01f * float(i % 7), 0, -1};
        rays.push_back(q);
    }
    tracer.IntersectCoherent(rays.data(), int(rays.size()));
    for (const RayQuery& q : rays) {
        RayHit single;
        tracer.Intersect(q.origin, q.dir, 0, 1e30f, single);
        EXPECT_EQ(q.hit.instance, single.instance);
        EXPECT_EQ(q.hit.face, single.face);
        EXPECT_EQ(q.hit.t, single.t);
        EXPECT_EQ(q.hit.ng, single.ng);
    }

    // A mirrored placement turns the winding over; its front is still the mesh's front.
    gc.instances.push_back(
        Place(square, Matrix3::Scale({-1, 1, 1}) * Matrix3::Translation({0, 0, -2})));
    tracer.Build(gc);
    ASSERT_TRUE(tracer.Intersect({0.5f, 0.5f, 0}, {0, 0, -1}, 0, 1e30f, hit));
    EXPECT_EQ(hit.instance, 3);
    EXPECT_EQ(hit.ng, Point3(0, 0, 1));
}

TEST(RayTracer, KeepsMeshBvhsAcrossFramesAndMovesOnlyTheInstances) {
    auto square = Square();
    RenderGlobalContext gc;
    gc.instances.push_back(Place(square, Matrix3::Translation({0, 0, -5})));
    RayTracer tracer;
    tracer.Build(gc);
    EXPECT_EQ(tracer.BuiltMeshes(), 1);
    gc.instances[0].objToCam = Matrix3::Translation({10, 0, -5});
    tracer.Build(gc);
    EXPECT_EQ(tracer.BuiltMeshes(), 0);
    RayHit hit;
    EXPECT_FALSE(tracer.Intersect({0, 0, 0}, {0, 0, -1}, 0, 1e30f, hit));
    EXPECT_TRUE(tracer.Intersect({10, 0, 0}, {0, 0, -1}, 0, 1e30f, hit));

    // A changed mesh (a new pointer) is built again, and an empty context clears the scene.
    gc.instances[0].mesh = Square();
    tracer.Build(gc);
    EXPECT_EQ(tracer.BuiltMeshes(), 1);
    gc.instances.clear();
    tracer.Build(gc);
    EXPECT_FALSE(tracer.Intersect({10, 0, 0}, {0, 0, -1}, 0, 1e30f, hit));
}

TEST(RayTracer, RefusesFacesPastTheVerticesNamingTheNode) {
    auto mesh = Square();
    mesh->faces[1].v = {0, 2, 7};
    RefPtr<INode> node(new INode);
    node->SetName("Broken");
    RenderGlobalContext gc;
    gc.instances.push_back(Place(mesh, Matrix3()));
    gc.instances.back().node = node.get();
    RayTracer tracer;
    try {
        tracer.Build(gc);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("\"Broken\""), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("vertex 7"), std::string::npos) << e.what();
    }
}

TEST(RayTracer, RaysLeavingASurfaceDoNotMeetItAgain) {
    // A large plane far from the origin, tilted, hit from many places: a ray leaving each hit
    // towards the front, at grazing and steep angles, never meets the plane itself.
    auto mesh = std::make_shared<Mesh>();
    mesh->verts = {{-1e3f, -1e3f, 0}, {1e3f, -1e3f, 0}, {1e3f, 1e3f, 0}, {-1e3f, 1e3f, 0}};
    Face a, b;
    a.v = {0, 1, 2};
    b.v = {0, 2, 3};
    mesh->faces = {a, b};
    RenderGlobalContext gc;
    const Matrix3 place = Matrix3::RotationX(0.3f) * Matrix3::Translation({120, -40, -900});
    gc.instances.push_back(Place(mesh, place));
    RayTracer tracer;
    tracer.Build(gc);
    const Point3 normal = Normalize(place.VectorTransform({0, 0, 1}));
    int hits = 0;
    for (int i = 0; i < 400; ++i) {
        const Point3 dir =
            Normalize({float(i % 20) * 0.05f - 0.5f, float(i / 20) * 0.05f - 0.5f, -1.0f});
        RayHit hit;
        if (!tracer.Intersect({0, 0, 0}, dir, 0, 1e30f, hit)) continue;
        ++hits;
        const Point3 p = dir * hit.t;
        for (const Point3& out : {normal, Normalize(normal + dir * 10.0f), -dir}) {
            const Point3 leave = DotProd(out, normal) > 0 ? out : -out;
            EXPECT_FALSE(tracer.Occluded(OffsetRayOrigin(p, normal, leave), leave, 0, 1e30f)) << i;
        }
    }
    EXPECT_GT(hits, 300);
}

}  // namespace
}  // namespace KvrnHost
