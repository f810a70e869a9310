// The OpenCL back-end on real PoCL devices: two CPU devices are exposed so
// that the fallback from a failing device to the next can be exercised.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ailayers/AILayers.h"
#include "ailayers/DiagnosticsLog.h"
#include "ailayers/ModelLogicOpenCL.h"
#include "services/SettingsStore.h"

namespace {

// Must be in place before the OpenCL runtime loads PoCL.
const bool twoDevices = [] { return setenv("POCL_DEVICES", "pthread pthread", 1) == 0; }();

std::vector<char> readFixture(const std::string& name)
{
    const char* root = std::getenv("TESSALINE_FIXTURES");
    std::ifstream in(std::string(root ? root : "tests/fixtures") + "/models/" + name, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

class ModelLogicOpenCLTest : public ::testing::Test {
protected:
    std::vector<char> addHalf = readFixture("add_half.cnn");
    std::vector<float> input = std::vector<float>(5 * 4 * 3 + 3, 0.25f);

    void SetUp() override
    {
        ASSERT_TRUE(twoDevices);
        ASSERT_GT(addHalf.size(), 100u);
        oclErrorLog.clear();
        modelLogicErrorMessage.clear();
    }

    std::unique_ptr<ModelLogicOpenCL> loadedBackEnd()
    {
        auto backEnd = std::make_unique<ModelLogicOpenCL>(0, "TestModel");
        EXPECT_TRUE(backEnd->initModel(addHalf.data(), unsigned(addHalf.size()), "", ""));
        return backEnd;
    }
};

} // namespace

TEST_F(ModelLogicOpenCLTest, HealthyDeviceReturnsTheLastLayersOutput)
{
    auto backEnd = loadedBackEnd();
    const image_template<float> out = backEnd->runModel(input.data(), 5, 4, 3);
    ASSERT_EQ(out.shape(), "(5, 4, 3)");
    for (int i = 0; i < 60; ++i) ASSERT_FLOAT_EQ(out.data[i], 0.75f);
    EXPECT_TRUE(oclErrorLog.empty());
    EXPECT_EQ(backEnd->deviceIndex, 0);
    EXPECT_EQ(backEnd->getInputChannelCount(), 3);
    EXPECT_GT(backEnd->getModelRAM(), 0u);
}

TEST_F(ModelLogicOpenCLTest, FailingDeviceSwitchesToTheNextAndReloads)
{
    for (auto point : {ModelLogicOpenCL::FailurePoint::Allocation, ModelLogicOpenCL::FailurePoint::Prediction}) {
        auto backEnd = loadedBackEnd();
        const std::string firstDevice = backEnd->engine().engineInformation;
        backEnd->injectFailure = [point](int device, ModelLogicOpenCL::FailurePoint p) {
            return device == 0 && p == point;
        };
        const image_template<float> out = backEnd->runModel(input.data(), 5, 4, 3);
        ASSERT_EQ(out.shape(), "(5, 4, 3)");
        EXPECT_FLOAT_EQ(out.data[59], 0.75f);
        EXPECT_EQ(backEnd->deviceIndex, 1);
        const std::string errors = backEnd->getErrorText();
        EXPECT_NE(errors.find(firstDevice + " - Failed.\n"), std::string::npos) << errors;
        EXPECT_NE(errors.find("Switched to : "), std::string::npos) << errors;
        EXPECT_EQ(backEnd->getErrorText(), "") << "the text is handed out once";
    }
}

TEST_F(ModelLogicOpenCLTest, AllDevicesFailingGivesEmptyAndTheNextRunStartsAtZero)
{
    auto backEnd = loadedBackEnd();
    std::vector<int> devicesTried;
    backEnd->injectFailure = [&](int device, ModelLogicOpenCL::FailurePoint) {
        devicesTried.push_back(device);
        return true;
    };
    image_template<float> out = backEnd->runModel(input.data(), 5, 4, 3);
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(out.shape(), "(0, 0, 0)");
    EXPECT_EQ(backEnd->deviceIndex, -1);
    EXPECT_EQ(devicesTried, (std::vector<int> {0, 1}));
    EXPECT_NE(backEnd->getErrorText().find("All devices failed for TestModel"), std::string::npos);

    backEnd->injectFailure = nullptr;
    out = backEnd->runModel(input.data(), 5, 4, 3);
    ASSERT_EQ(out.shape(), "(5, 4, 3)");
    EXPECT_FLOAT_EQ(out.data[0], 0.75f);
    EXPECT_EQ(backEnd->deviceIndex, 0);
}

TEST_F(ModelLogicOpenCLTest, DeallocateBeforeLoadingChangesNothing)
{
    ModelLogicOpenCL backEnd(0, "TestModel");
    backEnd.deallocate();
    EXPECT_FALSE(backEnd.isLoaded());
    EXPECT_EQ(backEnd.getInputChannelCount(), 3);
    EXPECT_EQ(backEnd.getModelRAM(), 0u);
    EXPECT_EQ(backEnd.getModelTimestamp(), 0);
}

// Tiled prediction through the real engine: the identity network gives the
// input back through the detail-restoring shrink.
TEST_F(ModelLogicOpenCLTest, TiledPredictionOnTheDevice)
{
    std::vector<char> identity = readFixture("identity.cnn");
    AILayers layers(0, "TestModel", OpenCL);
    layers.initializeAILayers("Kestrelion Tessaline", nullptr);
    ASSERT_TRUE(layers.loadModel(identity.data(), unsigned(identity.size()), "", ""));
    const int width = 50, height = 30;
    std::vector<float> pixels(size_t(width) * height * 3 + 3);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = float((i * 13) % 29) / 28.0f;
    const image_template<float> image(width, height, 3, pixels.data());
    for (int downscale : {-1, -2, -3}) {
        const image_template<float> out = layers.predictByTilesImageFloat(image, 24, 8, downscale, nullptr, nullptr);
        ASSERT_EQ(out.shape(), image.shape()) << layers.getErrorText(2048);
        for (int64_t i = 0; i < image.elementCount(); ++i)
            ASSERT_NEAR(out.data[i], pixels[size_t(i)], downscale == -1 ? 0.0f : 1e-5f) << downscale << " " << i;
    }
}

// The two logging switches are separate: the engine's lines follow the
// "AIlayers" text switch, the tiled-prediction lines the "AILayers" integer.
TEST_F(ModelLogicOpenCLTest, EngineLogsWithoutTiledPredictionLines)
{
    namespace fs = std::filesystem;
    const fs::path home = fs::temp_directory_path() / ("tessaline-logging-" + std::to_string(getpid()));
    fs::remove_all(home);
    setSettingsFilePath((home / "Kestrelion.plist").string());
    setToReg("AILayers", "logging", "0");
    setToReg("AIlayers", "logging", "1");
    const std::string savedCache = std::getenv("XDG_CACHE_HOME") ? std::getenv("XDG_CACHE_HOME") : "";
    setenv("XDG_CACHE_HOME", home.c_str(), 1);

    std::vector<char> identity = readFixture("identity.cnn");
    {
        AILayers layers(0, "TestModel", OpenCL);
        layers.initializeAILayers("Kestrelion Tessaline", nullptr);
        ASSERT_TRUE(layers.loadModel(identity.data(), unsigned(identity.size()), "", ""));
        const image_template<float> image(5, 4, 3, input.data());
        ASSERT_NE(layers.predictByTilesImageFloat(image, 16, 8, 1, nullptr, nullptr).data, nullptr);
    }
    std::ifstream in(home / "kestrelion" / "ailayers.log");
    const std::string log((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(log.find(" ModelLogicOpenCL RunModel 16"), std::string::npos) << log;
    EXPECT_NE(log.find(" inference predict returned 1"), std::string::npos);
    EXPECT_EQ(log.find("*predictByTilesImageFloat start"), std::string::npos);
    EXPECT_EQ(log.find("*** Processing tile"), std::string::npos);
    EXPECT_EQ(getFromReg("AILayers", "tilessplit", ""), "1");

    setenv("XDG_CACHE_HOME", savedCache.c_str(), 1);
    setSettingsFilePath("");
    fs::remove_all(home);
}
