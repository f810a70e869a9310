#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "ailayers/AILayers.h"
#include "image/ImageOperations.h"

namespace {

// A back-end whose "network" is a plain function of the input, so tiled
// prediction can be checked exactly without a device.
class FakeModelLogic : public ModelLogic {
public:
    using Network = std::function<void(const float* in, float* out, size_t count, int run)>;

    explicit FakeModelLogic(Network network, int outputChannels = -1)
        : network(std::move(network)), outputChannels(outputChannels)
    {
    }

    using ModelLogic::runModel;
    bool initModel(const char*, unsigned, std::string, std::string) override { return loaded = true; }
    void deallocate() override {}
    image_template<float> runModel(const float* data, unsigned width, unsigned height, unsigned channels) override
    {
        const int outChannels = outputChannels < 0 ? int(channels) : outputChannels;
        sizes.push_back({int(width), int(height)});
        if (outChannels == 0) return {};
        const size_t count = size_t(width) * height * channels;
        output.assign(count, 0.0f);
        network(data, output.data(), count, runs++);
        return image_template<float>(int(width), int(height), outChannels, output.data());
    }
    const float* runModel2Inputs(const float*, const float*, unsigned, unsigned, unsigned, int*) override
    {
        return nullptr;
    }
    const float* runModel3Inputs(image_template<float>, image_template<float>, image_template<float>, int*) override
    {
        return nullptr;
    }
    const float* runModelAsync(const float*, unsigned, unsigned, unsigned, int*, bool&) override { return nullptr; }
    unsigned char* runModel(const float*, unsigned, unsigned, unsigned, int*, bool, float) override { return nullptr; }
    std::string getNNEngineInformation(const char*, int* count) override
    {
        if (count) *count = 2;
        return "Fake device";
    }
    std::string getErrorText() override
    {
        std::string text = pendingError;
        pendingError.clear();
        return text;
    }
    bool isLoaded() override { return loaded; }
    int getModelTimestamp() override { return 512; }
    size_t getModelRAM() override { return 5 * 1048576 + 1000; }
    void invalidateCache() override { ++invalidations; }

    Network network;
    int outputChannels;
    std::vector<float> output;
    std::vector<std::pair<int, int>> sizes;
    int runs = 0;
    int invalidations = 0;
    bool loaded = false;
    std::string pendingError;
};

void identity(const float* in, float* out, size_t count, int) { std::copy(in, in + count, out); }

struct TestImage {
    std::vector<float> pixels;
    image_template<float> image;
    TestImage(int w, int h, int c) : pixels(size_t(w) * h * c + c)
    {
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = float((i * 37) % 101) / 100.0f;
        image = image_template<float>(w, h, c, pixels.data());
    }
};

std::unique_ptr<AILayers> makeLayers(FakeModelLogic*& fake, FakeModelLogic::Network network = identity,
                                     int outputChannels = -1)
{
    auto backEnd = std::make_unique<FakeModelLogic>(std::move(network), outputChannels);
    fake = backEnd.get();
    auto layers = std::make_unique<AILayers>(std::move(backEnd));
    layers->initializeAILayers("Kestrelion Tessaline", nullptr);
    return layers;
}

} // namespace

// Identity networks must give the input back: exactly without shrinking, and
// up to float rounding when the detail-restoring shrink is used.
TEST(TiledPrediction, IdentityNetworkReturnsTheInput)
{
    const int tileSize = 24, tileStep = 8;
    struct Case {
        int k, width, height;
    } cases[] = {
        {1, 5, 3}, {1, 16, 8}, {1, 17, 9}, {2, 11, 7}, {2, 32, 16}, {2, 33, 17}, {3, 20, 10}, {3, 48, 24}, {3, 49, 25},
    };
    for (const Case& c : cases) {
        FakeModelLogic* fake = nullptr;
        auto layers = makeLayers(fake);
        TestImage input(c.width, c.height, 3);
        const image_template<float> out =
            layers->predictByTilesImageFloat(input.image, tileSize, tileStep, -c.k, nullptr, nullptr);
        ASSERT_EQ(out.shape(), input.image.shape()) << "k " << c.k << " size " << c.width;
        const float tolerance = c.k == 1 ? 0.0f : 1e-5f;
        for (int64_t i = 0; i < input.image.elementCount(); ++i)
            ASSERT_NEAR(out.data[i], input.pixels[i], tolerance) << "k " << c.k << " element " << i;
        for (const auto& size : fake->sizes) EXPECT_EQ(size, std::make_pair(tileSize, tileSize));
        EXPECT_EQ(fake->invalidations, fake->runs);
    }
}

// Only the core of each tile is enlarged; its values must be exactly those
// of enlarging the whole tile and subtracting the whole residual.
TEST(TiledPrediction, CoreEqualsTheWholeTileEnlargementBitForBit)
{
    FakeModelLogic* fake = nullptr;
    auto square = [](const float* in, float* out, size_t count, int) {
        for (size_t i = 0; i < count; ++i) out[i] = in[i] * in[i] + 0.1f;
    };
    auto layers = makeLayers(fake, square);
    const int tileSize = 12, tileStep = 8, k = 3;
    const int edge = tileSize * k, margin = (edge - tileStep * k) / 2;
    TestImage input(17, 11, 3); // one tile: smaller than the core
    const image_template<float> out = layers->predictByTilesImageFloat(input.image, tileSize, tileStep, -k, nullptr,
                                                                       nullptr);
    ASSERT_EQ(out.shape(), "(17, 11, 3)");

    std::vector<float> tile(size_t(edge) * edge * 3 + 3);
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x)
            for (int c = 0; c < 3; ++c) {
                const int sx = std::clamp(x - margin, 0, 16), sy = std::clamp(y - margin, 0, 10);
                tile[(size_t(y) * edge + x) * 3 + c] = input.pixels[(size_t(sy) * 17 + sx) * 3 + c];
            }
    image_template<float> small, residual;
    imageNonDestructiveDownscale(image_template<float>(edge, edge, 3, tile.data()), k, small, residual);
    std::vector<float> net(size_t(tileSize) * tileSize * 3), enlarged(size_t(edge) * edge * 3);
    square(small.data, net.data(), net.size(), 0);
    imageUpscaleBilinear(net.data(), enlarged.data(), tileSize, tileSize, edge, edge, 3);
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 17; ++x)
            for (int c = 0; c < 3; ++c) {
                const size_t t = (size_t(y + margin) * edge + x + margin) * 3 + c;
                ASSERT_EQ(out.data[(size_t(y) * 17 + x) * 3 + c], enlarged[t] - residual.data[t]) << x << "," << y;
            }
    small.release();
    residual.release();
}

// Each run adds its own index: every output pixel must carry the index of
// the one tile whose core covers it.
TEST(TiledPrediction, EveryPixelComesFromExactlyOneTileCore)
{
    FakeModelLogic* fake = nullptr;
    auto layers = makeLayers(fake, [](const float* in, float* out, size_t count, int run) {
        for (size_t i = 0; i < count; ++i) out[i] = in[i] + float(run);
    });
    TestImage input(21, 13, 3);
    const int step = 8;
    const image_template<float> out = layers->predictByTilesImageFloat(input.image, 16, step, 1, nullptr, nullptr);
    ASSERT_EQ(fake->runs, 3 * 2);
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 21; ++x) {
            const int tile = (y / step) * 3 + x / step;
            const size_t i = (size_t(y) * 21 + x) * 3;
            ASSERT_FLOAT_EQ(out.data[i] - input.pixels[i], float(tile)) << x << "," << y;
        }
}

TEST(TiledPrediction, PhotographExampleRunsSixTilesWithProgress)
{
    FakeModelLogic* fake = nullptr;
    auto layers = makeLayers(fake);
    TestImage input(2000, 1000, 3);
    std::vector<float> reported;
    auto progress = [](void* user, float percent) {
        static_cast<std::vector<float>*>(user)->push_back(percent);
        return false;
    };
    const image_template<float> out = layers->predictByTilesImageFloat(input.image, 832, 448, -2, progress, &reported);
    ASSERT_EQ(out.shape(), "(2000, 1000, 3)");
    EXPECT_EQ(fake->runs, 6);
    const float expected[] = {0, 100.0f / 6, 200.0f / 6, 50, 400.0f / 6, 500.0f / 6, 100};
    ASSERT_EQ(reported.size(), 7u);
    for (size_t i = 0; i < 7; ++i) EXPECT_NEAR(reported[i], expected[i], 1e-3f);
}

TEST(TiledPrediction, CancelStopsBeforeTheThirdTileAndTheNextCallWorks)
{
    FakeModelLogic* fake = nullptr;
    auto layers = makeLayers(fake);
    TestImage input(40, 20, 3);
    int calls = 0;
    auto cancelOnThird = [](void* user, float) { return ++*static_cast<int*>(user) == 3; };
    image_template<float> out = layers->predictByTilesImageFloat(input.image, 16, 8, 1, cancelOnThird, &calls);
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(out.shape(), "(0, 0, 0)");
    EXPECT_EQ(fake->runs, 2);
    out = layers->predictByTilesImageFloat(input.image, 16, 8, 1, nullptr, nullptr);
    EXPECT_EQ(out.shape(), "(40, 20, 3)");
}

TEST(TiledPrediction, SecondCallDuringARunThrows)
{
    FakeModelLogic* fake = nullptr;
    auto layers = makeLayers(fake);
    TestImage input(20, 20, 3);
    struct Reentry {
        AILayers* layers;
        image_template<float> image;
        bool threw = false;
    } reentry {layers.get(), input.image};
    auto reenter = [](void* user, float percent) {
        auto* r = static_cast<Reentry*>(user);
        if (percent == 0.0f) {
            try {
                r->layers->predictByTilesImageFloat(r->image, 16, 8, 1, nullptr, nullptr);
            } catch (const AILayersException& e) {
                r->threw = std::string(e.what()) == "AILayers exception: No multithreading allowed!!!";
            }
        }
        return false;
    };
    const image_template<float> out = layers->predictByTilesImageFloat(input.image, 16, 8, 1, reenter, &reentry);
    EXPECT_TRUE(reentry.threw);
    EXPECT_EQ(out.shape(), "(20, 20, 3)") << "the outer run is not disturbed";
    EXPECT_NE(layers->predictByTilesFloat(input.pixels.data(), 20, 20, 3, 16, 8, 1, nullptr, nullptr), nullptr);
}

TEST(TiledPrediction, FailuresGiveAnEmptyResultAndAMessage)
{
    FakeModelLogic* fake = nullptr;
    auto layers = makeLayers(fake, identity, 0);
    TestImage input(20, 20, 3);
    EXPECT_EQ(layers->predictByTilesImageFloat(input.image, 16, 8, -2, nullptr, nullptr).data, nullptr);
    EXPECT_NE(layers->getErrorText(2048).find("Model returned 0 channels"), std::string::npos);

    auto invalid = makeLayers(fake, identity);
    // A tile smaller than its core cannot be assembled.
    EXPECT_EQ(invalid->predictByTilesImageFloat(input.image, 4, 8, 1, nullptr, nullptr).data, nullptr);
    EXPECT_NE(invalid->getErrorText(2048).find("Invalid tile geometry"), std::string::npos);
    EXPECT_EQ(fake->runs, 0);

    AILayers none(std::unique_ptr<ModelLogic>{});
    EXPECT_EQ(none.predictByTilesImageFloat(input.image, 16, 8, 1, nullptr, nullptr).data, nullptr);
    EXPECT_FALSE(none.loadModel("x", 1, "", ""));
    EXPECT_NE(none.getErrorText(2048).find("AILayersClass: modelLogic is null!"), std::string::npos);
}

TEST(AILayers, ErrorTextAndInformation)
{
    FakeModelLogic* fake = nullptr;
    auto layers = makeLayers(fake);
    EXPECT_EQ(layers->getErrorText(-12), "Oct 19 2023");
    EXPECT_EQ(layers->getErrorText(-11), "0Mac000000");
    fake->pendingError = "A";
    EXPECT_EQ(layers->getErrorText(2048), "A");
    EXPECT_EQ(layers->getErrorText(2048), "");

    EXPECT_EQ(layers->getModelInformation("", 0), "Model version: 512   GPURAM: 5 Mb");
    char out[1000];
    layers->getModelInformation("", 0, out);
    EXPECT_STREQ(out, "512");
    int devices = 0;
    EXPECT_EQ(layers->getNNEngineInformation("query", nullptr, &devices), "Fake device");
    EXPECT_EQ(devices, 2);
    EXPECT_FLOAT_EQ(layers->getAILayersVersion(), 1.019f);
}

TEST(Resources, MissingResourceLeavesOutputsUntouched)
{
    unsigned char marker = 0;
    unsigned char* data = &marker;
    size_t size = 77;
    loadResource("no-such-resource", "cnn", data, size);
    EXPECT_EQ(data, &marker);
    EXPECT_EQ(size, 77u);
    EXPECT_TRUE(loadResource("no-such-resource", "cnn").empty());
    EXPECT_NE(resourceFolder().find("/share/tessaline"), std::string::npos);
}
