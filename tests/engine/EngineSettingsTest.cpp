// Settings JSON, setters and the small product rules of the engine.

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <ostream>

#include "FakeNetworks.h"
#include "engine/ImGuiToast.h"
#include "engine/PhotoCreator.h"
#include "services/SettingsStore.h"

namespace {

struct JsonCase {
    const char* text;
    int result;
    float alpha;
    int scale;
    bool automask;
    bool layer;
};

// Every case starts from a fresh engine: alpha 1, scale 3, both switches off.
const JsonCase kJsonCases[] = {
    {"{}", 0, 1.0f, 3, false, false},
    {"[1,2]", 0, 1.0f, 3, false, false},
    {"not json", -1, 1.0f, 3, false, false},
    {"{\"Scale\":7}", 0, 1.0f, 3, false, false},
    {"{\"Scale\":-5}", 0, 1.0f, -1, false, false},
    {"{\"Scale\":2.9}", 0, 1.0f, 2, false, false},
    {"{\"Scale\":1e300}", 0, 1.0f, 3, false, false},
    {"{\"Scale\":18446744073709551615}", 0, 1.0f, 3, false, false},
    {"{\"Scale\":true}", 0, 1.0f, 1, false, false},
    {"{\"Alpha1\":\"x\",\"alpha1\":0.5}", 0, 0.5f, 3, false, false},
    {"{\"Alpha1\":\"x\",\"alpha1\":2}", 0, 2.0f, 3, false, false},
    {"{\"Alpha1\":\"x\"}", 0, 1.0f, 3, false, false},
    {"{\"Alpha1\":-2}", 0, 0.0f, 3, false, false},
    {"{\"Alpha1\":150}", 0, 100.0f, 3, false, false},
    {"{\"Alpha1\":1e300}", 0, 100.0f, 3, false, false},
    {"{\"Alpha1\":0.5,\"Scale\":\"x\"}", -1, 0.5f, 3, false, false},
    {"{\"Automask\":true}", 0, 1.0f, 3, true, false},
    {"{\"Automask\":1}", 0, 1.0f, 3, true, false},
    {"{\"Automask\":0.5}", 0, 1.0f, 3, false, false},
    {"{\"Layer\":true,\"Unknown\":5,\"scale\":1}", 0, 1.0f, 3, false, true},
    {"{\"Layer\":null}", -1, 1.0f, 3, false, false},
    {"{\"Alpha1\":0.5 /* comment */}", -1, 1.0f, 3, false, false},
};

// Test names show the JSON text, without the characters test runners trip on.
void PrintTo(const JsonCase& c, std::ostream* out)
{
    std::string name;
    for (const char* p = c.text; *p; ++p)
        if (std::isalnum(static_cast<unsigned char>(*p)) || *p == '-' || *p == '.' || *p == ':' || *p == ',') name += *p;
    *out << (name.empty() ? "empty" : name);
}

class SettingsJsonTest : public ::testing::TestWithParam<JsonCase> {};

TEST_P(SettingsJsonTest, ReadsMembersWithClampsAndFallbacks)
{
    const JsonCase& c = GetParam();
    PhotoCreator engine(false);
    EXPECT_EQ(engine.SetSettingsFromJson(c.text), c.result);
    EXPECT_FLOAT_EQ(*engine.strengthPtr, c.alpha);
    EXPECT_EQ(*engine.processingScalePtr, c.scale);
    EXPECT_EQ(*engine.automaskPtr, c.automask);
    EXPECT_EQ(*engine.layerOutputPtr, c.layer);
}

INSTANTIATE_TEST_SUITE_P(Table, SettingsJsonTest, ::testing::ValuesIn(kJsonCases));

TEST(SettingsJson, WritesSortedCompactWithWidenedFloat)
{
    PhotoCreator engine(false);
    EXPECT_EQ(engine.GetSettingsInJson(), "{\"Alpha1\":1.0,\"Automask\":false,\"Layer\":0,\"Scale\":3}");
    engine.SetSettingsFromJson("{\"Alpha1\":0.3,\"Layer\":true,\"Automask\":1,\"Scale\":1}");
    EXPECT_EQ(engine.GetSettingsInJson(), "{\"Alpha1\":0.30000001192092896,\"Automask\":true,\"Layer\":1,\"Scale\":1}");
}

TEST(EngineSetters, AlphaIsClampedAndDownscaleFollowsDirtStrength)
{
    PhotoCreator engine(false);
    const std::pair<float, float> alphas[] = {{-3.0f, 0.0f}, {250.0f, 100.0f}, {0.4f, 0.4f}};
    for (auto [in, stored] : alphas) {
        engine.SetAlpha(in);
        EXPECT_FLOAT_EQ(engine.strength, stored) << in;
    }
    const std::pair<int, int> factors[] = {{1, 3}, {2, 2}, {3, 1}, {-1, 1}, {0, 1}};
    for (auto [scale, k] : factors) {
        engine.processingScale = scale;
        EXPECT_EQ(engine.CalcNetDownscaleK(80), k) << scale;
    }
    // A host may bind its own variable; the setter writes through it.
    float hostStrength = 7.0f;
    engine.AssignAlphaPointer(&hostStrength);
    engine.SetAlpha(0.25f);
    EXPECT_FLOAT_EQ(hostStrength, 0.25f);
}

TEST(EngineTexts, ProductDefaults)
{
    PhotoCreator engine(false);
    EXPECT_EQ(engine.GetTitle(), "Kestrelion Tessaline v.1.019 ");
    EXPECT_EQ(engine.modelNames, (std::vector<std::string>{"TessalineId", "subjectmasking"}));
    EXPECT_EQ(engine.processingScale, 3);
    EXPECT_EQ(engine.runState, Running);
    EXPECT_EQ(engine.CalcNetDownscaleK(80), 1);
}

TEST(EngineErrors, FirstTitleKeptMessagesJoinedAndToastsCut)
{
    toastQueue().clear();
    PhotoCreator engine(false);
    engine.ErrorMessage("First", "one");
    engine.ErrorMessage("Second", "two");
    EXPECT_EQ(engine.errorText, "one\ntwo");
    EXPECT_EQ(engine.errorTitle, "First");
    engine.SetToast(5, std::string(5000, 'x'), "");
    ASSERT_EQ(toastQueue().size(), 3u);
    EXPECT_EQ(std::string(toastQueue().back().content).size(), 4095u);
    EXPECT_STREQ(toastQueue().back().title, "");
    EXPECT_EQ(toastQueue().front().durationMs, 36000000);
    toastQueue().clear();
}

TEST(EngineSettingsStore, GpuToggleAndModelRevisionRepair)
{
    PhotoCreator engine(false);
    setToReg(engine.productKey, "DISABLE_GPU", "");
    engine.disableGPU(-1);
    EXPECT_EQ(getFromReg(engine.productKey, "DISABLE_GPU", ""), "1");
    engine.disableGPU(-1);
    EXPECT_EQ(getFromReg(engine.productKey, "DISABLE_GPU", ""), "0");

    setToReg(engine.productKey, "modelrevision", "0");
    FakeEngine fake = makeFakeEngine();
    fake.engine->modelLoadPending = -1;
    fake.engine->modelBuffers.emplace_back(std::vector<unsigned char>(1000, 1));
    EXPECT_TRUE(fake.engine->LoadModel(OpenCL, false));
    EXPECT_EQ(getFromReg(engine.productKey, "modelrevision", ""), "1");
    // Loaded once: a second load, even a reload, keeps the model.
    EXPECT_FALSE(fake.engine->LoadModel(OpenCL, true));
    EXPECT_EQ(fake.engine->modelBuffers[0].size(), 1000u);
}

TEST(EngineSettingsStore, DeviceIndexBeyondDevicesIsReset)
{
    toastQueue().clear();
    FakeEngine fake = makeFakeEngine();
    setToReg(fake.engine->productKey, "ailayersFlags", "5");
    // The fake reports one device; the mask resource is missing here, which
    // only matters for loading and is reported as its own toast.
    fake.engine->LoadModelSystem(OpenCL);
    EXPECT_EQ(getFromReg(fake.engine->productKey, "ailayersFlags", ""), "0");
    bool warned = false;
    for (const ImGuiToast& toast : toastQueue())
        warned |= std::string(toast.content).rfind("Selected OpenCL device number higher", 0) == 0;
    EXPECT_TRUE(warned);
    toastQueue().clear();
}

} // namespace
