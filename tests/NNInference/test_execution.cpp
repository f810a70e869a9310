// Running networks: numerics of the layer kernels against plain C++
// references, the buffer-sharing plan, the program cache, the result cache
// and run-time settings.

#include <gmock/gmock.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <functional>

#include "EngineHelpers.h"
#include "services/UserFolders.h"

using ::testing::HasSubstr;

namespace {

float activate(const std::string& activation, float x)
{
    if (activation == "relu") return x >= 0 ? x : 0;
    if (activation == "elu ") return x >= 0 ? x : std::exp(x) - 1;
    if (activation == "lre1") return x >= 0 ? x : 0.1f * x;
    if (activation == "lre3") return x >= 0 ? x : 0.3f * x;
    if (activation == "sigm") return 1 / (1 + std::exp(-x));
    return x;
}

struct ConvCase {
    const char* name;
    const char* type;
    int32_t width, height, inputs, outputs, filterW, filterH, stride, dilation, offsetMode;
    const char* activation;
};

// Zero padding by clipped taps around the sampled centre.
std::vector<float> referenceConvolution(const ConvCase& c, const std::vector<float>& in, const std::vector<float>& w,
                                        const std::vector<float>& pointwise, const std::vector<float>& b)
{
    const std::string type = c.type;
    const int outW = c.width / c.stride, outH = c.height / c.stride;
    const bool pointwiseOnly = type == "co2d" && c.filterW == 1 && c.filterH == 1;
    const int offset = pointwiseOnly ? 0 : (c.offsetMode ? (c.stride - c.filterW % 2) / 2 : c.stride / 2);
    const int dilation = type == "co2d" ? c.dilation : 1;
    const int outputs = type == "depw" ? c.inputs : c.outputs;
    std::vector<float> out(size_t(outW) * outH * outputs);
    for (int y = 0; y < outH; ++y)
        for (int x = 0; x < outW; ++x) {
            const int cx = x * c.stride + offset, cy = y * c.stride + offset;
            std::vector<double> depthwise(size_t(c.inputs), 0.0);
            for (int o = 0; o < outputs; ++o) {
                double sum = b[size_t(o)];
                for (int dy = -c.filterH / 2; dy <= (c.filterH - 1) / 2; ++dy)
                    for (int dx = -c.filterW / 2; dx <= (c.filterW - 1) / 2; ++dx) {
                        const int sx = cx + dx * dilation, sy = cy + dy * dilation;
                        if (sx < 0 || sy < 0 || sx >= c.width || sy >= c.height) continue;
                        const float* pixel = &in[(size_t(sx) + size_t(sy) * c.width) * c.inputs];
                        const int tap = (dy + c.filterH / 2) * c.filterW + dx + c.filterW / 2;
                        if (type == "co2d") {
                            for (int i = 0; i < c.inputs; ++i)
                                sum += double(pixel[i]) * w[(size_t(o) * c.filterH * c.filterW + tap) * c.inputs + i];
                        } else if (type == "depw") {
                            sum += double(pixel[o]) * w[size_t(tap) * c.inputs + o];
                        } else if (o == 0) {
                            for (int i = 0; i < c.inputs; ++i) depthwise[i] += double(pixel[i]) * w[size_t(tap) * c.inputs + i];
                        }
                    }
                if (type == "sepa")
                    for (int i = 0; i < c.inputs; ++i) sum += depthwise[i] * pointwise[size_t(o) * c.inputs + i];
                out[(size_t(x) + size_t(y) * outW) * outputs + o] = activate(c.activation, float(sum));
            }
        }
    return out;
}

float maxDifference(const std::vector<float>& a, const std::vector<float>& b)
{
    if (a.size() != b.size()) return INFINITY;
    float worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
    return worst;
}

TEST(WorkSize, LocalWidthIsTheLargestDivisorNotAboveTheHint)
{
    const struct {
        size_t global, hint, local;
    } cases[] = {{1000, 32, 25}, {97, 16, 1}, {832, 32, 32}, {208, 32, 26}, {5, 0, 0}, {1, 8, 1}};
    for (const auto& c : cases) EXPECT_EQ(localWidthDividing(c.global, c.hint), c.local) << c.global << "/" << c.hint;
}

class ExecutionTest : public EngineTest {};

TEST_F(ExecutionTest, ConvolutionFamilyMatchesTheClippedTapReference)
{
    const ConvCase cases[] = {
        {"1x1", "co2d", 7, 5, 3, 4, 1, 1, 1, 1, 0, "line"},
        {"1x1 stride 2 samples without offset", "co2d", 9, 7, 4, 16, 1, 1, 2, 1, 0, "relu"},
        {"2x2 spans taps -1..0", "co2d", 6, 5, 3, 2, 2, 2, 1, 1, 0, "line"},
        {"3x3 scalar channels", "co2d", 7, 6, 6, 5, 3, 3, 1, 1, 0, "elu "},
        {"3x3 16 to 16", "co2d", 11, 9, 16, 16, 3, 3, 1, 1, 0, "lre1"},
        {"3x3 stride 2 centred", "co2d", 9, 9, 4, 16, 3, 3, 2, 1, 0, "lre3"},
        {"3x3 stride 2 offset mode", "co2d", 9, 9, 4, 16, 3, 3, 2, 1, 1, "line"},
        {"2x2 stride 2 offset mode", "co2d", 8, 6, 3, 4, 2, 2, 2, 1, 1, "line"},
        {"3x3 dilation 2", "co2d", 10, 9, 3, 32, 3, 3, 1, 2, 0, "sigm"},
        {"5x5 odd size", "co2d", 13, 11, 5, 3, 5, 5, 1, 1, 0, "relu"},
        {"3x1 rectangle", "co2d", 7, 7, 2, 3, 3, 1, 1, 1, 0, "line"},
        {"depthwise 3x3", "depw", 7, 6, 5, 5, 3, 3, 1, 1, 0, "relu"},
        {"depthwise 5x5", "depw", 9, 8, 4, 4, 5, 5, 1, 1, 0, "line"},
        {"depthwise 3x3 stride 2", "depw", 9, 8, 4, 4, 3, 3, 2, 1, 0, "line"},
        {"separable 3x3", "sepa", 8, 7, 6, 8, 3, 3, 1, 1, 0, "relu"},
        {"separable 3x3 stride 2", "sepa", 9, 9, 4, 3, 3, 3, 2, 1, 0, "line"},
    };
    uint32_t seed = 1;
    for (const ConvCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string type = c.type;
        const size_t taps = size_t(c.filterW) * c.filterH;
        const std::vector<float> weights = patternValues(type == "co2d" ? taps * c.inputs * c.outputs : taps * c.inputs, seed++);
        const std::vector<float> pointwise = type == "sepa" ? patternValues(size_t(c.inputs) * c.outputs, seed++) : std::vector<float>{};
        const int32_t outputs = type == "depw" ? c.inputs : c.outputs;
        const std::vector<float> biases = patternValues(size_t(outputs), seed++);
        const std::vector<float> input = patternValues(size_t(c.width) * c.height * c.inputs, seed++);

        StreamBuilder s;
        s.header(4, 2, 1, c.offsetMode).input(c.inputs);
        s.layer({0}, c.type).i32(c.stride).i32(c.stride).i32(c.dilation).i32(c.dilation).code(c.activation);
        s.i32(type == "depw" ? 1 : c.outputs).i32(c.filterW).i32(c.filterH).i32(c.inputs).floats(weights);
        if (type == "sepa") s.i32(c.outputs).i32(c.inputs).i32(c.inputs).i32(c.inputs).floats(pointwise);
        s.i32(int32_t(biases.size())).floats(biases);
        if (type == "depw") {
            // The depthwise filter is one value per tap and channel.
            s = StreamBuilder{};
            s.header(4, 2, 1, c.offsetMode).input(c.inputs);
            s.layer({0}, "depw").i32(c.stride).i32(c.stride).i32(1).i32(1).code(c.activation);
            s.i32(1).i32(c.filterW).i32(c.filterH).i32(c.inputs).floats(weights);
            s.i32(int32_t(biases.size())).floats(biases);
        }
        engine = std::make_unique<NNInference>();
        ASSERT_TRUE(engine->initialize(0, false, "test", 0));
        const std::vector<float> result = run(s, c.width, c.height, c.inputs, input);
        ASSERT_FALSE(result.empty()) << engine->getErrorText() << channelMessages();
        EXPECT_LT(maxDifference(result, referenceConvolution(c, input, weights, pointwise, biases)), 1e-4f);
    }
}

// One-input networks of the other kinds, each against a small reference.
TEST_F(ExecutionTest, ElementWiseAndResamplingLayersMatchTheirReference)
{
    const int32_t W = 7, H = 5, C = 3;
    const std::vector<float> input = patternValues(size_t(W) * H * C, 77);
    auto at = [&](int x, int y, int c) { return input[(size_t(x) + size_t(y) * W) * C + c]; };
    auto map = [&](const std::function<float(float)>& f) {
        std::vector<float> out(input.size());
        for (size_t i = 0; i < input.size(); ++i) out[i] = f(input[i]);
        return out;
    };
    auto image = [&](int w, int h, int c, const std::function<float(int, int, int)>& f) {
        std::vector<float> out(size_t(w) * h * c);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int k = 0; k < c; ++k) out[(size_t(x) + size_t(y) * w) * c + k] = f(x, y, k);
        return out;
    };
    auto clampX = [&](int x) { return std::clamp(x, 0, W - 1); };
    auto clampY = [&](int y) { return std::clamp(y, 0, H - 1); };
    struct Case {
        const char* name;
        std::function<void(StreamBuilder&)> layers; // after the input layer (index 0)
        int32_t layerCount;
        std::vector<float> expected;
    };
    const std::vector<Case> cases = {
        {"relu", [](StreamBuilder& s) { s.layer({0}, "relu"); }, 2, map([](float x) { return x > 0 ? x : 0; })},
        {"elu", [](StreamBuilder& s) { s.layer({0}, "elu "); }, 2, map([](float x) { return x > 0 ? x : std::exp(x) - 1; })},
        {"leaky 0.1", [](StreamBuilder& s) { s.layer({0}, "lre1"); }, 2, map([](float x) { return x > 0 ? x : 0.1f * x; })},
        {"leaky 0.3", [](StreamBuilder& s) { s.layer({0}, "lre3"); }, 2, map([](float x) { return x > 0 ? x : 0.3f * x; })},
        {"clip ignores its stored bounds", [](StreamBuilder& s) { s.layer({0}, "Clip").f32(-5).f32(5); }, 2,
         map([](float x) { return std::clamp(x, 0.0f, 1.0f); })},
        {"a x + b", [](StreamBuilder& s) { s.layer({0}, "AX+B").f32(2.0f).f32(-0.5f); }, 2,
         map([](float x) { return 2 * x - 0.5f; })},
        {"max pooling of an odd size", [](StreamBuilder& s) { s.layer({0}, "maxp").i32(2).i32(2).i32(2).i32(2); }, 2,
         image(W / 2, H / 2, C, [&](int x, int y, int c) {
             return std::max({at(2 * x, 2 * y, c), at(2 * x + 1, 2 * y, c), at(2 * x, 2 * y + 1, c), at(2 * x + 1, 2 * y + 1, c)});
         })},
        {"average pooling step 2", [](StreamBuilder& s) { s.layer({0}, "avg2").i32(2).i32(2).i32(2).i32(2); }, 2,
         image(W / 2, H / 2, C, [&](int x, int y, int c) {
             return 0.25f * (at(2 * x, 2 * y, c) + at(2 * x + 1, 2 * y, c) + at(2 * x, 2 * y + 1, c) + at(2 * x + 1, 2 * y + 1, c));
         })},
        {"average 3x3 step 1 repeats the edge", [](StreamBuilder& s) { s.layer({0}, "avg2").i32(1).i32(1).i32(3).i32(3); }, 2,
         image(W, H, C, [&](int x, int y, int c) {
             float sum = 0;
             for (int dy = -1; dy <= 1; ++dy)
                 for (int dx = -1; dx <= 1; ++dx) sum += at(clampX(x + dx), clampY(y + dy), c);
             return sum / 9;
         })},
        {"average 2x2 step 1", [](StreamBuilder& s) { s.layer({0}, "avg2").i32(1).i32(1).i32(2).i32(2); }, 2,
         image(W, H, C, [&](int x, int y, int c) {
             return 0.25f * (at(x, y, c) + at(clampX(x + 1), y, c) + at(x, clampY(y + 1), c) + at(clampX(x + 1), clampY(y + 1), c));
         })},
        {"nearest upsampling", [](StreamBuilder& s) { s.layer({0}, "ups2"); }, 2,
         image(2 * W, 2 * H, C, [&](int x, int y, int c) { return at(x / 2, y / 2, c); })},
        {"bilinear upsampling", [](StreamBuilder& s) { s.layer({0}, "upsb"); }, 2,
         image(2 * W, 2 * H, C, [&](int x, int y, int c) {
             const int x1 = x / 2, y1 = y / 2;
             const int x2 = clampX(x % 2 ? x1 + 1 : x1 - 1), y2 = clampY(y % 2 ? y1 + 1 : y1 - 1);
             return (9 * at(x1, y1, c) + 3 * at(x1, y2, c) + 3 * at(x2, y1, c) + at(x2, y2, c)) / 16;
         })},
        {"global average", [](StreamBuilder& s) { s.layer({0}, "gavg"); }, 2,
         image(1, 1, C, [&](int, int, int c) {
             double sum = 0;
             for (int y = 0; y < H; ++y)
                 for (int x = 0; x < W; ++x) sum += at(x, y, c);
             return float(sum / (W * H));
         })},
        {"global max", [](StreamBuilder& s) { s.layer({0}, "gmax"); }, 2,
         image(1, 1, C, [&](int, int, int c) {
             float best = -INFINITY;
             for (int y = 0; y < H; ++y)
                 for (int x = 0; x < W; ++x) best = std::max(best, at(x, y, c));
             return best;
         })},
        {"split", [](StreamBuilder& s) { s.layer({0}, "spli").i32(1).i32(3); }, 2,
         image(W, H, 2, [&](int x, int y, int c) { return at(x, y, c + 1); })},
        {"product with a one-channel second input repeats it",
         [](StreamBuilder& s) { s.layer({0}, "spli").i32(2).i32(3).layer({0, 1}, "mult"); }, 3,
         image(W, H, C, [&](int x, int y, int c) { return at(x, y, c) * at(x, y, 2); })},
        {"sum and difference",
         [](StreamBuilder& s) { s.layer({0}, "relu").layer({0, 1}, "add ").layer({2, 1}, "subt"); }, 4, input},
        {"concatenation of three",
         [](StreamBuilder& s) { s.layer({0}, "spli").i32(0).i32(1).layer({0}, "relu").layer({1, 0, 2}, "conc"); }, 4,
         image(W, H, 7, [&](int x, int y, int c) {
             if (c == 0) return at(x, y, 0);
             if (c < 4) return at(x, y, c - 1);
             return std::max(at(x, y, c - 4), 0.0f);
         })},
        {"tile", [](StreamBuilder& s) { s.layer({0}, "Tile").i32(10).i32(6).i32(5); }, 2,
         image(10, 6, 5, [&](int x, int y, int c) { return at(x % W, y % H, c % C); })},
        {"reshape keeps the element order", [](StreamBuilder& s) { s.layer({0}, "Resh").i32(35).i32(1).i32(3); }, 2, input},
        {"transpose width and channels", [](StreamBuilder& s) { s.layer({0}, "tpos").i32(1); }, 2,
         image(C, H, W, [&](int x, int y, int c) { return at(c, y, x); })},
        {"transpose height and channels", [](StreamBuilder& s) { s.layer({0}, "tpos").i32(1000); }, 2,
         image(W, C, H, [&](int x, int y, int c) { return at(x, c, y); })},
        {"saturation", [](StreamBuilder& s) { s.layer({0}, "Satu").f32(1.5f); }, 2,
         image(W, H, C, [&](int x, int y, int c) {
             const float grey = (at(x, y, 0) + at(x, y, 1) + at(x, y, 2)) / 3;
             return (at(x, y, c) - grey) * 1.5f + grey;
         })},
        {"switchable log", [](StreamBuilder& s) { s.layer({0}, "SwNL").i32(1); }, 2,
         map([](float x) { return x >= 0 ? float((std::log(x + 0.001) - std::log(0.001)) / std::log(1.001 / 0.001)) : 0.0f; })},
        {"switchable log then exp restores", [](StreamBuilder& s) { s.layer({0}, "relu").layer({1}, "SwNL").i32(1).layer({2}, "SwNL").i32(2); }, 4,
         map([](float x) { return x > 0 ? x : 0; })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StreamBuilder s;
        s.header(4, c.layerCount).input(C);
        c.layers(s);
        engine = std::make_unique<NNInference>();
        ASSERT_TRUE(engine->initialize(0, false, "test", 0));
        const std::vector<float> result = run(s, W, H, C, input);
        ASSERT_FALSE(result.empty()) << engine->getErrorText() << channelMessages();
        EXPECT_LT(maxDifference(result, c.expected), 1e-4f);
    }
}

TEST_F(ExecutionTest, GroupNormalisationUsesGroupStatistics)
{
    const int32_t W = 6, H = 5, C = 4, groups = 2;
    const std::vector<float> input = patternValues(size_t(W) * H * C, 5);
    const std::vector<float> scale = {1.0f, 0.5f, 2.0f, -1.0f}, shift = {0.0f, 0.1f, -0.2f, 0.3f};
    StreamBuilder s;
    s.header(4, 2).input(C).layer({0}, "grpn").i32(groups).i32(C).floats(scale).i32(C).floats(shift);
    const std::vector<float> result = run(s, W, H, C, input);
    ASSERT_FALSE(result.empty()) << engine->getErrorText();
    std::vector<float> expected(input.size());
    for (int g = 0; g < groups; ++g) {
        double sum = 0, squares = 0;
        const int n = W * H * (C / groups);
        for (int p = 0; p < W * H; ++p)
            for (int c = g * 2; c < g * 2 + 2; ++c) sum += input[size_t(p) * C + c];
        const double mean = sum / n;
        for (int p = 0; p < W * H; ++p)
            for (int c = g * 2; c < g * 2 + 2; ++c) squares += std::pow(input[size_t(p) * C + c] - mean, 2);
        const double variance = squares / n;
        for (int p = 0; p < W * H; ++p)
            for (int c = g * 2; c < g * 2 + 2; ++c)
                expected[size_t(p) * C + c] =
                    float((input[size_t(p) * C + c] - mean) * scale[c] / std::sqrt(variance + 0.01) + shift[c]);
    }
    EXPECT_LT(maxDifference(result, expected), 1e-4f);
}

TEST_F(ExecutionTest, DenseAndMatrixProduct)
{
    const std::vector<float> input = patternValues(2 * 3 * 2, 9);
    const std::vector<float> weights = patternValues(12 * 4, 10), biases = {0.1f, 0.2f, 0.3f, 0.4f};
    StreamBuilder s;
    s.header(4, 2).input(2).layer({0}, "dens").code("relu").i32(12).i32(4).floats(weights).i32(4).floats(biases);
    const std::vector<float> dense = run(s, 2, 3, 2, input);
    ASSERT_EQ(dense.size(), 4u) << engine->getErrorText();
    for (int o = 0; o < 4; ++o) {
        double sum = biases[o];
        for (int i = 0; i < 12; ++i) sum += input[i] * weights[size_t(i) * 4 + o];
        EXPECT_NEAR(dense[o], std::max(sum, 0.0), 1e-5) << o;
    }

    // A 1 x 3 x 2 input times its transpose-like 2 x ... matrix: (3 x 2) * (2 x 3).
    const std::vector<float> a = patternValues(1 * 3 * 2, 11);
    StreamBuilder m;
    m.header(4, 3).input(2).layer({0}, "tpos").i32(1000).layer({0, 1}, "mmul");
    // tpos 1000 turns 1 x 3 x 2 into 1 x 2 x 3: a 2 x 3 matrix.
    engine = std::make_unique<NNInference>();
    ASSERT_TRUE(engine->initialize(0, false, "test", 0));
    const std::vector<float> product = run(m, 1, 3, 2, a);
    ASSERT_EQ(product.size(), 9u) << engine->getErrorText() << channelMessages();
    for (int y = 0; y < 3; ++y)
        for (int ch = 0; ch < 3; ++ch) {
            double sum = 0;
            for (int k = 0; k < 2; ++k) sum += a[size_t(y) * 2 + k] * a[size_t(ch) * 2 + k];
            EXPECT_NEAR(product[size_t(y) * 3 + ch], sum, 1e-5);
        }
}

// input -> conv -> relu -> leaky relu: the activations work in place in the
// convolution's buffer, so the three outputs share one buffer.
TEST_F(ExecutionTest, ActivationsAfterAConvolutionShareItsBuffer)
{
    StreamBuilder s;
    s.header(4, 4).input(3).conv("co2d", 0, 4, 3, 3, 3, patternValues(108, 3), patternValues(4, 4));
    s.layer({1}, "relu").layer({2}, "lre1");
    ASSERT_TRUE(load(s));
    ASSERT_TRUE(engine->allocate(9, 7, 3)) << engine->getErrorText();
    const auto& layers = engine->model.layers;
    const auto& images = engine->model.images;
    EXPECT_EQ(engine->model.liveBufferCount, 2);
    EXPECT_EQ(layers[2]->colocationIndex, 1);
    EXPECT_EQ(layers[3]->colocationIndex, 1);
    EXPECT_EQ(images[1]->buffer, images[2]->buffer);
    EXPECT_EQ(images[1]->buffer, images[3]->buffer);
    EXPECT_NE(images[0]->buffer, images[1]->buffer);
}

// A convolution whose input is read again later keeps off that buffer, and a
// listed output layer is never overwritten.
TEST_F(ExecutionTest, PendingReadersAndOutputLayersKeepTheirBuffers)
{
    StreamBuilder s;
    s.header(5, 6).outputs({1}).input(3);
    s.layer({0}, "relu");                                                           // 1, listed output
    s.conv("co2d", 1, 3, 3, 3, 3, patternValues(81, 1), patternValues(3, 2));       // 2
    s.layer({2, 1}, "add ");                                                        // 3 reads 1 again
    s.conv("co2d", 3, 3, 1, 1, 3, patternValues(9, 3), patternValues(3, 4));        // 4
    s.layer({4}, "relu");                                                           // 5
    ASSERT_TRUE(load(s));
    ASSERT_TRUE(engine->allocate(8, 8, 3)) << engine->getErrorText();
    const auto& layers = engine->model.layers;
    const auto& images = engine->model.images;
    EXPECT_TRUE(layers[1]->isOutput);
    EXPECT_NE(images[2]->buffer, images[1]->buffer);
    for (size_t i = 2; i < images.size(); ++i) EXPECT_NE(images[i]->buffer, images[1]->buffer) << i;
    const std::vector<float> input = patternValues(8 * 8 * 3, 12);
    ASSERT_NE(engine->predict(input.data(), 8, 8, 3), nullptr);
    ASSERT_TRUE(images[1]->readFromGPU(engine->queue));
    for (size_t i = 0; i < input.size(); ++i) ASSERT_EQ(images[1]->data[i], std::max(input[i], 0.0f)) << i;
}

TEST_F(ExecutionTest, StridedSizesAndInputChannelsFromAllocate)
{
    StreamBuilder s; // version 4 input with 0 channels takes the count given to allocate
    s.header(4, 2).input(0).conv("co2d", 0, 2, 3, 3, 3, patternValues(54, 1), {0, 0}, 2);
    ASSERT_TRUE(load(s));
    ASSERT_TRUE(engine->allocate(101, 9, 3)) << engine->getErrorText() << channelMessages();
    EXPECT_EQ(engine->model.images[0]->channels, 3);
    EXPECT_EQ(engine->model.images[1]->width, 50);
    EXPECT_EQ(engine->model.images[1]->height, 4);
}

TEST_F(ExecutionTest, SizingFailuresAreReported)
{
    struct Case {
        const char* name;
        StreamBuilder stream;
        int32_t channels;
        const char* message;
    };
    std::vector<Case> cases;
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "relu");
        cases.push_back({"channels mismatch", s, 4, "NNInference error in allocate: input channels mismatch: got 4 expected 3"});
    }
    {
        StreamBuilder s; // the weights are for 4 input channels, the input has 3
        s.header(4, 2).input(3).conv("co2d", 0, 2, 1, 1, 4, patternValues(8, 1), {0, 0});
        cases.push_back({"convolution channels", s, 3, "1: co2d Convolution channels mismatch!!!"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "Resh").i32(5).i32(5).i32(5);
        cases.push_back({"reshape", s, 3, "Reshape calculateOutputSize error: 5x5x5 != 192"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "tpos").i32(7);
        cases.push_back({"transpose mode", s, 3, "invalid transpose mode"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "avg2").i32(3).i32(3).i32(3).i32(3);
        cases.push_back({"pooling step 3", s, 3, "No kernel source for layer avg2"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({}, "relu");
        cases.push_back({"unconnected", s, 3, "Input not connected for layer 1"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "spli").i32(2).i32(5);
        cases.push_back({"split past the channels", s, 3, "spli: channel range outside the input"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "mult");
        cases.push_back({"product of one input", s, 3, "mult: needs two inputs"});
    }
    {
        StreamBuilder s;
        s.header(4, 3).input(3).layer({0}, "maxp").i32(2).i32(2).i32(2).i32(2).layer({0, 1}, "add ");
        cases.push_back({"sum of different sizes", s, 3, "add : inputs differ in size"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine = std::make_unique<NNInference>();
        ASSERT_TRUE(engine->initialize(0, false, "test", 0));
        channelMessages().clear();
        ASSERT_TRUE(load(c.stream)) << engine->getErrorText();
        EXPECT_FALSE(engine->allocate(8, 8, c.channels));
        EXPECT_THAT(engine->getErrorText() + channelMessages(), HasSubstr(c.message));
        EXPECT_FALSE(engine->model.allocated);
    }
}

class ResultCacheTest : public EngineTest {
protected:
    int32_t totalRuns() const
    {
        int32_t runs = 0;
        for (const auto& layer : engine->model.layers) runs += layer->runCount;
        return runs;
    }
    StreamBuilder network() const
    {
        // Buffers: conv 2 takes the input's, conv 3 the first conv's; a x + b
        // and relu work in place in conv 3's.
        StreamBuilder s;
        s.header(4, 6).input(3).conv("co2d", 0, 3, 3, 3, 3, patternValues(81, 21), patternValues(3, 22));
        s.conv("co2d", 1, 3, 3, 3, 3, patternValues(81, 26), patternValues(3, 27));
        s.conv("co2d", 2, 3, 1, 1, 3, patternValues(9, 24), patternValues(3, 25));
        s.layer({3}, "AX+B").f32(1.0f).f32(0.0f).layer({4}, "relu");
        return s;
    }
};

TEST_F(ResultCacheTest, UnchangedInputRunsNoKernelAndParametersRerunOnlyDownstream)
{
    ASSERT_TRUE(load(network()));
    ASSERT_TRUE(engine->allocate(6, 6, 3));
    const std::vector<float> input = patternValues(6 * 6 * 3, 23);
    const float* first = engine->predict(input.data(), 6, 6, 3);
    ASSERT_NE(first, nullptr);
    const std::vector<float> before(first, first + 6 * 6 * 3);
    const int32_t runs = totalRuns();

    const float* again = engine->predict(input.data(), 6, 6, 3);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(totalRuns(), runs);
    EXPECT_EQ(std::vector<float>(again, again + before.size()), before);

    engine->floatArguments[4 * 16 + 0] = 1.0f; // the value it has: nothing to redo
    engine->predict(input.data(), 6, 6, 3);
    EXPECT_EQ(totalRuns(), runs);

    // a x + b overwrote conv 3's output in place, so conv 3 runs again too;
    // the two convolutions before it do not.
    const auto& layers = engine->model.layers;
    ASSERT_EQ(layers[2]->colocationIndex, 0);
    ASSERT_EQ(layers[3]->colocationIndex, 1);
    engine->floatArguments[4 * 16 + 0] = 2.0f;
    std::vector<int32_t> layerRuns;
    for (const auto& layer : layers) layerRuns.push_back(layer->runCount);
    const float* doubled = engine->predict(input.data(), 6, 6, 3);
    ASSERT_NE(doubled, nullptr);
    for (size_t i = 1; i < 6; ++i) EXPECT_EQ(layers[i]->runCount, layerRuns[i] + (i >= 3 ? 1 : 0)) << i;
    for (size_t i = 0; i < before.size(); ++i) EXPECT_NEAR(doubled[i], std::max(0.0f, 2 * before[i]), 1e-5) << i;
}

TEST_F(ResultCacheTest, InvalidatingASharingLayerInvalidatesTheOwner)
{
    ASSERT_TRUE(load(network()));
    ASSERT_TRUE(engine->allocate(6, 6, 3));
    const std::vector<float> input = patternValues(6 * 6 * 3, 23);
    ASSERT_NE(engine->predict(input.data(), 6, 6, 3), nullptr);
    const auto& layers = engine->model.layers;
    ASSERT_EQ(layers[5]->colocationIndex, 1);
    engine->model.invalidateLayer(5);
    std::vector<bool> valid;
    for (const auto& layer : layers) valid.push_back(layer->cacheValid);
    EXPECT_EQ(valid, (std::vector<bool>{true, true, true, false, false, false}));
}

TEST_F(ResultCacheTest, ParameterIndexPastTheListThrowsAndPredictReportsIt)
{
    ASSERT_TRUE(load(network()));
    ASSERT_TRUE(engine->allocate(6, 6, 3));
    try {
        engine->model.setLayerArgumentsFloat(4, 3, 1.0f);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "setLayerArgumentsFloat 4");
    }
    engine->floatArguments[4 * 16 + 3] = 1.0f;
    const std::vector<float> input = patternValues(6 * 6 * 3, 23);
    EXPECT_EQ(engine->predict(input.data(), 6, 6, 3), nullptr);
    EXPECT_THAT(channelMessages(), HasSubstr("OpenCL Predict Exception!"));
}

TEST_F(ResultCacheTest, PredictBeforeAllocateAndWithWrongChannels)
{
    ASSERT_TRUE(load(network()));
    const std::vector<float> input(6 * 6 * 4, 0.0f);
    EXPECT_EQ(engine->predict(input.data(), 6, 6, 3), nullptr);
    EXPECT_THAT(channelMessages(), HasSubstr("predict before calculateImagesSizes"));
    EXPECT_EQ(engine->predict(input.data(), 6, 6, 4), nullptr);
    EXPECT_THAT(channelMessages(), HasSubstr("NNInference predict error - input channel count mismatch"));
}

// A second size on the same load specialises the kernels afresh.
TEST_F(ResultCacheTest, AnotherSizeOnTheSameLoadComputesCorrectly)
{
    const StreamBuilder s = network();
    ASSERT_TRUE(load(s));
    ASSERT_TRUE(engine->allocate(9, 7, 3));
    const std::vector<float> small = patternValues(5 * 4 * 3, 30);
    ASSERT_TRUE(engine->allocate(5, 4, 3));
    const float* result = engine->predict(small.data(), 5, 4, 3);
    ASSERT_NE(result, nullptr);
    const std::vector<float> resized(result, result + small.size());

    NNInference fresh;
    ASSERT_TRUE(fresh.initialize(0, false, "test", 0));
    ASSERT_TRUE(fresh.loadModelFromMemory(s.bytes.data(), s.size()));
    ASSERT_TRUE(fresh.allocate(5, 4, 3));
    const float* expected = fresh.predict(small.data(), 5, 4, 3);
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(resized, std::vector<float>(expected, expected + small.size()));
}

TEST_F(EngineTest, ProgramBinaryCacheServesTheSecondLoadAndRecoversFromDamage)
{
    // Sizes are part of the program text: a width unique to this run gives a
    // cache file of its own.
    const int32_t width = 16 + int32_t(::getpid() % 4000);
    StreamBuilder s;
    s.header(4, 2).input(3).conv("co2d", 0, 2, 3, 3, 3, patternValues(54, 40), {0.5f, 0.0f});
    const std::vector<float> input = patternValues(size_t(width) * 5 * 3, 41);
    auto runAgain = [&]() {
        engine = std::make_unique<NNInference>();
        EXPECT_TRUE(engine->initialize(0, false, "test", 0));
        return run(s, width, 5, 3, input);
    };
    std::vector<float> compiled = run(s, width, 5, 3, input);
    ASSERT_FALSE(compiled.empty());
    const std::string path = engine->model.programCachePath;
    if (engine->model.programFromCache) { // left by an earlier run with the same width
        std::filesystem::remove(path);
        std::filesystem::remove(path + ".check");
        compiled = runAgain();
    }
    EXPECT_FALSE(engine->model.programFromCache);
    ASSERT_TRUE(std::filesystem::is_regular_file(path)) << path;
    EXPECT_EQ(path.rfind(userfolders::cacheFolder() + "/", 0), 0u);
    EXPECT_THAT(path, ::testing::MatchesRegex(".*/ailayers_[A-Za-z0-9_]+_[0-9]+\\.tmp"));
    const auto fullSize = std::filesystem::file_size(path);

    EXPECT_EQ(runAgain(), compiled);
    EXPECT_TRUE(engine->model.programFromCache);

    std::filesystem::resize_file(path, fullSize / 3);
    EXPECT_EQ(runAgain(), compiled);
    EXPECT_FALSE(engine->model.programFromCache);
    EXPECT_GT(std::filesystem::file_size(path), fullSize / 3);
    EXPECT_EQ(runAgain(), compiled); // the rewritten file serves again
    EXPECT_TRUE(engine->model.programFromCache);

    {
        std::ofstream foreign(path, std::ios::binary | std::ios::trunc);
        foreign << "not a program binary";
    }
    EXPECT_EQ(runAgain(), compiled);
    EXPECT_FALSE(engine->model.programFromCache);

    // A symbolic link in place of the file is neither read nor followed.
    const std::string target = path + ".target";
    std::filesystem::remove(path);
    { std::ofstream(target) << "x"; }
    std::filesystem::create_symlink(target, path);
    EXPECT_EQ(runAgain(), compiled);
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_EQ(std::filesystem::file_size(target), 1u);
    std::filesystem::remove(target);
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".check");
}

} // namespace

namespace {

TEST(EngineLog, LoggingTracesDeviceModelPlanAndRun)
{
    const std::string path = tempLogPath("ailayers.log");
    std::filesystem::remove(path);
    NNInference engine;
    ASSERT_TRUE(engine.initialize(0, true, "logged", 0));
    StreamBuilder s;
    s.header(4, 3).input(3).conv("co2d", 0, 4, 3, 3, 3, patternValues(108, 50), patternValues(4, 51)).layer({1}, "relu");
    ASSERT_TRUE(engine.loadModelFromMemory(s.bytes.data(), s.size()));
    ASSERT_TRUE(engine.allocate(8, 8, 3));
    const std::vector<float> input = patternValues(8 * 8 * 3, 52);
    ASSERT_NE(engine.predict(input.data(), 8, 8, 3), nullptr);
    std::ifstream file(path);
    const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::vector<std::string> lines = {"***************Initializing NNInference ******************", "Using device 0", "Created Context: 0",
          "loadModel: 1  ModelSize:" + std::to_string(s.size()), "Alloc:layer 0, image index -1, current image size 192",
          std::string("Coloc:layer 2, image index 1, buffer size 256, current image size 256 steal from 1"),
          std::string("Allocating CL:layer 0, image index -1, allocated size 192, current image size 192"),
          std::string("Processing layer 1 co2d"), std::string("* Process image finished:"),
          std::string("Going to read from gpu"), std::string("predict finished: 1")};
    for (const std::string& line : lines) EXPECT_THAT(log, HasSubstr(line));
}

} // namespace
