// Curve controls: targets holding editable curves of points with Bezier handles, evaluated
// as y at x.
#pragma once

#include <memory>
#include <vector>

#include "reference.h"

struct Point2 {
    float x = 0.0f;
    float y = 0.0f;
    constexpr Point2() = default;
    constexpr Point2(float xIn, float yIn) : x(xIn), y(yIn) {}
    constexpr Point2 operator+(const Point2& o) const { return {x + o.x, y + o.y}; }
    constexpr bool operator==(const Point2&) const = default;
};

// A point and its handles; the handles are offsets from p. Flags are stored, not interpreted.
struct CurvePoint {
    Point2 p;
    Point2 in;
    Point2 out;
    int flags = 0;
    constexpr bool operator==(const CurvePoint&) const = default;
};

// The point flags value of a Bezier corner point, as the settings files store it.
constexpr int kCurvePointCornerFlags = 11;

class ICurveCtl;

// One curve of a control. Edits are undoable and notify the control's dependents.
class ICurve {
  public:
    int GetNumPts() const { return static_cast<int>(points_.size()); }
    // New points are zero points; n below 0 is taken as 0.
    void SetNumPts(int n);
    // A zero point for an index out of range.
    CurvePoint GetPoint(int i) const;
    bool SetPoint(int i, const CurvePoint& point);
    // Inserts before index i (i == GetNumPts() appends).
    bool Insert(int i, const CurvePoint& point);
    bool Delete(int i);
    // y at x of the Bezier segments through the points in x order (handle x limited to the
    // segment so x stays monotone); flat beyond the end points; 0 without points.
    float GetValue(float x) const;

  private:
    friend class ICurveCtl;
    explicit ICurve(ICurveCtl* owner) : owner_(owner) {}
    void Change(std::vector<CurvePoint> points);

    ICurveCtl* owner_;
    std::vector<CurvePoint> points_;
};

class ICurveCtl : public ReferenceTarget {
  public:
    ICurveCtl();
    SClass_ID SuperClassID() const override { return CURVE_CONTROL_CLASS_ID; }
    Class_ID ClassID() const override { return Class_ID(0x14585773, 0x483A7DCF); }

    int GetNumCurves() const { return static_cast<int>(curves_.size()); }
    // Adds or removes curves at the end (not undoable: set up when the control is built).
    void SetNumCurves(int n);
    ICurve* GetControlCurve(int i) const;

    int GetCCFlags() const { return flags_; }
    void SetCCFlags(int flags) { flags_ = flags; }

    ReferenceTarget* Clone(RemapDir& remap) override;

  private:
    std::vector<std::unique_ptr<ICurve>> curves_;
    int flags_ = 0;
};
