#include "std_mtl.h"

#include <gtest/gtest.h>

#include <cctype>

#include "checker.h"
#include "hold.h"
#include "host_classes.h"
#include "multi_mtl.h"

namespace {

class MaterialTest : public ::testing::Test {
  protected:
    void SetUp() override { theHold.Clear(); }
    void TearDown() override { theHold.Clear(); }
};

StdMtl* NewStd(RefHolder& holder) {
    holder.Set(StdMtlClassDesc().Create(false));
    return static_cast<StdMtl*>(holder.Get());
}

TEST_F(MaterialTest, StandardMaterialStatesTwoSidedAndReadsFractions) {
    RefHolder holder;
    StdMtl* mtl = NewStd(holder);
    EXPECT_EQ(mtl->Requirements(-1) & MTLREQ_2SIDE, 0u);
    mtl->Params()->SetValue(kStdTwoSided, 0, true);
    EXPECT_EQ(mtl->Requirements(-1) & MTLREQ_2SIDE, MTLREQ_2SIDE);
    EXPECT_TRUE(mtl->GetTwoSided(0));

    mtl->Params()->SetValue(kStdOpacity, 0, 40.0);
    mtl->Params()->SetValue(kStdDiffuse, 0, ParamValue(Color(0.1f, 0.2f, 0.3f)));
    EXPECT_FLOAT_EQ(mtl->GetOpacity(0), 0.4f);
    EXPECT_EQ(mtl->GetDiffuse(0), Color(0.1f, 0.2f, 0.3f));
    EXPECT_FLOAT_EQ(mtl->GetGlossiness(0), 0.1f);

    auto* map = static_cast<Texmap*>(CheckerClassDesc().Create(false));
    ASSERT_TRUE(mtl->Params()->SetValue(kStdDiffuseMap, 0, ParamValue(map)));
    EXPECT_EQ(mtl->GetSubTexmap(StdMtl::kMapDiffuse), map);
    EXPECT_EQ(mtl->GetActiveMap(StdMtl::kMapDiffuse, 0), map);
    mtl->Params()->SetValue(kStdDiffuseMapEnable, 0, false);
    EXPECT_EQ(mtl->GetActiveMap(StdMtl::kMapDiffuse, 0), nullptr);
    EXPECT_FLOAT_EQ(mtl->GetMapAmount(StdMtl::kMapBump, 0), 0.3f);

    RefHolder copy(CloneRefHierarchy(mtl).get());
    auto* clone = static_cast<StdMtl*>(copy.Get());
    EXPECT_TRUE(clone->GetTwoSided(0));
    EXPECT_EQ(clone->GetName(), mtl->GetName());
    ASSERT_NE(clone->GetSubTexmap(StdMtl::kMapDiffuse), nullptr);
    EXPECT_NE(clone->GetSubTexmap(StdMtl::kMapDiffuse), map);

    StdMtl bare;  // built without its class descriptor: no block
    EXPECT_THROW(bare.GetDiffuse(0), std::runtime_error);
}

TEST_F(MaterialTest, MultiMaterialFindsSubMaterialsByIdModuloTheCount) {
    RefHolder holder(MultiMtlClassDesc().Create(false));
    auto* multi = static_cast<MultiMtl*>(holder.Get());
    multi->SetNumSubMtls(3);
    ASSERT_EQ(multi->NumSubMtls(), 3);
    RefHolder subs[3];
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(multi->GetSubMtlID(i), i);
        multi->SetSubMtl(i, NewStd(subs[i]));
    }
    EXPECT_EQ(multi->MaterialForID(1), multi->GetSubMtl(1));
    EXPECT_EQ(multi->MaterialForID(7), multi->GetSubMtl(1));  // 7 mod 3
    EXPECT_EQ(multi->MaterialForID(-2), multi->GetSubMtl(1));

    multi->SetSubMtlID(2, 25);  // an exact ID wins over the modulo
    EXPECT_EQ(multi->MaterialForID(25), multi->GetSubMtl(2));
    EXPECT_EQ(multi->MaterialForID(2), nullptr);  // nothing has ID 2 any more
    multi->SetSubMtlEnabled(1, false);
    EXPECT_EQ(multi->MaterialForID(1), nullptr);

    // Growing continues the IDs after the largest.
    multi->SetNumSubMtls(4);
    EXPECT_EQ(multi->GetSubMtlID(3), 26);
    EXPECT_EQ(multi->GetSubMtl(3), nullptr);

    static_cast<StdMtl*>(multi->GetSubMtl(0))->Params()->SetValue(kStdTwoSided, 0, true);
    EXPECT_EQ(multi->Requirements(0), MTLREQ_2SIDE);
    EXPECT_EQ(multi->Requirements(25), 0u);
    EXPECT_EQ(multi->Requirements(-1), MTLREQ_2SIDE);

    multi->SetSubMtlName(0, "Walls");
    RefHolder copy(CloneRefHierarchy(multi).get());
    auto* clone = static_cast<MultiMtl*>(copy.Get());
    ASSERT_EQ(clone->NumSubMtls(), 4);
    EXPECT_EQ(clone->GetSubMtlName(0), "Walls");
    EXPECT_NE(clone->GetSubMtl(0), multi->GetSubMtl(0));
    ASSERT_NE(clone->GetSubMtl(0), nullptr);
    EXPECT_EQ(clone->Requirements(0), MTLREQ_2SIDE);

    theHold.Begin();
    multi->SetNumSubMtls(1);
    theHold.Accept("shrink");
    EXPECT_EQ(multi->NumSubMtls(), 1);
    theHold.Undo();
    EXPECT_EQ(multi->NumSubMtls(), 4);
}

// The scene files set parameters by internal name: every class registers, builds its blocks and
// names each parameter in lower camel case.
TEST_F(MaterialTest, RegisteredClassesCreateBlocksWithLowerCamelCaseNames) {
    ClassDirectory directory;
    RegisterHostMaterialClasses(directory);
    RegisterHostMaterialClasses(directory);  // again: nothing changes
    ASSERT_EQ(directory.Count(), 8);
    for (int i = 0; i < directory.Count(); ++i) {
        ClassDesc2* desc = directory.Get(i);
        RefHolder holder(directory.CreateInstance(desc->SuperClassID(), desc->ClassID(), false));
        ReferenceTarget* object = holder.Get();
        ASSERT_NE(object, nullptr) << desc->ClassName();
        EXPECT_EQ(object->ClassID(), desc->ClassID());
        ASSERT_GE(object->NumParamBlocks(), 1) << desc->ClassName();
        const ParamBlockDesc2* block = object->GetParamBlock(0)->GetDesc();
        for (int p = 0; p < block->Count(); ++p) {
            const std::string& name = block->GetParamDefByIndex(p).internalName;
            ASSERT_FALSE(name.empty());
            EXPECT_TRUE(std::islower(static_cast<unsigned char>(name[0])))
                << desc->ClassName() << "." << name;
            for (char c : name)
                EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)))
                    << desc->ClassName() << "." << name;
        }
    }
}

}  // namespace
