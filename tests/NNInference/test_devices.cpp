// Device rating and ordering, the OpenCL error table and report format, and
// initialisation on the machine's devices.

#include <gmock/gmock.h>

#include <algorithm>

#include "EngineHelpers.h"
#include "NNInference/OpenCLDevices.h"
#include "NNInference/OpenCLErrors.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

TEST(DeviceRating, PrefersDiscreteGpusThenAcceleratorsThenCpus)
{
    struct Case {
        cl_device_type type;
        const char* name;
        int32_t rating;
    };
    const Case cases[] = {
        {CL_DEVICE_TYPE_GPU, "Radeon Pro 5500M", 1000},
        {CL_DEVICE_TYPE_GPU, "Intel(R) UHD Graphics 630", 500},
        {CL_DEVICE_TYPE_ACCELERATOR, "FPGA", 100},
        {CL_DEVICE_TYPE_CPU, "pthread-skylake", 1},
        {CL_DEVICE_TYPE_GPU, "Microsoft Basic Render Driver", 0},
        {CL_DEVICE_TYPE_CPU, "Microsoft Basic Render Driver", -999},
    };
    for (const Case& c : cases) EXPECT_EQ(rateDevice(c.type, c.name), c.rating) << c.name;
}

TEST(DeviceRating, SmallGpusAreSkippedButSmallCpusAreNot)
{
    EXPECT_TRUE(gpuMemoryTooSmall(CL_DEVICE_TYPE_GPU, 1400));
    EXPECT_FALSE(gpuMemoryTooSmall(CL_DEVICE_TYPE_GPU, 1401));
    EXPECT_FALSE(gpuMemoryTooSmall(CL_DEVICE_TYPE_CPU, 512));
}

TEST(DeviceRating, SortPutsTheHighestRatingFirst)
{
    std::vector<DEVICES> list(4);
    const int32_t ratings[] = {1, 500, -999, 1000};
    for (size_t i = 0; i < list.size(); ++i) list[i].rating = ratings[i];
    std::sort(list.begin(), list.end(), sortByRating);
    std::vector<int32_t> order;
    for (const DEVICES& d : list) order.push_back(d.rating);
    EXPECT_EQ(order, (std::vector<int32_t>{1000, 500, 1, -999}));
}

TEST(DeviceRating, LongNamesAreCutAt199Characters)
{
    DEVICES device;
    copyDeviceText(device.deviceName, std::string(300, 'x'));
    EXPECT_EQ(std::string(device.deviceName), std::string(199, 'x'));
}

TEST(OpenCLErrors, NamesFollowTheStandardNumbering)
{
    struct Case {
        int code;
        const char* name;
    };
    const Case cases[] = {{0, "CL_SUCCESS"},           {-5, "CL_OUT_OF_RESOURCES"},
                          {-12, "CL_MAP_FAILURE"},     {-13, ""},
                          {-29, ""},                   {-30, "CL_INVALID_VALUE"},
                          {-54, "CL_INVALID_WORK_GROUP_SIZE"}, {-63, "CL_INVALID_GLOBAL_WORK_SIZE"},
                          {-64, "Unspecified Error"},  {-9999, "Unspecified Error"},
                          {3, "Unspecified Error"}};
    for (const Case& c : cases) EXPECT_STREQ(oclErrorString(c.code), c.name) << c.code;
}

TEST(OpenCLErrors, ReportHasTheFixedFormatAndTheHeaderOnce)
{
    oclErrorLog.clear();
    oclErrorPrefix = "Model Vendor - Device";
    int cleaned = 0;
    EXPECT_FALSE(__oclCheckErrorEX(-5, 0, [&](int code) { cleaned = code; }, "NNLayer", 1035, "extra"));
    EXPECT_EQ(cleaned, -5);
    EXPECT_TRUE(__oclCheckErrorEX(0, 0, nullptr, "NNLayer", 1, ""));
    EXPECT_FALSE(__oclCheckErrorEX(0, -1, nullptr, "NNModel", 813, ""));
    EXPECT_EQ(oclErrorLog, "Model Vendor - Device"
                           "!!! Error # -5 (CL_OUT_OF_RESOURCES) at line 1035 , in file NNLayer !!!\n\nextra\n\n"
                           "!!! Error # -9999 (Unspecified Error) at line 813 , in file NNModel !!!\n\n\n\n");
    oclErrorLog.clear();
    oclErrorPrefix = "GPU ";
}

TEST_F(EngineTest, InitialisationDescribesTheDevice)
{
    const std::string info = engine->getNNEngineInformation();
    EXPECT_THAT(info, HasSubstr(" - "));
    EXPECT_THAT(info, HasSubstr("\nMemory size: "));
    EXPECT_THAT(info, HasSubstr("\nMax work group size: "));
    EXPECT_THAT(info, HasSubstr("\nMax work item size: "));
    EXPECT_THAT(info, HasSubstr("\nNumber of devices: "));
    EXPECT_THAT(info, HasSubstr("\nMemory needed: 0 Mb"));
    EXPECT_EQ(oclErrorPrefix, "test " + engine->deviceDescription);
    int32_t count = 0;
    engine->getNNEngineInformation(&count);
    EXPECT_GE(count, 1);
}

TEST(DeviceList, SkippingEveryPlatformLeavesNoDevice)
{
    NNInference engine;
    std::vector<DEVICES> list;
    EXPECT_TRUE(engine.getOpenCLDeviceList(list, -1));
    EXPECT_TRUE(list.empty());
    EXPECT_THAT(engine.getErrorText(), HasSubstr("No suitable devices found."));
    NNInference second;
    EXPECT_FALSE(second.initialize(0, false, "Masking", -1));
    EXPECT_THAT(second.getErrorText(),
                HasSubstr("All devices failed for Masking: 0\nPlease install or update OpenCL drivers for your hardware\n"));
}

TEST(DeviceList, AnIndexPastTheListFails)
{
    NNInference engine;
    EXPECT_FALSE(engine.initialize(99, false, "Clean", 0));
    EXPECT_THAT(engine.getErrorText(), HasSubstr("All devices failed for Clean: 99"));
    EXPECT_FALSE(engine.initialized);
}

} // namespace
