#pragma once
// Stand-ins for the two networks, so the pipeline, the blends and the library
// interface can be checked without OpenCL or trained weights.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ailayers/AILayers.h"
#include "ailayers/ModelLogic.h"
#include "engine/PhotoCreator.h"

// Applies a per-value function to its input; `calls` counts runs.
class FakeBackEnd : public ModelLogic {
public:
    std::function<float(float)> transform;
    int outputChannels = 3; // 1: the mask network's single map
    std::function<float(int x, int y)> mapValue;
    bool fail = false;
    int calls = 0;

    bool initModel(const char*, unsigned, std::string, std::string) override { return true; }
    void deallocate() override {}
    image_template<float> runModel(const float* data, unsigned width, unsigned height, unsigned channels) override
    {
        ++calls;
        if (fail) {
            pendingError = "fake network failed";
            return {};
        }
        output.assign(size_t(width) * height * outputChannels + outputChannels, 0.0f);
        for (unsigned y = 0; y < height; ++y)
            for (unsigned x = 0; x < width; ++x)
                for (int c = 0; c < outputChannels; ++c) {
                    const size_t at = (size_t(y) * width + x);
                    output[at * outputChannels + c] =
                        mapValue ? mapValue(int(x), int(y)) : transform(data[at * channels + c]);
                }
        return image_template<float>(int(width), int(height), outputChannels, output.data());
    }
    const float* runModel2Inputs(const float*, const float*, unsigned, unsigned, unsigned, int*) override { return nullptr; }
    const float* runModel3Inputs(image_template<float>, image_template<float>, image_template<float>, int*) override
    {
        return nullptr;
    }
    const float* runModelAsync(const float*, unsigned, unsigned, unsigned, int*, bool&) override { return nullptr; }
    unsigned char* runModel(const float*, unsigned, unsigned, unsigned, int*, bool, float) override { return nullptr; }
    std::string getNNEngineInformation(const char*, int* deviceCount) override
    {
        if (deviceCount) *deviceCount = 1;
        return "fake device";
    }
    std::string getErrorText() override
    {
        std::string text;
        text.swap(pendingError);
        return text;
    }
    bool isLoaded() override { return true; }

private:
    std::vector<float> output;
    std::string pendingError;
};

// The cleaning stand-in: 1.5 x - 0.25, which leaves 0..1 at both ends so the
// clamp of the network result is exercised.
inline float fakeClean(float v) { return 1.5f * v - 0.25f; }

struct FakeEngine {
    std::unique_ptr<PhotoCreator> engine;
    FakeBackEnd* cleaner = nullptr;
    FakeBackEnd* masker = nullptr;
};

// An engine whose networks are fakes: the subject is the centre square of
// the 256 x 256 mask input (rows and columns 64..191).
inline FakeEngine makeFakeEngine(bool fileMode = false)
{
    FakeEngine fake;
    fake.engine = std::make_unique<PhotoCreator>(fileMode);
    auto cleaner = std::make_unique<FakeBackEnd>();
    cleaner->transform = fakeClean;
    auto masker = std::make_unique<FakeBackEnd>();
    masker->outputChannels = 1;
    masker->mapValue = [](int x, int y) { return (x >= 64 && x < 192 && y >= 64 && y < 192) ? 1.0f : 0.0f; };
    fake.cleaner = cleaner.get();
    fake.masker = masker.get();
    fake.engine->modelSystem = OpenCL;
    fake.engine->layers.push_back(new AILayers(std::move(cleaner)));
    fake.engine->layers.push_back(new AILayers(std::move(masker)));
    fake.engine->modelLoadPending = 0;
    return fake;
}

// A width x height RGB picture with distinct values in 0..1, owned by the
// engine once loaded.
inline float* makePicture(int width, int height)
{
    float* data = new float[size_t(width) * height * 3 + 3]();
    for (size_t i = 0; i < size_t(width) * height * 3; ++i) data[i] = float((i * 37) % 101) / 100.0f;
    return data;
}
