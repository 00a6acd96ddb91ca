// Scene-file values into blocks: errors with key paths instead of clamping, nothing set on an
// error, and the written form read back unchanged.
#include "param_json.h"

#include <gtest/gtest.h>

#include "hold.h"
#include "line_classes.h"
#include "lineset.h"
#include "node.h"

namespace {

using nlohmann::json;

class ParamJsonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterBrushClasses(ClassDirectory::Instance());
        RegisterLineSetClasses(ClassDirectory::Instance());
        theHold.Clear();
        holder_.Set(new KvrnLineset());
        node_ = new INode;
        node_->SetName("teapot");
        scene_.GetRootNode()->AttachChild(node_);
    }
    void TearDown() override { theHold.Clear(); }
    KvrnLineset& Set() { return *AsLineset(holder_.Get()); }
    JsonNameResolver Resolver() {
        return [this](ParamType type, const std::string& name) -> ReferenceTarget* {
            return type == ParamType::Node ? scene_.FindNode(name) : nullptr;
        };
    }

    RefHolder holder_;
    Scene scene_;
    INode* node_ = nullptr;
};

TEST_F(ParamJsonTest, BadKeysAndValuesAreReportedWithTheirPathAndNothingIsSet) {
    IParamBlock2& edges = *Set().EdgeBlock(0);
    const std::string path = "lineSets[0].visible";
    struct Case {
        const char* json;
        const char* error;
    };
    const Case cases[] = {
        {R"({"edgeWireVisible": true, "edgeNormalMaxVisible": 181})",
         "lineSets[0].visible.edgeNormalMaxVisible: value 181 out of range 0"},
        {R"({"edgeWireVisible": true, "edgeWire": true})",
         "lineSets[0].visible.edgeWire: no parameter of that name in 'edgeVisible'"},
        {R"({"edgeWireVisible": "yes"})", "lineSets[0].visible.edgeWireVisible: expected true"},
        {R"({"edgeWireVisible": true, "edgeNormalMinVisible": "x"})",
         "lineSets[0].visible.edgeNormalMinVisible: expected a number"},
        {R"([1])", "lineSets[0].visible: expected an object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        const std::string error = ApplyJsonToBlock(edges, json::parse(c.json), 0, path);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_FALSE(edges.GetBool(KvrnLineset::kEdgeWire));
    }
    IParamBlock2& main = *Set().MainBlock();
    EXPECT_EQ(
        ApplyJsonToBlock(main, json::parse(R"({"ID": 9})"), 0, "set").rfind("set.ID: value 9", 0),
        0u);
    EXPECT_EQ(ApplyJsonToBlock(main, json::parse(R"({"ID": 2.5})"), 0, "set")
                  .rfind("set.ID: expected an integer", 0),
              0u);
    EXPECT_EQ(
        ApplyJsonToBlock(main, json::parse(R"({"objects": ["kettle"]})"), 0, "set", Resolver())
            .rfind("set.objects: [0]: no object named \"kettle\"", 0),
        0u);
    EXPECT_NE(ApplyJsonToBlock(main, json::parse(R"({"load": "x.kvx"})"), 0, "set"), "");
    EXPECT_EQ(main.GetInt(KvrnLineset::kID), 1);
}

TEST_F(ParamJsonTest, KeysAnimateAParameterAndBadKeysSetNothing) {
    IParamBlock2& edges = *Set().EdgeBlock(0);
    const std::string path = "keys.linesets.Set1.edgeNormalMaxVisible";
    EXPECT_EQ(ApplyJsonKeys(edges, "edgeNormalMaxVisible", {{0, "60"}, {300, "120"}}, path), "");
    EXPECT_FALSE(IsAnimateOn());
    EXPECT_FLOAT_EQ(edges.GetFloat(KvrnLineset::kEdgeNormalMax, 0), 60.0f);
    EXPECT_FLOAT_EQ(edges.GetFloat(KvrnLineset::kEdgeNormalMax, 300), 120.0f);
    const float between = edges.GetFloat(KvrnLineset::kEdgeNormalMax, 150);
    EXPECT_GT(between, 60.0f);
    EXPECT_LT(between, 120.0f);

    IParamBlock2& main = *Set().MainBlock();
    EXPECT_EQ(ApplyJsonKeys(main, "objects", {{0, "[]"}}, "k"),
              "k: the parameter is not animatable");
    EXPECT_EQ(ApplyJsonKeys(main, "nothing", {{0, "1"}}, "k"), "k: no parameter of that name");
    // The second key is out of range: the first is not set either.
    EXPECT_EQ(ApplyJsonKeys(edges, "edgeNormalMinVisible", {{0, "10"}, {30, "500"}}, "k")
                  .rfind("k[1]: value 500 out of range", 0),
              0u);
    EXPECT_FALSE(edges.IsKeyed(KvrnLineset::kEdgeNormalMin));
}

TEST_F(ParamJsonTest, WrittenBlocksReadBackUnchanged) {
    IParamBlock2& main = *Set().MainBlock();
    const json values = json::parse(
        R"({"name": "Ink", "ID": 4, "enable": false, "objects": ["teapot"], "mtls": []})");
    ASSERT_EQ(ApplyJsonToBlock(main, values, 0, "set", Resolver()), "");
    EXPECT_EQ(Set().Objects(), std::vector<INode*>{node_});
    EXPECT_EQ(Set().Name(), "Ink");
    const json written = BlockToJson(main, 0);
    EXPECT_EQ(written.at("ID"), 4);
    EXPECT_EQ(written.at("enable"), false);
    EXPECT_EQ(written.at("objects"), json::array({"teapot"}));
    EXPECT_FALSE(written.contains("load"));

    RefHolder other(new KvrnLineset());
    IParamBlock2& copy = *AsLineset(other.Get())->MainBlock();
    ASSERT_EQ(ApplyJsonToBlock(copy, written, 0, "set", Resolver()), "");
    EXPECT_EQ(BlockToJson(copy, 0), written);

    IParamBlock2& edges = *Set().EdgeBlock(1);
    edges.SetValue(KvrnLineset::kEdgeNormalMin, 0, 12.5);
    RefHolder third(new KvrnLineset());
    IParamBlock2& edgeCopy = *AsLineset(third.Get())->EdgeBlock(1);
    ASSERT_EQ(ApplyJsonToBlock(edgeCopy, BlockToJson(edges, 0), 0, "hidden"), "");
    EXPECT_EQ(edgeCopy.GetFloat(KvrnLineset::kEdgeNormalMin), 12.5f);
    EXPECT_EQ(BlockToJson(edgeCopy, 0), BlockToJson(edges, 0));
}

}  // namespace
