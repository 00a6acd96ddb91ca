#include "function_publishing.h"

#include <gtest/gtest.h>

#include "class_desc.h"
#include "node.h"
#include "test_util.h"

namespace KvrnHost {
namespace {

TEST(FunctionPublishingTest, InvokeChecksTheFunctionAndItsArguments) {
    FPMixinInterface fpi(Interface_ID(1, 2), "Mix");
    fpi.AppendFunction(
        {0, "twice", FPType::Float, {FPType::Float}, [](const std::vector<FPValue>& a) {
             return FPValue(2 * std::get<float>(a[0]));
         }});
    fpi.AppendFunction(
        {3, "name", FPType::String, {FPType::RefTarg}, [](const std::vector<FPValue>& a) {
             auto* node = dynamic_cast<INode*>(std::get<ReferenceTarget*>(a[0]));
             return FPValue(node ? node->GetName() : std::string());
         }});
    FPValue result;
    EXPECT_EQ(fpi.Invoke(0, {3}, result), FPStatus::Ok);
    EXPECT_FLOAT_EQ(std::get<float>(result), 6.0f);
    EXPECT_EQ(fpi.Invoke(1, {}, result), FPStatus::UnknownFunction);
    EXPECT_EQ(fpi.Invoke("nope", {}, result), FPStatus::UnknownFunction);
    EXPECT_EQ(fpi.Invoke(0, {std::string("x")}, result), FPStatus::BadArguments);
    EXPECT_EQ(fpi.Invoke(0, {}, result), FPStatus::BadArguments);
    RefPtr<INode> node(new INode);
    node->SetName("Box");
    EXPECT_EQ(fpi.Invoke("name", {node.get()}, result), FPStatus::Ok);
    EXPECT_EQ(std::get<std::string>(result), "Box");
    EXPECT_THROW(fpi.AppendFunction({3, "other", FPType::Void, {}, nullptr}),
                 std::invalid_argument);
}

TEST(FunctionPublishingTest, CoreRegistryFindsStaticInterfacesById) {
    FPStaticInterface fpi(Interface_ID(0x420B13DC, 0x743D40D3), "Static");
    RegisterCoreInterface(&fpi);
    EXPECT_EQ(GetCOREInterface(Interface_ID(0x420B13DC, 0x743D40D3)), &fpi);
    EXPECT_EQ(GetCOREInterface(Interface_ID(0x420B13DC, 0)), nullptr);
    UnregisterCoreInterface(fpi.GetID());
    EXPECT_EQ(GetCOREInterface(fpi.GetID()), nullptr);
}

class MtlDesc : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool) override { return new TestMtl; }
    std::string ClassName() const override { return "Test Mtl"; }
    SClass_ID SuperClassID() const override { return MATERIAL_CLASS_ID; }
    Class_ID ClassID() const override { return Class_ID(7, 9); }
};

TEST(ClassDirectoryTest, CreatesRegisteredClassesAndRefusesDuplicates) {
    MtlDesc desc;
    MtlDesc twin;
    ClassDirectory directory;
    directory.Register(&desc);
    EXPECT_THROW(directory.Register(&twin), std::invalid_argument);
    RefPtr<ReferenceTarget> made(directory.CreateInstance(MATERIAL_CLASS_ID, Class_ID(7, 9)));
    EXPECT_NE(dynamic_cast<TestMtl*>(made.get()), nullptr);
    EXPECT_EQ(directory.CreateInstance(TEXMAP_CLASS_ID, Class_ID(7, 9)), nullptr);
}

}  // namespace
}  // namespace KvrnHost
