#include "draw_settings.h"

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

namespace KvrnLib {

namespace {

// Collects the field checks of one record under a name prefix ("lineSets[2].hidden[4].").
class FieldChecker {
  public:
    // The prefix is only read to build a message; it must outlive the checker.
    explicit FieldChecker(const char* prefix) : prefix_(prefix) {}

    void Range(const char* name, double value, double lo, double hi) const {
        if (!(value >= lo && value <= hi)) Fail(name, value, "from " + Num(lo) + " to " + Num(hi));
    }
    void AtLeast(const char* name, double value, double lo) const {
        if (!(value >= lo && std::isfinite(value))) Fail(name, value, "at least " + Num(lo));
    }
    void Positive(const char* name, double value) const {
        if (!(value > 0.0 && std::isfinite(value))) Fail(name, value, "a positive number");
    }
    void Finite(const char* name, double value) const {
        if (!std::isfinite(value)) Fail(name, value, "a finite number");
    }

  private:
    static std::string Num(double v) {
        std::ostringstream s;
        s << v;
        return s.str();
    }
    [[noreturn]] void Fail(const char* name, double value, const std::string& expected) const {
        throw std::invalid_argument(std::string("draw settings: ") + prefix_ + name + " = " +
                                    Num(value) + ", expected " + expected);
    }

    const char* prefix_;
};

std::string Indexed(const char* prefix, const char* name, size_t index) {
    return std::string(prefix) + name + "[" + std::to_string(index) + "].";
}

}  // namespace

BrushType BrushTypeOfDetailType(int32_t detailType) {
    switch (detailType) {
        case 0:
            return kBrushNormal;
        case 1:
            return kBrushMultiple;
        default:
            return kBrushSimple;
    }
}

void BrushDrawSettings::Validate(const char* prefix) const {
    const FieldChecker c(prefix);
    c.Range("brushType", brushType, 0, 2);
    c.Positive("lineSize", lineSize);
    c.Range("strokeSizeRnd", strokeSizeRnd, 0, 1);
    c.Range("sizeMapAmount", sizeMapAmount, 0, 1);
    c.Finite("color[0]", color[0]);
    c.Finite("color[1]", color[1]);
    c.Finite("color[2]", color[2]);
    c.Range("alpha", alpha, 0, 1);
    c.Range("colorMapOpacity", colorMapOpacity, 0, 1);
    c.Range("blend", blend, 0, 15);
    c.Range("mapOpacity", mapOpacity, 0, 1);

    c.Range("angle", angle, -3600, 3600);
    c.Range("angleRnd", angleRnd, 0, 360);
    c.Range("stretch", stretch, -1, 1);
    c.Range("stretchRnd", stretchRnd, 0, 1);
    c.Range("groove", groove, 0, 1);
    c.Range("grooveNum", grooveNum, 3, 20);
    // The editor's 0.1 % in float: 0.001f lies just above 0.001 as a double.
    c.Range("stampSize", stampSize, double(0.001f), 1);
    c.Range("sizeRnd", sizeRnd, 0, 1);
    c.Range("anti", anti, 0, 10);
    c.Range("hSpace", hSpace, 0, 1);
    c.Range("hSpaceRnd", hSpaceRnd, 0, 1);
    c.Range("vSpace", vSpace, 0, 1);
    c.Range("vSpaceRnd", vSpaceRnd, 0, 1);
    c.Range("reductionStart", reductionStart, 0, 1);
    c.Range("reductionEnd", reductionEnd, 0, 1);

    c.Range("strokeDirectionAngle", strokeDirectionAngle, -180, 180);
    c.AtLeast("strokeMinLength", strokeMinLength, 0);
    c.Positive("strokeLength", strokeLength);
    c.Range("strokeLengthRnd", strokeLengthRnd, 0, 1);
    c.Positive("strokeSpace", strokeSpace);
    c.Range("strokeSpaceRnd", strokeSpaceRnd, 0, 1);
    c.Range("strokeCopy", strokeCopy, 1, 10);
    c.Range("strokeCopyRnd", strokeCopyRnd, 0, 10);
    c.AtLeast("strokeExtend", strokeExtend, 0);
    c.Range("strokeeExtendRnd", strokeeExtendRnd, 0, 1);
    c.Finite("strokeOffsetX", strokeOffsetX);
    c.Finite("strokeOffsetY", strokeOffsetY);
    c.AtLeast("strokeOffsetXRnd", strokeOffsetXRnd, 0);
    c.AtLeast("strokeOffsetYRnd", strokeOffsetYRnd, 0);
    c.Finite("strokeNormalOffset", strokeNormalOffset);
    c.AtLeast("strokeNormalOffsetRnd", strokeNormalOffsetRnd, 0);
    c.Range("strokeType", strokeType, 0, 3);

    c.AtLeast("noiseAmount", noiseAmount, 0);
    c.Range("noiseAmountRandom", noiseAmountRandom, 0, 1);
    c.Positive("noiseCycle", noiseCycle);
    c.Range("noiseCycleRandom", noiseCycleRandom, 0, 1);
    c.Range("noisePhase", noisePhase, -9999.9f, 9999.9f);
    c.Range("noisePhaseRandom", noisePhaseRandom, 0, 1);
    c.Range("noiseMapOpacity", noiseMapOpacity, 0, 100);

    c.Range("colorRangeR", colorRangeR, 0, 1);
    c.Range("colorRangeG", colorRangeG, 0, 1);
    c.Range("colorRangeB", colorRangeB, 0, 1);
}

void LineSetDrawSettings::Validate(const char* prefix) const {
    for (size_t g = 0; g < visible.size(); ++g)
        visible[g].Validate(Indexed(prefix, "visible", g).c_str());
    for (size_t g = 0; g < hidden.size(); ++g)
        hidden[g].Validate(Indexed(prefix, "hidden", g).c_str());
}

void DrawSettings::Validate() const {
    ValidateFrame();
    for (size_t i = 0; i < lineSets.size(); ++i)
        lineSets[i].Validate(Indexed("", "lineSets", i).c_str());
}

void DrawSettings::ValidateFrame() const {
    const FieldChecker c("");
    if (oversampling != 1 && oversampling != 2 && oversampling != 4)
        throw std::invalid_argument("draw settings: oversampling = " +
                                    std::to_string(oversampling) + ", expected 1, 2 or 4");
    c.AtLeast("filterWidth", filterWidth, 0);
    c.Positive("randomCellSize", randomCellSize);
    for (size_t i = 0; i < renderElementOutputs.size(); ++i) {
        if (!renderElementOutputs[i])
            throw std::invalid_argument("draw settings: renderElementOutputs[" + std::to_string(i) +
                                        "] is empty");
    }
}

static void CheckScale(float scale) {
    if (!(scale > 0.0f && std::isfinite(scale)))
        throw std::invalid_argument("size scale = " + std::to_string(scale) +
                                    ", expected a positive number");
}

namespace {

void ScaleInPlace(BrushDrawSettings& b, float scale) {
    for (float* length :
         {&b.lineSize, &b.strokeMinLength, &b.strokeLength, &b.strokeSpace, &b.strokeExtend,
          &b.strokeOffsetX, &b.strokeOffsetY, &b.strokeOffsetXRnd, &b.strokeOffsetYRnd,
          &b.strokeNormalOffset, &b.strokeNormalOffsetRnd, &b.noiseAmount, &b.noiseCycle})
        *length *= scale;
}

}  // namespace

BrushDrawSettings ScaleLengths(BrushDrawSettings brush, float scale) {
    CheckScale(scale);
    ScaleInPlace(brush, scale);
    return brush;
}

DrawSettings ScaleLengths(DrawSettings settings, float scale) {
    CheckScale(scale);
    settings.randomCellSize *= scale;
    for (LineSetDrawSettings& lineSet : settings.lineSets) {
        for (BrushDrawSettings& brush : lineSet.visible) ScaleInPlace(brush, scale);
        for (BrushDrawSettings& brush : lineSet.hidden) ScaleInPlace(brush, scale);
    }
    return settings;
}

}  // namespace KvrnLib
