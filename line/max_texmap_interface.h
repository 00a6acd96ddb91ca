// Host maps seen by the engine: a host ShadeContext answering from the engine's TexmapContext,
// and the engine's TexmapInterface evaluating a host Texmap through it.
#pragma once

#include <memory>

#include "shade_context.h"
#include "texmap.h"
#include "texmap_context.h"

// Lives for one evaluation on one thread, like the context it reads.
class KvrnLibShadeContext : public ShadeContext {
  public:
    // t is what CurTime answers; the engine's context carries no time.
    KvrnLibShadeContext(const KvrnLib::TexmapContext& context, TimeValue t);

    Point3 P() override;
    Point3 N() override;
    Point3 Ng() override;
    Point3 V() override;
    Point3 UVW(int channel) override;
    Point3 DUVW(int channel) override;
    void DPdUVW(int channel, Point3 basis[3]) override;
    Point2 ScreenCoord() override;
    Point2 ScreenUV() override;
    int MtlNum() override;
    int NodeID() override;
    int ImageWidth() override;
    int ImageHeight() override;
    Color AmbientLight() override;
    TimeValue CurTime() override { return time_; }

  private:
    const KvrnLib::TexmapContext& context_;
    TimeValue time_;
};

// Does not hold the map: the reference system is single-threaded and the last holder of the
// interface may be a drawing thread. The scene keeps the map alive for the frame, and the map
// must have been updated for the frame's time (MakeTexmapInterface does that); evaluation is
// then safe from every drawing thread.
class MaxTexmapInterface : public KvrnLib::TexmapInterface {
  public:
    MaxTexmapInterface(Texmap* map, TimeValue t);

    KvrnLib::ColorFloat EvalColor(const KvrnLib::TexmapContext& context) const override;
    float EvalMono(const KvrnLib::TexmapContext& context) const override;

  private:
    Texmap* map_;
    TimeValue time_;
};

// Null for a null map. Otherwise prepares the map for rendering at t (on the calling thread,
// which must be the one that edits the scene) and wraps it; the map's errors propagate as they
// are thrown (std::runtime_error naming the file or value).
std::shared_ptr<const KvrnLib::TexmapInterface> MakeTexmapInterface(Texmap* map, TimeValue t);
