#include "detection_settings.h"

#include <gtest/gtest.h>

namespace KvrnLib {
namespace {

TEST(DetectionSettings, MaterialMapUsesTheModuloRuleAndFallsBackToTheDefault) {
    ObjectDetection object;
    object.defaultLineSet = 4;
    EXPECT_EQ(object.LineSetOfMaterial(7), 4);  // empty map: the default serves every face
    EXPECT_EQ(object.FunctionsOfMaterial(7), -1);
    object.materialLineSets = {0, 2, -1};
    object.materialFunctions = {-1, 5};
    EXPECT_EQ(object.LineSetOfMaterial(7), 2);  // 7 mod 3 = 1
    EXPECT_EQ(object.LineSetOfMaterial(2), -1);
    EXPECT_EQ(object.LineSetOfMaterial(65535), 0);  // 65535 mod 3 = 0
    EXPECT_EQ(object.FunctionsOfMaterial(3), 5);
}

TEST(DetectionSettings, FaceSelectionsByObjectAndFace) {
    FaceSelection selection;
    EXPECT_TRUE(selection.Empty());
    EXPECT_FALSE(selection.Contains(0, 0));
    selection.objects.resize(3);
    selection.objects[1].wholeObject = 1;
    selection.objects[2].faceBits = {0, uint64_t(1) << 5};
    EXPECT_FALSE(selection.Empty());
    EXPECT_TRUE(selection.Contains(1, 123456));
    EXPECT_TRUE(selection.Contains(2, 69));
    EXPECT_FALSE(selection.Contains(2, 68));
    EXPECT_FALSE(selection.Contains(2, 1000));  // past the bit set
    EXPECT_FALSE(selection.Contains(3, 0));     // past the objects
}

}  // namespace
}  // namespace KvrnLib
