// Class identities of the line-effect objects, their registration, and the engine forms the
// render driver reads from brushes and reduction objects.
#pragma once

#include <memory>

#include "class_desc.h"
#include "class_id.h"
#include "draw_settings.h"
#include "matrix3.h"
#include "reduction.h"
#include "reference.h"
#include "time_value.h"

class KvrnBrush;
class KvrnBrushDetail;
class KvrnLineReduction;
class KvrnLine;
class KvrnLineset;

// Class IDs (the classes' identities in files and the class directory).
inline const Class_ID KVRN_LINE_CLASS_ID(0x20150208, 0x0814032E);          // render effect
inline const Class_ID KVRN_LINESET_CLASS_ID(0x7DD9314A, 0x42DA53EE);       // reference target
inline const Class_ID KVRN_BRUSH_CLASS_ID(0x73FF07C0, 0x251F4B0F);         // texture map
inline const Class_ID KVRN_BRUSH_DETAIL_CLASS_ID(0x1EFD57DD, 0x46032733);  // reference target
inline const Class_ID KVRN_LINE_REDUCTION_CLASS_ID(0x4F331E9A, 0x665178D7);
inline const Class_ID KVRN_USER_DEFINED_CLASS_ID(0x5EB210D1, 0x081A5A7C);  // custom attribute

// Registers brush, brush detail and reduction (brushes) / line, line set, user defined (sets).
void RegisterBrushClasses(ClassDirectory& directory);
void RegisterLineSetClasses(ClassDirectory& directory);
// Registers the line render element.
void RegisterLineRenderElementClass(ClassDirectory& directory);

// A new brush named "Brush Settings#N" whose new detail is "Brush Details#N" (N = number), from
// the user defaults. Returned unheld: the caller puts it into a reference.
KvrnBrush* NewBrush(int number);
// A new reduction object, kind 1 size / 2 alpha, named "Reduction Settings#N" (running number).
KvrnLineReduction* NewLineReduction(int kind);

// Null unless the target is a KvrnBrush (texmap with the brush class ID) / KvrnLineReduction.
KvrnBrush* AsBrush(ReferenceTarget* target);
KvrnLineReduction* AsLineReduction(ReferenceTarget* target);

// Engine forms at time t (percent to fraction, maps empty while the host has no maps; sizes NOT
// scaled: the caller scales drawn sizes). The brush's detail supplies split angle and link length.
KvrnLib::BrushDrawSettings BrushDrawSettingsOf(KvrnBrush& brush, TimeValue t);
float StrokeSplitAngleOf(KvrnBrush& brush, TimeValue t);  // degrees; 90 without a detail
float LinkLengthOf(KvrnBrush& brush, TimeValue t);        // 2 without a detail

// Empty without a curve, or with objectEnable and no node; camera-space data of the node is
// taken from its transform at t (cameraFromWorld given by the caller).
std::shared_ptr<const KvrnLib::ReductionSettings> ReductionSettingsOf(
    KvrnLineReduction& reduction, TimeValue t, const Matrix3& cameraFromWorld);
