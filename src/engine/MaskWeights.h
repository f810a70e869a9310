#pragma once
// Mask bytes as weights: value / 255, computed once so the blend loops index
// a table instead of dividing per pixel (the values are identical).

#include <array>

inline const std::array<float, 256>& maskWeights()
{
    static const std::array<float, 256> table = [] {
        std::array<float, 256> values{};
        for (int i = 0; i < 256; ++i) values[i] = static_cast<float>(i) / 255.0f;
        return values;
    }();
    return table;
}
