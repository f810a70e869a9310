#include "engine/ElementThreadAutomask.h"

#include <algorithm>

#include "engine/MaskWeights.h"

void ElementThreadAutomask::Run()
{
    const float a = strength;
    const float* weight = maskWeights().data();
    for (int64_t p = firstPixel; p < endPixel; ++p) {
        const float m = weight[brushMask[p]];
        const float s = weight[subjectMask[p]];
        const float b = (1.0f - a * s) * (a * m);
        const float keep = 1.0f - b;
        const float* net = network + p * networkChannels;
        const float* orig = original + p * 3;
        float* out = output + p * 3;
        for (int c = 0; c < 3; ++c) out[c] = std::clamp(net[c] * b + orig[c] * keep, 0.0f, 1.0f);
    }
}
