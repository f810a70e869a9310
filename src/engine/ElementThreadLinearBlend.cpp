#include "engine/ElementThreadLinearBlend.h"

#include <algorithm>

void ElementThreadLinearBlend::Run()
{
    for (int64_t p = firstPixel; p < endPixel; ++p) {
        const float e = brushMask ? strength * (static_cast<float>(brushMask[p]) / 255.0f) : strength;
        const float keep = 1.0f - e;
        for (int64_t c = p * 3; c < p * 3 + 3; ++c)
            output[c] = std::clamp(network[c] * e + original[c] * keep, 0.0f, 1.0f);
    }
}
