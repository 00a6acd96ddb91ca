#include "ai_eps_image.h"

#include <cstdint>

namespace KvrnVectorOut {
namespace {

// Windows-1252 bytes 0x80 to 0x9F and the characters they stand for; 0 where the byte is
// unassigned (Windows maps those bytes to the C1 control of the same value).
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char ToCp1252(uint32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return char(c);
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] == c) return char(0x80 + i);
    }
    return '?';
}

}  // namespace

std::string ToAnsiCodePage(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t c = uint32_t(text[i]);
        const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
                          uint32_t(text[i + 1]) >= 0xDC00 && uint32_t(text[i + 1]) <= 0xDFFF;
        out += ToCp1252(c);
        if (pair) ++i;
    }
    return out;
}

VectorImage::Position AIEPSImage::InsertLayer(Position pos, std::wstring_view name) {
    return InsertLayer(pos, std::string_view(ToAnsiCodePage(name)));
}

VectorImage::Position AIEPSImage::InsertLayer(Position pos, std::string_view name) {
    Record record;
    record.opcode = Opcode::kLayer;
    record.count = 1;
    record.text = std::string(name.substr(0, name.find('\0')));  // a C string ends at its NUL
    return InsertRecord(pos, std::move(record));
}

VectorImage::Position AIEPSImage::InsertClipRect(Position pos, float x1, float y1, float x2,
                                                 float y2) {
    Record group;
    group.opcode = Opcode::kBeginClipGroup;
    InsertRecord(pos, std::move(group));
    return EPSImage::InsertClipRect(pos, x1, y1, x2, y2);
}

void AIEPSImage::Optimize() { OptimizePass(true); }

std::string AIEPSImage::Serialize() const {
    PsText out;
    const auto& b = BoundingBox();
    // Computed in floats, as the drawing program reads them back.
    const float w = b[2] - b[0], h = b[3] - b[1];
    const float a = (w + 1.0f) * 0.5f, c = h * 0.5f - 0.5f;

    out.Line("%!PS-Adobe-3.0 EPSF-3.0");
    out.Line("%%Creator: Adobe Illustrator(R) 8.0");
    out.Line("%%AI8_CreatorVersion: 13.0.2");
    WriteBoundingBox(out, "%%BoundingBox: ");
    WriteBoundingBox(out, "%%HiResBoundingBox: ");
    out.Put("%AI3_TemplateBox: ").Numbers({a, c, a, c}).EndLine();
    out.Put("%AI5_ArtSize: ").Numbers({w, h}).EndLine();
    WriteVersionComment(out);
    for (const char* line : {"/m {moveto} def",
                             "/l {lineto} def",
                             "/B {} def",
                             "/Lb {} def",
                             "/LB {} def",
                             "/Ln {} def",
                             "/q {} def",
                             "/h {closepath} def",
                             "/W {clip} def",
                             "/n {newpath} def",
                             "/XA {setrgbcolor 4 {pop} repeat} def",
                             "/d {setdash} def",
                             "/w {setlinewidth} def",
                             "/j {setlinejoin} def",
                             "/J {setlinecap} def",
                             "/*u {} def",
                             "/S {stroke} def",
                             "/*U {} def",
                             "/Q {} def",
                             "%%EndProlog"}) {
        out.Line(line);
    }

    float sx = 1.0f, sy = 1.0f, tx = 0.0f, ty = 0.0f;
    bool pathOpen = false, layerOpen = false, clipOpen = false;
    // Scale, then translate, each rounded to float.
    auto point = [&](float x, float y) {
        const float scaledX = sx * x, scaledY = sy * y;
        out.Numbers({scaledX + tx, scaledY + ty});
    };
    auto closeClipAndLayer = [&] {
        if (clipOpen) out.Line("Q");
        clipOpen = false;
        out.Line("LB");
    };

    for (const Record& r : Records()) {
        const auto& v = r.values;
        if (WriteLineState(out, r)) continue;
        switch (r.opcode) {
            case Opcode::kMoveTo:
                if (pathOpen) out.Line("S");
                point(v[0], v[1]);
                out.Line(" m");
                pathOpen = true;
                break;
            case Opcode::kLineTo:
                if (r.count == 2) {
                    point(v[0], v[1]);
                    out.Line(" l");
                } else if (r.count == 4) {
                    if (pathOpen) out.Line("S");
                    point(v[0], v[1]);
                    out.Line(" m");
                    point(v[2], v[3]);
                    out.Line(" l");
                    pathOpen = true;
                }
                break;
            case Opcode::kStroke:
                out.Line("S");
                pathOpen = false;
                break;
            case Opcode::kTranslate:
                tx = v[0];
                ty = v[1];
                break;
            case Opcode::kScale:
                sx = v[0];
                sy = v[1];
                break;
            case Opcode::kColor:
                out.Put("0 0 0 0 ").Numbers({v[0], v[1], v[2]}).Line(" XA");
                break;
            case Opcode::kNewPath:
                pathOpen = false;
                break;
            case Opcode::kClipRect:
                // The clip rectangle is in page coordinates already: no transform.
                out.Numbers({v[0], v[1]}).Line(" m");
                out.Numbers({v[2], v[1]}).Line(" l");
                out.Numbers({v[2], v[3]}).Line(" l");
                out.Numbers({v[0], v[3]}).Line(" l");
                out.Numbers({v[0], v[1]}).Line(" l");
                out.Line("h").Line("W").Line("n");
                break;
            case Opcode::kClosePath:
                out.Line("h");
                break;
            case Opcode::kComment:
                out.Put("%").TextLine(r.text);
                break;
            case Opcode::kLayer: {
                int first = 1;
                if (layerOpen) {
                    closeClipAndLayer();
                    out.Line("%%AI5_EndLayer--");
                    first = 0;
                }
                layerOpen = true;
                out.Line("%AI5_BeginLayer");
                out.Put("1 1 1 1 0 0 1 ").D(first).Line(" 79 128 255 0 50 Lb");
                out.Put("(").TextLine(r.text + ") Ln");
                break;
            }
            case Opcode::kBeginPathGroup:
                out.Line("*u");
                break;
            case Opcode::kEndPathGroup:
                out.Line("*U");
                break;
            case Opcode::kBeginClipGroup:
                out.Line("q");
                clipOpen = true;
                break;
            case Opcode::kEndClipGroup:
                out.Line("Q");
                clipOpen = false;
                break;
            default:  // save/restore, neutralised and unknown records
                break;
        }
    }
    if (layerOpen) {
        closeClipAndLayer();
        // One percent sign here, two between layers: as the drawing program writes them.
        out.Line("%AI5_EndLayer--");
    }
    for (const char* line : {"%%PageTrailer", "showpage", "%%Trailer", "%%EOF"}) out.Line(line);
    return out.Take();
}

}  // namespace KvrnVectorOut
