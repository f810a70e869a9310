#include "engine/ElementThreadLinearBlend.h"

#include <algorithm>

#include "engine/MaskWeights.h"

void ElementThreadLinearBlend::Run()
{
    const float* weight = maskWeights().data();
    for (int64_t p = firstPixel; p < endPixel; ++p) {
        const float e = brushMask ? strength * weight[brushMask[p]] : strength;
        const float keep = 1.0f - e;
        for (int64_t c = p * 3; c < p * 3 + 3; ++c)
            output[c] = std::clamp(network[c] * e + original[c] * keep, 0.0f, 1.0f);
    }
}
