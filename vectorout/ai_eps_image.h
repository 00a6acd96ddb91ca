// Illustrator 8 flavour of the EPS writer: paths in layers and path groups, the page transform
// applied to path coordinates rather than written, and the Illustrator header and trailer.
#pragma once

#include <string>
#include <string_view>

#include "eps_image.h"

namespace KvrnVectorOut {

class AIEPSImage : public EPSImage {
  public:
    // The wide name is converted with ToAnsiCodePage; the name is written as it stands, without
    // PostScript string escaping.
    Position InsertLayer(Position pos, std::wstring_view name) override;
    Position InsertLayer(Position pos, std::string_view name) override;
    // Puts a begin-clip-group record before the rectangle.
    Position InsertClipRect(Position pos, float x1, float y1, float x2, float y2) override;

    bool SupportsLayers() const override { return true; }
    // The plain EPS pass plus path groups: a group opens before a path's first new-path, move-to
    // or unjoined segment and closes after its stroke or before the next layer.
    void Optimize() override;
    std::string Serialize() const override;
};

// Windows-1252 (the ANSI code page of Western systems) for the characters it holds, '?' for the
// rest; a UTF-16 surrogate pair gives one '?'.
std::string ToAnsiCodePage(std::wstring_view text);

}  // namespace KvrnVectorOut
