// The networks that ship with the module: each loads, and the engine computes
// on a fixed 128 x 128 picture what PyTorch computed with the same weights
// when the stream was exported (the fixture is written by export.py).

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>

#include "EngineHelpers.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<float> readFloats(const fs::path& path)
{
    const std::string bytes = slurp(path);
    std::vector<float> values(bytes.size() / sizeof(float));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

struct ShippedModel {
    const char* resource;
    const char* fixture;
    int32_t outputChannels;
};

std::ostream& operator<<(std::ostream& out, const ShippedModel& shipped)
{
    return out << shipped.resource;
}

class ShippedModelTest : public EngineTest, public ::testing::WithParamInterface<ShippedModel> {};

TEST_P(ShippedModelTest, EngineMatchesTheTrainedNetwork)
{
    const ShippedModel& shipped = GetParam();
    const fs::path fixtures = fs::path(std::getenv("TESSALINE_FIXTURES") ? std::getenv("TESSALINE_FIXTURES")
                                                                          : MODEL_FIXTURES_DIR) / "models";
    const std::string stream = slurp(fs::path(RESOURCES_DIR) / shipped.resource);
    ASSERT_FALSE(stream.empty()) << shipped.resource << " is missing from resources/";
    const std::vector<float> input = readFloats(fixtures / (std::string(shipped.fixture) + ".input.f32"));
    const std::vector<float> expected = readFloats(fixtures / (std::string(shipped.fixture) + ".expected.f32"));
    constexpr int32_t edge = 128;
    ASSERT_EQ(input.size(), size_t(edge) * edge * 3);
    ASSERT_EQ(expected.size(), size_t(edge) * edge * shipped.outputChannels);

    ASSERT_TRUE(engine->loadModelFromMemory(stream.data(), stream.size())) << engine->getErrorText();
    ASSERT_TRUE(engine->allocate(edge, edge, 3)) << engine->getErrorText();
    const float* result = engine->predict(input.data(), edge, edge, 3);
    ASSERT_NE(result, nullptr) << engine->getErrorText();
    ASSERT_EQ(engine->model.images.back()->elementCount(), expected.size());
    double worst = 0;
    for (size_t i = 0; i < expected.size(); ++i) worst = std::max(worst, double(std::abs(result[i] - expected[i])));
    EXPECT_LE(worst, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Resources, ShippedModelTest,
                         ::testing::Values(ShippedModel{"TessalineId.cnn", "clean128", 3},
                                           ShippedModel{"subjectmasking.cnn", "mask128", 1}),
                         [](const auto& info) { return std::string(info.param.fixture); });

} // namespace
