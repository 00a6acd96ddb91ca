#include "vector_image.h"

#include <algorithm>
#include <utility>

#include "file_replace.h"

namespace KvrnVectorOut {
namespace {

Record Floats(Opcode opcode, std::initializer_list<float> values) {
    Record record;
    record.opcode = opcode;
    record.count = int32_t(values.size());
    std::copy(values.begin(), values.end(), record.values.begin());
    return record;
}

Record Integer(Opcode opcode, int value) {
    Record record;
    record.opcode = opcode;
    record.count = 1;
    record.intValue = value;
    return record;
}

Record Text(Opcode opcode, std::string_view text) {
    Record record;
    record.opcode = opcode;
    record.count = 1;
    record.text = std::string(text.substr(0, text.find('\0')));  // a C string ends at its NUL
    return record;
}

}  // namespace

VectorImage::Position VectorImage::InsertRecord(Position pos, Record record) {
    return records_.insert(pos, std::move(record));
}

VectorImage::Position VectorImage::InsertTranslate(Position pos, float tx, float ty) {
    return InsertRecord(pos, Floats(Opcode::kTranslate, {tx, ty}));
}

VectorImage::Position VectorImage::InsertColor(Position pos, float r, float g, float b) {
    return InsertRecord(pos, Floats(Opcode::kColor, {r, g, b}));
}

VectorImage::Position VectorImage::InsertScale(Position pos, float sx, float sy) {
    return InsertRecord(pos, Floats(Opcode::kScale, {sx, sy}));
}

VectorImage::Position VectorImage::InsertLineWidth(Position pos, float width) {
    return InsertRecord(pos, Floats(Opcode::kLineWidth, {width}));
}

VectorImage::Position VectorImage::InsertDash(Position pos, std::span<const float> pattern,
                                              float offset) {
    Record record;
    record.opcode = Opcode::kDash;
    record.dash.assign(pattern.begin(), pattern.end());
    record.dash.push_back(offset);
    record.count = int32_t(record.dash.size());
    return InsertRecord(pos, std::move(record));
}

VectorImage::Position VectorImage::InsertLineJoin(Position pos, int join) {
    return InsertRecord(pos, Integer(Opcode::kLineJoin, join));
}

VectorImage::Position VectorImage::InsertLineCap(Position pos, int cap) {
    return InsertRecord(pos, Integer(Opcode::kLineCap, cap));
}

VectorImage::Position VectorImage::InsertNewPath(Position pos) {
    return InsertRecord(pos, Floats(Opcode::kNewPath, {}));
}

VectorImage::Position VectorImage::InsertMoveTo(Position pos, float x, float y) {
    return InsertRecord(pos, Floats(Opcode::kMoveTo, {x, y}));
}

VectorImage::Position VectorImage::InsertSegment(Position pos, float x1, float y1, float x2,
                                                 float y2) {
    return InsertRecord(pos, Floats(Opcode::kLineTo, {x1, y1, x2, y2}));
}

VectorImage::Position VectorImage::InsertLineTo(Position pos, float x, float y) {
    return InsertRecord(pos, Floats(Opcode::kLineTo, {x, y}));
}

VectorImage::Position VectorImage::InsertStroke(Position pos) {
    return InsertRecord(pos, Floats(Opcode::kStroke, {}));
}

VectorImage::Position VectorImage::InsertClipRect(Position pos, float x1, float y1, float x2,
                                                  float y2) {
    return InsertRecord(pos, Floats(Opcode::kClipRect, {x1, y1, x2, y2}));
}

VectorImage::Position VectorImage::InsertClosePath(Position pos) {
    return InsertRecord(pos, Floats(Opcode::kClosePath, {}));
}

VectorImage::Position VectorImage::InsertSaveState(Position pos) {
    return InsertRecord(pos, Floats(Opcode::kSaveState, {}));
}

VectorImage::Position VectorImage::InsertRestoreState(Position pos) {
    return InsertRecord(pos, Floats(Opcode::kRestoreState, {}));
}

VectorImage::Position VectorImage::InsertComment(Position pos, std::string_view text) {
    return InsertRecord(pos, Text(Opcode::kComment, text));
}

void VectorImage::Neutralize(Position pos) {
    if (pos == records_.cend()) return;
    // erase of an empty range turns the const position into a mutable one.
    Record& record = *records_.erase(pos, pos);
    record = Record{};
}

int VectorImage::Write(const std::filesystem::path& path) const {
    return WriteFileReplacing(path, Serialize());
}

void VectorImage::Clear() {
    records_.clear();
    insertionPoint_ = records_.cend();
    connectTolerance_ = 0.0f;
}

VectorImage::RecordList::iterator VectorImage::Erase(RecordList::iterator it) {
    const bool wasInsertionPoint = insertionPoint_ == Position(it);
    auto next = records_.erase(it);
    if (wasInsertionPoint) insertionPoint_ = next;
    return next;
}

}  // namespace KvrnVectorOut
