// Recorder of vector drawing commands: an ordered list of records that a writer optimises once
// and then serialises. One recorder serves one output on one thread; not thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace KvrnVectorOut {

enum class Opcode : int32_t {
    kNone = 0,  // neutralised: written as nothing and skipped by every pass
    kMoveTo = 1,
    kLineTo = 2,  // count 2: line to (x, y); count 4: segment (x1, y1, x2, y2)
    kStroke = 3,
    kTranslate = 4,
    kColor = 5,
    kScale = 6,
    kLineWidth = 7,
    kDash = 8,
    kLineJoin = 9,
    kLineCap = 10,
    kNewPath = 11,
    kClipRect = 12,
    kClosePath = 13,
    kSaveState = 14,
    kRestoreState = 15,
    kComment = 16,
    kLayer = 17,
    kBeginPathGroup = 101,
    kEndPathGroup = 102,
    kBeginClipGroup = 103,
    kEndClipGroup = 104,
};

// One drawing command. count is the number of data values (1 for text). Float data sits in
// values, except a dash, which keeps its pattern values followed by its offset in dash.
struct Record {
    Opcode opcode = Opcode::kNone;
    int32_t count = 0;
    std::array<float, 4> values{};
    int32_t intValue = 0;     // line join, line cap
    std::vector<float> dash;  // count entries
    std::string text;         // comment, layer name
};

class VectorImage {
  public:
    using RecordList = std::list<Record>;
    // A position stays valid until its record is removed by Optimize or Clear.
    using Position = RecordList::const_iterator;

    VectorImage() = default;
    VectorImage(const VectorImage&) = delete;
    VectorImage& operator=(const VectorImage&) = delete;
    virtual ~VectorImage() = default;

    virtual void SetBoundingBox(float x1, float y1, float x2, float y2) = 0;

    // Insert operations put their record before pos and return its position; the Append form
    // inserts before the insertion point (the end unless moved).
    Position InsertTranslate(Position pos, float tx, float ty);
    Position AppendTranslate(float tx, float ty) {
        return InsertTranslate(insertionPoint_, tx, ty);
    }
    Position InsertColor(Position pos, float r, float g, float b);
    Position AppendColor(float r, float g, float b) {
        return InsertColor(insertionPoint_, r, g, b);
    }
    Position InsertScale(Position pos, float sx, float sy);
    Position AppendScale(float sx, float sy) { return InsertScale(insertionPoint_, sx, sy); }
    Position InsertLineWidth(Position pos, float width);
    Position AppendLineWidth(float width) { return InsertLineWidth(insertionPoint_, width); }
    Position InsertSolidLine(Position pos) { return InsertDash(pos, {}, 0.0f); }
    Position InsertDash(Position pos, std::span<const float> pattern, float offset);
    Position AppendSolidLine() { return InsertSolidLine(insertionPoint_); }
    Position AppendDash(std::span<const float> pattern, float offset) {
        return InsertDash(insertionPoint_, pattern, offset);
    }
    Position InsertLineJoin(Position pos, int join);
    Position AppendLineJoin(int join) { return InsertLineJoin(insertionPoint_, join); }
    Position InsertLineCap(Position pos, int cap);
    Position AppendLineCap(int cap) { return InsertLineCap(insertionPoint_, cap); }

    // Layers are kept only by writers that support them; others insert nothing and return pos.
    virtual Position InsertLayer(Position pos, std::wstring_view name) = 0;
    virtual Position InsertLayer(Position pos, std::string_view name) = 0;
    Position AppendLayer(std::wstring_view name) { return InsertLayer(insertionPoint_, name); }
    Position AppendLayer(std::string_view name) { return InsertLayer(insertionPoint_, name); }

    Position InsertNewPath(Position pos);
    Position AppendNewPath() { return InsertNewPath(insertionPoint_); }
    Position InsertMoveTo(Position pos, float x, float y);
    Position AppendMoveTo(float x, float y) { return InsertMoveTo(insertionPoint_, x, y); }
    Position InsertSegment(Position pos, float x1, float y1, float x2, float y2);
    Position InsertLineTo(Position pos, float x, float y);
    Position AppendSegment(float x1, float y1, float x2, float y2) {
        return InsertSegment(insertionPoint_, x1, y1, x2, y2);
    }
    Position AppendLineTo(float x, float y) { return InsertLineTo(insertionPoint_, x, y); }
    Position InsertStroke(Position pos);
    Position AppendStroke() { return InsertStroke(insertionPoint_); }
    // A writer may put further records before the rectangle; the result is the rectangle's.
    virtual Position InsertClipRect(Position pos, float x1, float y1, float x2, float y2);
    Position AppendClipRect(float x1, float y1, float x2, float y2) {
        return InsertClipRect(insertionPoint_, x1, y1, x2, y2);
    }
    Position InsertClosePath(Position pos);
    Position AppendClosePath() { return InsertClosePath(insertionPoint_); }
    Position InsertSaveState(Position pos);
    Position AppendSaveState() { return InsertSaveState(insertionPoint_); }
    Position InsertRestoreState(Position pos);
    Position AppendRestoreState() { return InsertRestoreState(insertionPoint_); }
    // 8-bit text, copied; written after a single "%".
    Position InsertComment(Position pos, std::string_view text);
    Position AppendComment(std::string_view text) { return InsertComment(insertionPoint_, text); }

    // Any record, including opcodes the writers do not know (they write nothing for those).
    Position InsertRecord(Position pos, Record record);
    // Turns a record into an opcode-0 record that writes nothing.
    void Neutralize(Position pos);

    virtual bool SupportsLayers() const = 0;
    // Drops redundant state records and joins connected segments; linear in the record count.
    virtual void Optimize() = 0;
    // The file's bytes; every line ends with CR LF.
    virtual std::string Serialize() const = 0;
    // Writes Serialize() to path through a temporary file. 0 on success, else the errno-style
    // code of the open, write, close or rename that failed; then path is left as it was.
    int Write(const std::filesystem::path& path) const;
    // Drops every record; tolerance 0, insertion point at the end.
    virtual void Clear();

    const RecordList& Records() const { return records_; }
    size_t RecordCount() const { return records_.size(); }
    Position End() const { return records_.cend(); }
    Position InsertionPoint() const { return insertionPoint_; }
    void SetInsertionPoint(Position pos) { insertionPoint_ = pos; }

    // How far a segment's start may lie from the current point, per axis, and still continue
    // the path. 0 after construction.
    float ConnectTolerance() const { return connectTolerance_; }
    void SetConnectTolerance(float tolerance) { connectTolerance_ = tolerance; }

  protected:
    RecordList& MutableRecords() { return records_; }
    // Removes a record, moving the insertion point past it when it pointed there.
    RecordList::iterator Erase(RecordList::iterator it);

  private:
    RecordList records_;
    Position insertionPoint_ = records_.cend();
    float connectTolerance_ = 0.0f;
};

}  // namespace KvrnVectorOut
