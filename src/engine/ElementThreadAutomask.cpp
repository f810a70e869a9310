#include "engine/ElementThreadAutomask.h"

#include <algorithm>

void ElementThreadAutomask::Run()
{
    const float a = strength;
    for (int64_t p = firstPixel; p < endPixel; ++p) {
        const float m = static_cast<float>(brushMask[p]) / 255.0f;
        const float s = static_cast<float>(subjectMask[p]) / 255.0f;
        const float b = (1.0f - a * s) * (a * m);
        const float keep = 1.0f - b;
        const float* net = network + p * networkChannels;
        float* out = output + p * 3;
        for (int c = 0; c < 3; ++c) out[c] = std::clamp(net[c] * b + out[c] * keep, 0.0f, 1.0f);
    }
}
