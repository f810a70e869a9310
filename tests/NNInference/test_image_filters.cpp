// Image filters inside networks: settings at their limits, the run-time
// switch of the switchable layers and what a switch change recomputes. The
// arithmetic of every filter and mode is checked against the references in
// tests/fixtures/layers.

#include <gmock/gmock.h>

#include <cmath>

#include "EngineHelpers.h"
#include "NNInference/NNLayer_Blur.h"

using ::testing::HasSubstr;

namespace {

class ImageFilterTest : public EngineTest {
protected:
    // input (3 channels) -> "SBlu" or "IIRB" with the two settings, in the given mode.
    std::vector<float> runFilter(const char* kind, int32_t mode, float first, float second,
                                 const std::vector<float>& input)
    {
        engine = std::make_unique<NNInference>();
        if (!engine->initialize(0, false, "test", 0)) return {};
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, kind).f32(first).f32(second);
        engine->switchArguments[1 * 16] = mode;
        return run(s, width, height, 3, input);
    }

    static constexpr int32_t width = 9, height = 7;
};

// Values in [0, 1] at the middle of their level (v * 255 far from an integer).
std::vector<float> levelCentres(size_t count, uint32_t seed)
{
    std::vector<float> values = patternValues(count, seed);
    for (float& v : values) v = (std::floor((v + 1.0f) * 127.5f) + 0.5f) / 255.0f;
    return values;
}

TEST_F(ImageFilterTest, SettingsAtTheirLimits)
{
    const std::vector<float> input = levelCentres(size_t(width) * height * 3, 3);
    std::vector<float> levels(input.size());
    for (size_t i = 0; i < input.size(); ++i) levels[i] = std::floor(input[i] * 255.0f) / 255.0f;
    const std::vector<float> radiusOne = runFilter("SBlu", NNLayer_SwitchableBlur::median, 1.0f, 1.0f, input);
    ASSERT_EQ(radiusOne.size(), input.size()) << engine->getErrorText() << channelMessages();
    const struct {
        const char* name;
        const char* kind;
        int32_t mode;
        float first, second;
        const std::vector<float>& expected;
    } cases[] = {
        {"median radius below 1 works as radius 1", "SBlu", NNLayer_SwitchableBlur::median, 0.2f, 1.0f, radiusOne},
        {"median threshold 0 keeps the centre level", "SBlu", NNLayer_SwitchableBlur::median, 3.0f, 0.0f, levels},
        {"recursive blur threshold 0 keeps the input", "IIRB", 0, 6.0f, 0.0f, input},
        {"switchable blur threshold 0 keeps the input", "SBlu", NNLayer_SwitchableBlur::recursiveBlur, 6.0f, 0.0f,
         input},
        {"bilateral strength 0 keeps the input", "SBlu", NNLayer_SwitchableBlur::bilateral, 0.0f, 0.3f, input},
        {"bilateral edge threshold 0 averages identical colours only", "SBlu", NNLayer_SwitchableBlur::bilateral,
         4.0f, 0.0f, input},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<float> result = runFilter(c.kind, c.mode, c.first, c.second, input);
        ASSERT_EQ(result.size(), input.size()) << engine->getErrorText() << channelMessages();
        for (size_t i = 0; i < input.size(); ++i) {
            ASSERT_NEAR(result[i], c.expected[i], 1e-6f) << i;
        }
    }
}

TEST_F(ImageFilterTest, LumaMedianRestoresTheSharedInputAndFiltersBlackToBlack)
{
    std::vector<float> input = levelCentres(size_t(width) * height * 3, 5);
    for (int y = 1; y < 6; ++y)
        for (int x = 1; x < 6; ++x)
            for (int c = 0; c < 3; ++c) input[(size_t(x) + size_t(y) * width) * 3 + c] = 0.0f;
    const std::vector<float> result = runFilter("SBlu", NNLayer_SwitchableBlur::medianLuma, 1.0f, 1.0f, input);
    ASSERT_EQ(result.size(), input.size()) << engine->getErrorText() << channelMessages();
    // Inside the black square every window is black: the median is level 0,
    // not the next brighter level present.
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(result[(3 + 3 * size_t(width)) * 3 + c], 0.0f, 1e-5f) << c;

    // Retuning re-runs the filter on the same, already converted input: the
    // round trips must not add up.
    for (int run = 0; run < 40; ++run) {
        engine->floatArguments[1 * 16 + 0] = run % 2 ? 1.0f : 2.0f;
        ASSERT_NE(engine->predict(input.data(), width, height, 3), nullptr);
    }
    EXPECT_EQ(dynamic_cast<NNLayer_SwitchableBlur&>(*engine->model.layers[1]).executionCount, 41);
    NNImage& original = *engine->model.images[0];
    ASSERT_TRUE(original.readFromGPU(engine->queue));
    for (size_t i = 0; i < input.size(); ++i) ASSERT_NEAR(original.data[i], input[i], 1e-5f) << i;
}

TEST_F(ImageFilterTest, SwitchableNonLinearIdentityInPlaceAndInvalidMode)
{
    const std::vector<float> input = patternValues(size_t(width) * height * 3, 7);
    StreamBuilder s;
    s.header(4, 3).input(3).layer({0}, "relu").layer({1}, "SwNL").i32(0);
    const std::vector<float> result = run(s, width, height, 3, input);
    ASSERT_EQ(result.size(), input.size()) << engine->getErrorText();
    ASSERT_EQ(engine->model.images[1]->buffer, engine->model.images[2]->buffer);
    for (size_t i = 0; i < input.size(); ++i) ASSERT_EQ(result[i], std::max(input[i], 0.0f)) << i;

    engine->switchArguments[2 * 16] = 3;
    EXPECT_EQ(engine->predict(input.data(), width, height, 3), nullptr);
    EXPECT_THAT(channelMessages(), HasSubstr("OpenCL Predict Exception!"));
    engine->switchArguments[2 * 16] = 1; // a valid mode runs again
    const float* logs = engine->predict(input.data(), width, height, 3);
    ASSERT_NE(logs, nullptr) << engine->getErrorText();
    const double v = std::max(input[0], 0.0f);
    EXPECT_NEAR(logs[0], (std::log(v + 0.001) - std::log(0.001)) / std::log(1.001 / 0.001), 1e-5);
}

TEST_F(ImageFilterTest, GatedBlendProtectsBlackOnlyWithABlackMask)
{
    // Both inputs black: the blend gives the bias unless black pixels are
    // protected, which keeps them at the first input's value.
    const std::vector<float> black(size_t(width) * height * 3, 0.0f);
    for (const float blackMask : {0.0f, 0.5f}) {
        SCOPED_TRACE(blackMask);
        engine = std::make_unique<NNInference>();
        ASSERT_TRUE(engine->initialize(0, false, "test", 0));
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0, 0}, "Mix2").floats({1.0f, 1.0f, 0.25f, 1.0f, 0.1f, blackMask});
        const std::vector<float> result = run(s, width, height, 3, black);
        ASSERT_EQ(result.size(), black.size()) << engine->getErrorText();
        for (float v : result) ASSERT_EQ(v, blackMask > 0 ? 0.0f : 0.25f);
    }
}

TEST_F(ImageFilterTest, ModeChangeRecomputesTheLayerAndItsDependantsOnly)
{
    StreamBuilder s;
    s.header(4, 4).input(3).conv("co2d", 0, 3, 3, 3, 3, patternValues(81, 9), patternValues(3, 10));
    s.layer({1}, "SBlu").f32(2.0f).f32(1.0f).layer({2}, "relu");
    const std::vector<float> input = levelCentres(size_t(width) * height * 3, 11);
    const std::vector<float> blurred = run(s, width, height, 3, input);
    ASSERT_FALSE(blurred.empty()) << engine->getErrorText();
    const auto& layers = engine->model.layers;
    auto runCounts = [&]() {
        std::vector<int32_t> counts;
        for (const auto& layer : layers) counts.push_back(layer->runCount);
        return counts;
    };
    const std::vector<int32_t> before = runCounts();
    auto* filter = dynamic_cast<NNLayer_SwitchableBlur*>(layers[2].get());
    ASSERT_NE(filter, nullptr);
    const int32_t executions = filter->executionCount;

    engine->switchArguments[2 * 16] = NNLayer_SwitchableBlur::median;
    const float* median = engine->predict(input.data(), width, height, 3);
    ASSERT_NE(median, nullptr) << engine->getErrorText();
    const std::vector<float> switched(median, median + blurred.size());
    const std::vector<int32_t> after = runCounts();
    EXPECT_EQ(after[1], before[1]);
    EXPECT_GT(after[2], before[2]);
    EXPECT_GT(after[3], before[3]);
    EXPECT_EQ(filter->executionCount, executions + 1);
    EXPECT_NE(switched, blurred);

    // The same result as a model that ran the median from the start.
    const std::vector<float> fresh = [&] {
        engine = std::make_unique<NNInference>();
        engine->initialize(0, false, "test", 0);
        engine->switchArguments[2 * 16] = NNLayer_SwitchableBlur::median;
        return run(s, width, height, 3, input);
    }();
    EXPECT_EQ(fresh, switched);
}

} // namespace
