#include "draw_settings.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>

namespace KvrnLib {
namespace {

template <class Record>
std::string ValidationError(const Record& record) {
    try {
        record.Validate();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

TEST(DrawSettings, DefaultsValidateAndDetailTypesMapToBrushTypes) {
    EXPECT_EQ(ValidationError(DrawSettings{}), "");
    EXPECT_EQ(ValidationError(LineSetDrawSettings{}), "");
    EXPECT_EQ(BrushTypeOfDetailType(0), kBrushNormal);
    EXPECT_EQ(BrushTypeOfDetailType(1), kBrushMultiple);
    EXPECT_EQ(BrushTypeOfDetailType(3), kBrushSimple);
}

TEST(DrawSettings, SizeScaleMultipliesExactlyTheLengths) {
    using B = BrushDrawSettings;
    using Field = float B::*;
    const Field lengths[] = {
        &B::lineSize,           &B::strokeMinLength,       &B::strokeLength,
        &B::strokeSpace,        &B::strokeExtend,          &B::strokeOffsetX,
        &B::strokeOffsetY,      &B::strokeOffsetXRnd,      &B::strokeOffsetYRnd,
        &B::strokeNormalOffset, &B::strokeNormalOffsetRnd, &B::noiseAmount,
        &B::noiseCycle};
    // Fractions, angles and the noise map's strength are not lengths.
    const Field others[] = {&B::stampSize, &B::strokeLengthRnd, &B::noiseMapOpacity, &B::angle,
                            &B::strokeDirectionAngle};
    BrushDrawSettings b;
    float value = 2;
    for (Field f : lengths) b.*f = value++;
    for (Field f : others) b.*f = 0.25f;

    DrawSettings d;
    d.lineSets.resize(2);
    d.lineSets[1].hidden[9] = b;
    const DrawSettings s = ScaleLengths(d, 1280 * kRelativeSizeScale);  // 1280 pixels high
    EXPECT_EQ(s.randomCellSize, 16.0f);
    EXPECT_EQ(s.lineSets[0].visible[1].lineSize, 2.0f);  // every brush scales
    for (Field f : lengths) EXPECT_EQ(s.lineSets[1].hidden[9].*f, 2 * (b.*f));
    for (Field f : others) EXPECT_EQ(s.lineSets[1].hidden[9].*f, 0.25f);
    EXPECT_EQ(d.lineSets[1].hidden[9].lineSize, 2.0f);  // the source is untouched

    for (float bad : {-1.0f, std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_THROW(ScaleLengths(d, bad), std::invalid_argument) << bad;
        EXPECT_THROW(ScaleLengths(b, bad), std::invalid_argument) << bad;
    }
}

TEST(DrawSettings, ValidateNamesTheFieldAndItsPlace) {
    DrawSettings d;
    d.lineSets.resize(3);
    d.lineSets[2].hidden[4].grooveNum = 25;
    EXPECT_EQ(ValidationError(d),
              "draw settings: lineSets[2].hidden[4].grooveNum = 25, expected from 3 to 20");
    d.lineSets[2].hidden[4].grooveNum = 20;
    d.lineSets[1].visible[0].alpha = std::numeric_limits<float>::quiet_NaN();
    EXPECT_NE(ValidationError(d).find("lineSets[1].visible[0].alpha = nan"), std::string::npos);

    const std::pair<const char*, void (*)(BrushDrawSettings&)> cases[] = {
        {"brushType", [](BrushDrawSettings& b) { b.brushType = 3; }},
        {"lineSize", [](BrushDrawSettings& b) { b.lineSize = 0; }},
        {"blend", [](BrushDrawSettings& b) { b.blend = 16; }},
        {"stretch", [](BrushDrawSettings& b) { b.stretch = -1.5f; }},
        {"strokeCopy", [](BrushDrawSettings& b) { b.strokeCopy = 0; }},
        {"noiseMapOpacity", [](BrushDrawSettings& b) { b.noiseMapOpacity = 101; }},
    };
    for (const auto& [field, breakIt] : cases) {
        BrushDrawSettings b;
        breakIt(b);
        const std::string message = ValidationError(b);
        EXPECT_NE(message.find(std::string(" ") + field + " = "), std::string::npos)
            << field << ": " << message;
    }
    BrushDrawSettings scaled;  // scaled lengths may pass the editor's upper limits
    scaled.lineSize = 250;
    scaled.noiseAmount = 3000;
    EXPECT_EQ(ValidationError(scaled), "");

    DrawSettings frame;
    frame.oversampling = 3;
    EXPECT_EQ(ValidationError(frame), "draw settings: oversampling = 3, expected 1, 2 or 4");
    frame.oversampling = 4;
    frame.renderElementOutputs.resize(1);
    EXPECT_EQ(ValidationError(frame), "draw settings: renderElementOutputs[0] is empty");
}

}  // namespace
}  // namespace KvrnLib
