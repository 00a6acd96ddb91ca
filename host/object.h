// The host's geometry pipeline: objects, the state a node evaluates to, triangle and polygon
// objects, modifiers and the derived object that stacks modifiers on a base object.
// Single-threaded like the rest of the object model (the render thread evaluates).
#pragma once

#include <memory>
#include <vector>

#include "matrix3.h"
#include "mesh.h"
#include "reference.h"

class INode;
class TriObject;

// Anything a node can hold: geometry, cameras, lights, a modifier stack.
class Object : public ReferenceTarget {
  public:
    SClass_ID SuperClassID() const override { return GEOMOBJECT_CLASS_ID; }
    // Times around t over which the object's state stays the same.
    virtual Interval ObjectValidity(TimeValue /*t*/) { return FOREVER; }
    // A new object with the same state, sharing its geometry until one side writes; null when
    // the object cannot be modified (modifiers then see it unchanged).
    virtual Object* MakeShallowCopy() { return nullptr; }
    // The object as a triangle mesh at t: this object when it already is one, a new one
    // otherwise, null when it has no surface (cameras, lights).
    virtual RefPtr<TriObject> ConvertToTriObject(TimeValue /*t*/) { return nullptr; }
};

// What evaluating a node gives: the object at the end of its pipeline and how long it holds.
struct ObjectState {
    RefPtr<Object> obj;  // null: the node holds nothing
    Interval validity = FOREVER;
};

// Object-space corner normals of a mesh, computed once per mesh (see ComputeCornerNormals).
struct CornerNormals {
    std::shared_ptr<const std::vector<Point3>> normals;
    bool allExplicit = false;
};

// A static triangle mesh. The mesh is shared: copies and render instances hold the same one
// until somebody asks for it writable.
class TriObject : public Object {
  public:
    TriObject() : mesh_(std::make_shared<const Mesh>()) {}
    explicit TriObject(Mesh mesh) : mesh_(std::make_shared<const Mesh>(std::move(mesh))) {}
    Class_ID ClassID() const override { return Class_ID(0x0009, 0); }
    std::string ClassName() const override { return "Editable Mesh"; }

    const Mesh& GetMesh() const { return *mesh_; }
    const std::shared_ptr<const Mesh>& GetMeshPtr() const { return mesh_; }
    // Writable mesh: copied first when it is shared. Drops the cached corner normals; the
    // caller tells the dependents (REFMSG_CHANGE) when done.
    Mesh& GetMeshForWrite();
    void SetMesh(Mesh mesh);
    // Computed on first request and kept with this mesh.
    const CornerNormals& GetCornerNormals();
    // Corner normals whoever built the mesh computed already (a model loader's, three per face,
    // unit length), kept as if computed here: they stand until the mesh is written. allExplicit:
    // every one is a normal the file or the user fixed.
    void SetCornerNormals(std::vector<Point3> normals, bool allExplicit);

    Object* MakeShallowCopy() override;
    RefPtr<TriObject> ConvertToTriObject(TimeValue t) override;
    ReferenceTarget* Clone(RemapDir& remap) override;

  private:
    std::shared_ptr<const Mesh> mesh_;
    CornerNormals normals_;
};

// A static polygon mesh; renders through its triangulation.
class PolyObject : public Object {
  public:
    PolyObject() : mesh_(std::make_shared<const MNMesh>()) {}
    explicit PolyObject(MNMesh mesh) : mesh_(std::make_shared<const MNMesh>(std::move(mesh))) {}
    Class_ID ClassID() const override { return Class_ID(0x5d21369a, 0x4ecd0afd); }
    std::string ClassName() const override { return "Editable Poly"; }

    const MNMesh& GetMesh() const { return *mesh_; }
    MNMesh& GetMeshForWrite();
    void SetMesh(MNMesh mesh);

    Object* MakeShallowCopy() override;
    // Throws std::invalid_argument for an inconsistent polygon mesh (see TriangulateMNMesh).
    RefPtr<TriObject> ConvertToTriObject(TimeValue t) override;
    ReferenceTarget* Clone(RemapDir& remap) override;

  private:
    std::shared_ptr<const MNMesh> mesh_;
};

// What a modifier knows about where it sits on a node: the box of its input when it was added
// and the transform from the object's space into the modifier's own.
struct ModContext {
    Box3 box;
    Matrix3 tm;
};

class Modifier : public ReferenceTarget {
  public:
    SClass_ID SuperClassID() const override { return OSM_CLASS_ID; }
    // Changes os in place: os->obj is a copy owned by this evaluation (or an object the
    // modifier may replace). Called bottom to top.
    virtual void ModifyObject(TimeValue t, ModContext& mc, ObjectState* os, INode* node) = 0;
    // Times around t over which the modifier's effect stays the same.
    virtual Interval LocalValidity(TimeValue /*t*/) { return FOREVER; }
    bool IsEnabled() const { return enabled_; }
    void SetEnabled(bool on);  // undoable

  private:
    bool enabled_ = true;
};

// A base object (reference 0) with modifiers (references 1 ..), bottom to top: modifier 0 is
// applied first. Adding and deleting modifiers is undoable.
class DerivedObject : public Object {
  public:
    SClass_ID SuperClassID() const override { return GEN_DERIVOB_CLASS_ID; }
    int NumRefs() override { return 1 + NumModifiers(); }
    ReferenceTarget* GetReference(int i) override;

    Object* GetBaseObject() const { return base_; }
    void SetBaseObject(Object* obj) { ReplaceReference(0, obj); }
    int NumModifiers() const { return int(mods_.size()); }
    Modifier* GetModifier(int i) const;  // null out of range
    ModContext* GetModContext(int i);    // null out of range
    // Inserts at index (-1 or past the end: on top).
    void AddModifier(Modifier* mod, int index = -1);
    bool DeleteModifier(int i);

    Interval ObjectValidity(TimeValue t) override;
    // Evaluates the stack at t for node (which may be null).
    ObjectState Eval(TimeValue t, INode* node);

  protected:
    void SetReference(int i, ReferenceTarget* target) override;

  private:
    struct Entry {
        Modifier* mod = nullptr;
        ModContext mc;
        bool boxSet = false;  // the box comes from the first evaluation's input
    };
    void Insert(int index, Modifier* mod, const ModContext& mc);
    void Erase(int index);
    Object* base_ = nullptr;
    std::vector<Entry> mods_;
};
