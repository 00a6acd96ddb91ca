// Host-independent texture and curve evaluation. Stroke drawing describes the point being shaded
// with a TexmapContext and evaluates maps through TexmapInterface and curves through
// CurveInterface; the line effect supplies host-backed implementations of the two interfaces.
#pragma once

#include <cstdint>

#include "color_float.h"
#include "geometry.h"
#include "scene.h"

namespace KvrnLib {

// A shading point. Directions are unit vectors in camera space (which looks down -z); screen
// positions are in pixels from the top-left corner. Owned by the caller, alive for one
// evaluation, used by one thread.
class TexmapContext {
  public:
    virtual ~TexmapContext() = default;

    virtual Point3 ShadedPoint() const = 0;                  // camera space
    virtual Point3 Normal() const = 0;                       // shading normal
    virtual Point3 GeometricNormal() const = 0;              // face normal
    virtual Point3 ViewDirection() const = 0;                // from the viewer towards the point
    virtual Point3 TextureCoord(int32_t channel) const = 0;  // (0, 0, 0) without data
    virtual Point3 TextureCoordDelta(int32_t channel) const = 0;  // change per pixel
    // dP/du, dP/dv, dP/dw of a channel (bump vectors).
    virtual void BumpVectors(int32_t channel, Point3 out[3]) const = 0;
    virtual Point2 ScreenPosition() const = 0;
    virtual Point2 ScreenUV() const = 0;  // screen position over the image size
    virtual int32_t MaterialId() const = 0;
    virtual int32_t NodeId() const = 0;    // render object index, -1 for none
    virtual int32_t ObjectId() const = 0;  // the render object's id, 0 for none
    virtual int32_t ImageWidth() const = 0;
    virtual int32_t ImageHeight() const = 0;
    virtual bool IsBackFace() const = 0;
    virtual Point3 AmbientLight() const = 0;  // RGB
};

// Maps in stroke or stamp space: the caller sets (u, v). Texture coordinates are (u, v, 0) in
// every channel, the shaded point too; the normal is (0, 0, -1), the view direction (0, 0, 1);
// derivatives, bump vectors and screen positions are zero; ambient light is white.
class TexmapContext2D final : public TexmapContext {
  public:
    float u = 0.0f;
    float v = 0.0f;

    Point3 ShadedPoint() const override { return {u, v, 0.0f}; }
    Point3 Normal() const override { return {0.0f, 0.0f, -1.0f}; }
    Point3 GeometricNormal() const override { return {0.0f, 0.0f, -1.0f}; }
    Point3 ViewDirection() const override { return {0.0f, 0.0f, 1.0f}; }
    Point3 TextureCoord(int32_t) const override { return {u, v, 0.0f}; }
    Point3 TextureCoordDelta(int32_t) const override { return {}; }
    void BumpVectors(int32_t, Point3 out[3]) const override { out[0] = out[1] = out[2] = {}; }
    Point2 ScreenPosition() const override { return {}; }
    Point2 ScreenUV() const override { return {}; }
    int32_t MaterialId() const override { return 0; }
    int32_t NodeId() const override { return -1; }
    int32_t ObjectId() const override { return 0; }
    int32_t ImageWidth() const override { return 0; }
    int32_t ImageHeight() const override { return 0; }
    bool IsBackFace() const override { return false; }
    Point3 AmbientLight() const override { return {1.0f, 1.0f, 1.0f}; }
};

// A point on a triangle of a render object, given by barycentric weights. Reads the scene's
// deferred per-object data, which is safe from any thread. Texture coordinate derivatives and
// bump vectors are zero. The scene carries no node data, so ObjectId() is the render object
// index, like NodeId(). Before the first Set the queries return the neutral values of no object.
class TexmapContext3D final : public TexmapContext {
  public:
    // The scene must outlive the context. Image reciprocals are 0 for a size below 1.
    explicit TexmapContext3D(const Scene& scene);

    // Places the context; an object, face or invalid object outside the scene throws
    // std::out_of_range. The weights belong to the face's corners A, B, C.
    void Set(int32_t objectIndex, int32_t faceIndex, Point3 weights, Point2 screen, float depth);

    float InvWidth() const { return invWidth_; }
    float InvHeight() const { return invHeight_; }
    float Depth() const { return depth_; }
    int32_t FaceIndex() const { return face_; }

    Point3 ShadedPoint() const override { return point_; }
    Point3 Normal() const override;
    Point3 GeometricNormal() const override;
    Point3 ViewDirection() const override;
    Point3 TextureCoord(int32_t channel) const override;
    Point3 TextureCoordDelta(int32_t) const override { return {}; }
    void BumpVectors(int32_t, Point3 out[3]) const override { out[0] = out[1] = out[2] = {}; }
    Point2 ScreenPosition() const override { return screen_; }
    Point2 ScreenUV() const override { return {screen_.x * invWidth_, screen_.y * invHeight_}; }
    int32_t MaterialId() const override;
    int32_t NodeId() const override { return object_; }
    int32_t ObjectId() const override { return object_ < 0 ? 0 : object_; }
    int32_t ImageWidth() const override;
    int32_t ImageHeight() const override;
    bool IsBackFace() const override;
    Point3 AmbientLight() const override { return {1.0f, 1.0f, 1.0f}; }

  private:
    const Scene& scene_;
    float invWidth_ = 0.0f;
    float invHeight_ = 0.0f;
    int32_t object_ = -1;
    int32_t face_ = -1;
    Point3 weights_;
    Point2 screen_;
    float depth_ = 0.0f;
    Point3 point_;
};

// Evaluates a map at a shading point. Shared read-only by the drawing threads, so both calls
// must be safe to make concurrently.
class TexmapInterface {
  public:
    virtual ~TexmapInterface() = default;
    virtual ColorFloat EvalColor(const TexmapContext& context) const = 0;
    virtual float EvalMono(const TexmapContext& context) const = 0;
};

// A curve y(x), shared read-only by the drawing threads.
class CurveInterface {
  public:
    virtual ~CurveInterface() = default;
    virtual float Evaluate(float x) const = 0;
};

}  // namespace KvrnLib
