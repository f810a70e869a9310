#pragma once
// An engine on the first rated device, and the error channel it reports to,
// for the engine tests.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "NNInference/NNInference.h"
#include "StreamBuilder.h"
#include "ailayers/DiagnosticsLog.h"

inline std::string& channelMessages()
{
    static std::string messages;
    return messages;
}

inline void collectChannelMessage(std::string message)
{
    channelMessages() += message + "\n";
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        channelMessages().clear();
        oclErrorLog.clear();
        kstErrorCallback = collectChannelMessage;
        engine = std::make_unique<NNInference>();
        ASSERT_TRUE(engine->initialize(0, false, "test", 0)) << engine->getErrorText();
    }

    bool load(const StreamBuilder& stream)
    {
        static const char none = 0;
        return engine->loadModelFromMemory(stream.bytes.empty() ? &none : stream.bytes.data(), stream.size());
    }

    // Loads, sizes and runs a one-input model; empty on any failure.
    std::vector<float> run(const StreamBuilder& stream, int32_t width, int32_t height, int32_t channels,
                           const std::vector<float>& input)
    {
        if (!load(stream) || !engine->allocate(width, height, channels)) return {};
        const float* result = engine->predict(input.data(), width, height, channels);
        if (result == nullptr) return {};
        const NNImage& last = *engine->model.images.back();
        return std::vector<float>(result, result + last.elementCount());
    }

    std::unique_ptr<NNInference> engine;
};

// Deterministic values in [-1, 1).
inline std::vector<float> patternValues(size_t count, uint32_t seed)
{
    std::vector<float> values(count);
    uint32_t state = seed * 2654435761u + 1;
    for (float& v : values) {
        state = state * 1664525u + 1013904223u;
        v = float(state >> 8) / float(1 << 23) - 1.0f;
    }
    return values;
}
