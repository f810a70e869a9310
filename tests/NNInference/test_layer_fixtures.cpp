// Runs every reference case under tests/fixtures/layers through the engine
// and compares the last layer's output with the committed reference.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "EngineHelpers.h"

namespace {

namespace fs = std::filesystem;

struct FixtureMeta {
    int inputs = 1;
    std::vector<image_sizes> inputSizes;
    image_sizes output;
    double tolerance = 0;
    std::string entry = "predict";
    std::vector<std::pair<int32_t, int32_t>> switches; // layer, run-time switch value
};

bool readMeta(const fs::path& file, FixtureMeta& meta)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "inputs") words >> meta.inputs;
        else if (key.rfind("input", 0) == 0) {
            image_sizes size;
            words >> size.width >> size.height >> size.channels;
            meta.inputSizes.push_back(size);
        } else if (key == "output") words >> meta.output.width >> meta.output.height >> meta.output.channels;
        else if (key == "tolerance") words >> meta.tolerance;
        else if (key == "entry") words >> meta.entry;
        else if (key == "switch") {
            int32_t layer = -1, mode = 0;
            words >> layer >> mode;
            meta.switches.emplace_back(layer, mode);
        }
    }
    return meta.inputs >= 1 && int(meta.inputSizes.size()) == meta.inputs && meta.tolerance > 0;
}

std::vector<char> readBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<float> readFloats(const fs::path& file)
{
    const std::vector<char> bytes = readBytes(file);
    std::vector<float> values(bytes.size() / sizeof(float));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

std::vector<fs::path> fixtureCases()
{
    std::vector<fs::path> cases;
    const char* root = std::getenv("TESSALINE_FIXTURES");
    if (root == nullptr) root = NN_FIXTURES_DIR;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(root) / "layers", error))
        if (fs::exists(entry.path() / "model.cnn")) cases.push_back(entry.path());
    std::sort(cases.begin(), cases.end());
    return cases;
}

const float* runCase(NNInference& engine, const fs::path& folder, const FixtureMeta& meta,
                     std::vector<std::vector<float>>& inputs)
{
    const std::vector<char> model = readBytes(folder / "model.cnn");
    if (!engine.loadModelFromMemory(model.data(), model.size())) return nullptr;
    for (const auto& [layer, mode] : meta.switches) engine.switchArguments[layer * 16] = mode;
    for (int k = 0; k < meta.inputs; ++k) {
        inputs.push_back(readFloats(folder / ("input" + std::to_string(k) + ".f32")));
        const image_sizes& size = meta.inputSizes[size_t(k)];
        if (inputs.back().size() != size_t(size.width) * size.height * size.channels) return nullptr;
    }
    const image_sizes& first = meta.inputSizes[0];
    if (meta.entry == "predict") {
        if (!engine.allocate(first.width, first.height, first.channels)) return nullptr;
        return engine.predict(inputs[0].data(), first.width, first.height, first.channels);
    }
    image_template<float> a(first.width, first.height, first.channels, inputs[0].data());
    if (meta.entry == "predict2Inputs") {
        // Both inputs share the first one's width and height.
        if (!engine.allocate(first.width, first.height, first.channels)) return nullptr;
        return engine.predict2Inputs(a, inputs[1].data());
    }
    if (!engine.allocateDifferentSizes(meta.inputSizes, false)) return nullptr;
    const image_sizes& s1 = meta.inputSizes[1];
    const image_sizes& s2 = meta.inputSizes[2];
    image_template<float> b(s1.width, s1.height, s1.channels, inputs[1].data());
    image_template<float> c(s2.width, s2.height, s2.channels, inputs[2].data());
    return engine.predict3Inputs(a, b, c);
}

// One test per case folder, so that cases run in parallel and fail by name.
class LayerFixtureTest : public EngineTest, public ::testing::WithParamInterface<fs::path> {};

TEST_P(LayerFixtureTest, MatchesTheReference)
{
    const fs::path folder = GetParam();
    FixtureMeta meta;
    ASSERT_TRUE(readMeta(folder / "meta.txt", meta));
    std::vector<std::vector<float>> inputs;
    const float* result = runCase(*engine, folder, meta, inputs);
    ASSERT_NE(result, nullptr) << engine->getErrorText() << channelMessages();
    const NNImage& last = *engine->model.images.back();
    EXPECT_EQ(last.width, meta.output.width);
    EXPECT_EQ(last.height, meta.output.height);
    EXPECT_EQ(last.channels, meta.output.channels);
    const std::vector<float> expected = readFloats(folder / "expected.f32");
    ASSERT_EQ(size_t(last.elementCount()), expected.size());
    double worst = 0;
    for (size_t i = 0; i < expected.size(); ++i) worst = std::max(worst, double(std::fabs(result[i] - expected[i])));
    EXPECT_LE(worst, meta.tolerance);
}

INSTANTIATE_TEST_SUITE_P(Layers, LayerFixtureTest, ::testing::ValuesIn(fixtureCases()),
                         [](const ::testing::TestParamInfo<fs::path>& info) { return info.param.filename().string(); });

// The cases are committed: finding none means the fixtures went missing.
TEST(LayerFixtures, CasesArePresent)
{
    EXPECT_GE(fixtureCases().size(), 40u);
}

} // namespace
