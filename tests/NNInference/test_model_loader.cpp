// Reading model streams: headers of every version, layer payloads, and the
// messages of damaged or hostile streams.

#include <gmock/gmock.h>

#include "EngineHelpers.h"
#include "NNInference/NNLayer_NonLinear.h"
#include "NNInference/NNLayer_Operations.h"

using ::testing::HasSubstr;

namespace {

class ModelLoaderTest : public EngineTest {
protected:
    // A small valid version-4 model: input, 3x3 conv 3 -> 2, relu.
    static StreamBuilder smallModel(int32_t version = 4)
    {
        StreamBuilder s;
        s.header(version, 3);
        if (version >= 5) s.outputs({});
        s.input(3).conv("co2d", 0, 2, 3, 3, 3, std::vector<float>(54, 0.5f), {0.1f, 0.2f}).layer({1}, "relu");
        return s;
    }
};

TEST_F(ModelLoaderTest, HeadersOfEveryVersion)
{
    struct Case {
        const char* name;
        StreamBuilder stream;
        int32_t timestamp, inputCount, inputChannels, layers;
    };
    std::vector<Case> cases;
    {
        StreamBuilder s; // no header: the lead word is the layer count; inputs have 3 channels
        s.i32(2).layer({}, "inpu").layer({0}, "relu");
        cases.push_back({"version 0", s, 0, 1, 3, 2});
    }
    for (int version : {1, 2}) {
        StreamBuilder s;
        s.code("NNin").i32(version).i32(1).layer({}, "inpu");
        cases.push_back({"version 1/2", s, 19000, 1, 3, 1});
    }
    {
        StreamBuilder s; // version 3 reads five words but keeps one input
        s.header(3, 1, 7).layer({}, "inpu");
        cases.push_back({"version 3", s, 20240101, 1, 3, 1});
    }
    {
        StreamBuilder s;
        s.header(4, 2, 2).input(5).input(5);
        cases.push_back({"version 4", s, 20240101, 2, 5, 2});
    }
    {
        StreamBuilder s; // version 5 with no output layers still needs "LAYS"
        s.header(5, 1).outputs({}).input(1);
        cases.push_back({"version 5", s, 20240101, 1, 1, 1});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(load(c.stream)) << engine->getErrorText();
        EXPECT_EQ(engine->model.timestamp, c.timestamp);
        EXPECT_EQ(engine->model.inputCount, c.inputCount);
        EXPECT_EQ(int32_t(engine->model.layers.size()), c.layers);
        EXPECT_EQ(engine->model.layers[0]->outputChannels, c.inputChannels);
        EXPECT_EQ(engine->model.expectedInputChannels(), c.inputChannels);
    }
}

TEST_F(ModelLoaderTest, ConvolutionPayloadKeepsTheSecondOfEachDoubledField)
{
    StreamBuilder s;
    s.header(4, 2).input(4).layer({0}, "co2d").i32(7).i32(2).i32(9).i32(3).code("relu");
    s.i32(1).i32(1).i32(1).i32(4).floats({1, 2, 3, 4}).i32(1).f32(0.5f);
    ASSERT_TRUE(load(s)) << engine->getErrorText();
    const NNLayer& conv = *engine->model.layers[1];
    EXPECT_EQ(conv.strides, 2);
    EXPECT_EQ(conv.dilation, 3);
    EXPECT_EQ(conv.activation, fourCC("relu"));
    EXPECT_EQ(conv.weights, (std::vector<float>{1, 2, 3, 4}));
    EXPECT_EQ(conv.biases, (std::vector<float>{0.5f}));
    EXPECT_NE(conv.weightsBuffer, nullptr);
    EXPECT_EQ(conv.getOperationName(), "co2d");
}

TEST_F(ModelLoaderTest, LayerKindsGetTheirClassesAndPayloads)
{
    StreamBuilder s;
    s.header(4, 6).input(3);
    s.layer({0}, "Clip").f32(-1.0f).f32(2.0f);
    s.layer({0}, "tpos").i32(1000);
    s.layer({0}, "Resh").i32(3).i32(2).i32(1);
    s.layer({0}, "Mix2").floats({1, 2, 3, 4, 5, 6});
    s.layer({0}, "spli").i32(1).i32(3);
    ASSERT_TRUE(load(s)) << engine->getErrorText();
    const auto& layers = engine->model.layers;
    auto* clip = dynamic_cast<NNLayer_Clip*>(layers[1].get());
    ASSERT_NE(clip, nullptr);
    EXPECT_EQ(clip->clipMin, -1.0f);
    EXPECT_EQ(clip->clipMax, 2.0f);
    auto* transpose = dynamic_cast<NNLayer_Transpose*>(layers[2].get());
    ASSERT_NE(transpose, nullptr);
    EXPECT_EQ(transpose->transposeMode, 1000);
    EXPECT_EQ(layers[3]->targetWidth * 100 + layers[3]->targetHeight * 10 + layers[3]->targetChannels, 321);
    EXPECT_NE(dynamic_cast<NNLayer_Mix2*>(layers[4].get()), nullptr);
    EXPECT_EQ(layers[4]->parameters, (std::vector<float>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(layers[5]->startChannel, 1);
    EXPECT_EQ(layers[5]->outputChannels, 2);
}

TEST_F(ModelLoaderTest, DamagedStreamsFailWithTheirMessage)
{
    const StreamBuilder valid = smallModel();
    struct Case {
        const char* name;
        StreamBuilder stream;
        const char* message;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", StreamBuilder{}, "Fatal NN error: Model has 0 size"});
    {
        StreamBuilder s;
        s.header(4, 0);
        cases.push_back({"zero layers", s, "Fatal NN error: No layers in model"});
    }
    {
        StreamBuilder s;
        s.header(5, 1).i32(0).code("LAYX").input(3);
        cases.push_back({"missing LAYS", s, "Fatal NN error: File corrupt"});
    }
    {
        StreamBuilder s;
        s.header(5, 1).outputs({4}).input(3);
        cases.push_back({"output layer out of range", s, "Fatal NN error: File corrupt"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "zzzz");
        cases.push_back({"unknown code", s, "Fatal NN error: load layer exception:1\nNNLayer creation error: zzzz"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0, 5}, "add ");
        cases.push_back({"inbound index past the layer", s, "Fatal NN error: load layer error, model corrupt:1"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({1}, "relu");
        cases.push_back({"layer reading itself", s, "Fatal NN error: load layer error, model corrupt:1"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "relu");
        s.bytes.resize(s.bytes.size() - 2);
        cases.push_back({"cut inside a layer code", s, "Fatal NN error: Model truncated"});
    }
    {
        StreamBuilder s;
        s.header(4, 3).input(3).layer({0}, "relu");
        cases.push_back({"layers still announced at the end", s, "Fatal NN error: Model truncated"});
    }
    {
        StreamBuilder s; // a conv with neither weights nor biases
        s.header(4, 2).input(3).conv("co2d", 0, 0, 3, 3, 3, {}, {});
        cases.push_back({"conv without weights", s, "Fatal NN error: load layer exception:1\nFailed to init layer"});
    }
    {
        StreamBuilder s;
        s.header(4, 3).input(3).layer({0}, "relu").layer({0, 1, 0, 1}, "conc");
        cases.push_back({"concatenation of four", s, "Fatal NN error: load layer exception:2\n"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine->clearErrorText();
        EXPECT_FALSE(load(c.stream));
        EXPECT_THAT(engine->getErrorText(), HasSubstr(c.message));
        EXPECT_TRUE(engine->model.layers.empty());
        EXPECT_EQ(engine->model.layerCount, 0);
    }
}

// Every cut of a valid stream fails cleanly: a shortened weights list would
// otherwise load and compute with zeros.
TEST_F(ModelLoaderTest, EveryTruncationIsReported)
{
    const StreamBuilder valid = smallModel(5);
    ASSERT_TRUE(load(valid)) << engine->getErrorText();
    for (size_t length = 0; length < valid.size(); ++length) {
        StreamBuilder cut = valid;
        cut.bytes.resize(length);
        engine->clearErrorText();
        EXPECT_FALSE(load(cut)) << "length " << length;
        const std::string& text = engine->getErrorText();
        EXPECT_TRUE(text == "Fatal NN error: Model truncated" || text == "Fatal NN error: Model has 0 size")
            << "length " << length << ": " << text;
    }
}

TEST_F(ModelLoaderTest, HostileCountsAreRejectedBeforeAllocating)
{
    struct Case {
        const char* name;
        StreamBuilder stream;
        const char* message;
    };
    std::vector<Case> cases;
    {
        StreamBuilder s; // 65536 x 255 x 255 x 65536 weights announced, none present
        s.header(4, 2).input(3).layer({0}, "co2d").i32(1).i32(1).i32(1).i32(1).code("line");
        s.i32(65536).i32(255).i32(255).i32(65536);
        cases.push_back({"gigantic convolution", s, "Invalid weights count"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "co2d").i32(1).i32(1).i32(1).i32(1).code("line");
        s.i32(2).i32(-3).i32(3).i32(3);
        cases.push_back({"negative filter width", s, "Invalid filter width: -3"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "co2d").i32(1).i32(1).i32(1).i32(1).code("line");
        s.i32(1).i32(1).i32(1).i32(1).f32(1.0f).i32(-5);
        cases.push_back({"negative bias count", s, "Invalid biases count: -5"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "co2d").i32(1).i32(1).i32(1).i32(1).code("line");
        s.i32(1).i32(1).i32(1).i32(1).f32(1.0f).i32(100000);
        cases.push_back({"more biases than bytes", s, "Fatal NN error: Model truncated"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "grpn").i32(2).i32(1 << 30);
        cases.push_back({"group norm scales", s, "Invalid group norm scales count"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "dens").code("line").i32(1 << 20).i32(1 << 20);
        cases.push_back({"dense", s, "Invalid dense weights count"});
    }
    {
        StreamBuilder s;
        s.header(5, 1).i32(0x7fffffff);
        cases.push_back({"output layer list", s, "Fatal NN error: File corrupt"});
    }
    {
        StreamBuilder s;
        s.header(4, 2).input(3).layer({0}, "co2d").i32(0).i32(0).i32(1).i32(1).code("line");
        cases.push_back({"zero stride", s, "Invalid strides: 0"});
    }
    {
        // The separable kernel sums at most 1024 channels privately.
        StreamBuilder s;
        s.header(4, 2).input(2000).layer({0}, "sepa").i32(1).i32(1).i32(1).i32(1).code("line");
        s.i32(1).i32(1).i32(1).i32(2000).floats(std::vector<float>(2000, 0.0f));
        s.i32(1).i32(2000).i32(2000).i32(2000).floats(std::vector<float>(2000, 0.0f)).i32(1).f32(0);
        cases.push_back({"separable over 1024 channels", s, "more than 1024 input channels"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine->clearErrorText();
        EXPECT_FALSE(load(c.stream));
        EXPECT_THAT(engine->getErrorText(), HasSubstr(c.message));
    }
}

TEST_F(ModelLoaderTest, NegativeLayerCountLoadsNothingAndCannotBeCompiled)
{
    StreamBuilder s;
    s.header(4, -1);
    EXPECT_TRUE(load(s));
    EXPECT_TRUE(engine->model.layers.empty());
    EXPECT_FALSE(engine->allocate(8, 8, 3));
    EXPECT_THAT(engine->getErrorText(), HasSubstr("NNInference: No layers found!"));
}

TEST_F(ModelLoaderTest, LoadingNeedsAnInitialisedEngineAndData)
{
    NNInference bare;
    const StreamBuilder s = smallModel();
    EXPECT_FALSE(bare.loadModelFromMemory(s.bytes.data(), s.size()));
    EXPECT_FALSE(engine->loadModelFromMemory(nullptr, 10));
    EXPECT_TRUE(bare.getErrorText().empty());
}

} // namespace
