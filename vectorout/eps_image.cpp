#include "eps_image.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace KvrnVectorOut {

namespace {

// Equal means neither smaller nor greater, so a NaN repeats whatever came before it.
bool Same(float a, float b) { return !(a < b) && !(a > b); }

}  // namespace

void EPSImage::SetBoundingBox(float x1, float y1, float x2, float y2) {
    boundingBox_ = {x1, y1, x2, y2};
}

VectorImage::Position EPSImage::InsertLayer(Position pos, std::wstring_view) { return pos; }

VectorImage::Position EPSImage::InsertLayer(Position pos, std::string_view) { return pos; }

void EPSImage::Optimize() { OptimizePass(false); }

void EPSImage::Clear() {
    VectorImage::Clear();
    boundingBox_ = {};
}

void EPSImage::OptimizePass(bool groupPaths) {
    RecordList& records = MutableRecords();
    const float tolerance = ConnectTolerance();

    // The PostScript graphics state at the start of a page. Float comparisons are exact: only a
    // record that sets exactly the value in force is redundant.
    float currentX = 0.0f, currentY = 0.0f;
    bool currentValid = false;
    std::array<float, 3> color{0.0f, 0.0f, 0.0f};
    float width = 1.0f;
    std::vector<float> dash{0.0f};  // no pattern values, offset 0
    int join = 0, cap = 0;
    bool groupOpen = false;

    auto openGroupBefore = [&](RecordList::iterator it) {
        if (!groupPaths || groupOpen) return;
        Record begin;
        begin.opcode = Opcode::kBeginPathGroup;
        records.insert(it, std::move(begin));
        groupOpen = true;
    };

    for (auto it = records.begin(); it != records.end();) {
        Record& record = *it;
        bool redundant = false;
        switch (record.opcode) {
            case Opcode::kMoveTo:
                openGroupBefore(it);
                currentX = record.values[0];
                currentY = record.values[1];
                currentValid = true;
                break;
            case Opcode::kLineTo:
                if (record.count == 2) {
                    currentX = record.values[0];
                    currentY = record.values[1];
                } else if (record.count == 4) {
                    const auto [x1, y1, x2, y2] = record.values;
                    if (currentValid && std::fabs(x1 - currentX) <= tolerance &&
                        std::fabs(y1 - currentY) <= tolerance) {
                        record.count = 2;
                        record.values = {x2, y2, 0.0f, 0.0f};
                    } else {
                        openGroupBefore(it);
                        currentValid = true;
                    }
                    currentX = x2;
                    currentY = y2;
                }
                break;
            case Opcode::kStroke:
                if (groupPaths && groupOpen) {
                    Record end;
                    end.opcode = Opcode::kEndPathGroup;
                    it = records.insert(std::next(it), std::move(end));
                    groupOpen = false;
                }
                break;
            case Opcode::kColor: {
                const std::array<float, 3> rgb{record.values[0], record.values[1],
                                               record.values[2]};
                redundant =
                    Same(rgb[0], color[0]) && Same(rgb[1], color[1]) && Same(rgb[2], color[2]);
                if (!redundant) color = rgb;
                break;
            }
            case Opcode::kLineWidth:
                redundant = Same(record.values[0], width);
                if (!redundant) width = record.values[0];
                break;
            case Opcode::kDash:
                redundant = std::equal(record.dash.begin(), record.dash.end(), dash.begin(),
                                       dash.end(), Same);
                if (!redundant) dash = record.dash;
                break;
            case Opcode::kLineJoin:
                redundant = record.intValue == join;
                join = record.intValue;
                break;
            case Opcode::kLineCap:
                redundant = record.intValue == cap;
                cap = record.intValue;
                break;
            case Opcode::kNewPath:
                openGroupBefore(it);
                currentValid = false;
                break;
            case Opcode::kLayer:
                if (groupPaths && groupOpen) {
                    Record end;
                    end.opcode = Opcode::kEndPathGroup;
                    records.insert(it, std::move(end));
                    groupOpen = false;
                }
                break;
            default:
                break;
        }
        it = redundant ? Erase(it) : std::next(it);
    }
}

bool EPSImage::WriteLineState(PsText& out, const Record& record) {
    switch (record.opcode) {
        case Opcode::kLineWidth:
            out.G(record.values[0]).Line(" w");
            return true;
        case Opcode::kDash:
            out.Put("[");
            for (size_t i = 0; i + 1 < record.dash.size(); ++i) out.G(record.dash[i]).Put(" ");
            out.Put("] ").G(record.dash.empty() ? 0.0f : record.dash.back()).Line(" d");
            return true;
        case Opcode::kLineJoin:
            out.D(record.intValue).Line(" j");
            return true;
        case Opcode::kLineCap:
            out.D(record.intValue).Line(" J");
            return true;
        default:
            return false;
    }
}

void EPSImage::WriteBoundingBox(PsText& out, std::string_view label) const {
    const auto& b = boundingBox_;
    out.Put(label).Numbers({b[0], b[1], b[2], b[3]}).EndLine();
}

void EPSImage::WriteVersionComment(PsText& out) {
    out.Put("%Render:DRAVO_Kovrin_").D(4).Put(".").D(0).D(0).EndLine();
}

std::string EPSImage::Serialize() const {
    PsText out;
    out.Line("%!PS-Adobe-3.0 EPSF-3.0");
    WriteBoundingBox(out, "%%BoundingBox: ");
    WriteVersionComment(out);
    for (const char* line :
         {"/m {moveto} def", "/l {lineto} def", "/h {closepath} def", "/W {clip} def",
          "/n {newpath} def", "/d {setdash} def", "/w {setlinewidth} def", "/j {setlinejoin} def",
          "/J {setlinecap} def", "/S {stroke} def", "/_t {translate} def", "/_s {scale} def",
          "/_c {setrgbcolor} def"}) {
        out.Line(line);
    }

    for (const Record& r : Records()) {
        const auto& v = r.values;
        if (WriteLineState(out, r)) continue;
        switch (r.opcode) {
            case Opcode::kMoveTo:
                out.Numbers({v[0], v[1]}).Line(" m");
                break;
            case Opcode::kLineTo:
                if (r.count == 2) {
                    out.Numbers({v[0], v[1]}).Line(" l");
                } else if (r.count == 4) {
                    out.Numbers({v[0], v[1]}).Line(" m");
                    out.Numbers({v[2], v[3]}).Line(" l");
                }
                break;
            case Opcode::kStroke:
                out.Line("S");
                break;
            case Opcode::kTranslate:
                out.Numbers({v[0], v[1]}).Line(" _t");
                break;
            case Opcode::kColor:
                out.Numbers({v[0], v[1], v[2]}).Line(" _c");
                break;
            case Opcode::kScale:
                out.Numbers({v[0], v[1]}).Line(" _s");
                break;
            case Opcode::kNewPath:
                out.Line("n");
                break;
            case Opcode::kClipRect:
                out.Line("n");
                out.Numbers({v[0], v[1]}).Line(" m");
                out.Numbers({v[2], v[1]}).Line(" l");
                out.Numbers({v[2], v[3]}).Line(" l");
                out.Numbers({v[0], v[3]}).Line(" l");
                out.Line("h").Line("W");
                break;
            case Opcode::kClosePath:
                out.Line("h");
                break;
            case Opcode::kSaveState:
                out.Line("gsave");
                break;
            case Opcode::kRestoreState:
                out.Line("grestore");
                break;
            case Opcode::kComment:
                out.Put("%").TextLine(r.text);
                break;
            default:  // layers, groups, neutralised and unknown records
                break;
        }
    }
    out.Line("%%EOF");
    return out.Take();
}

}  // namespace KvrnVectorOut
