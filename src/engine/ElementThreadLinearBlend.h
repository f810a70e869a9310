#pragma once
// Worker of the plain blend: out = clamp(net * e + orig * (1 - e)) with
// e = strength * brush / 255, over a range of pixels.

#include <cstdint>
#include <thread>

class ElementThreadLinearBlend {
public:
    std::thread thread;
    int64_t firstPixel = 0;
    int64_t endPixel = 0;
    const float* network = nullptr;
    float* output = nullptr;
    const float* original = nullptr;
    const unsigned char* brushMask = nullptr; // null: the strength alone
    float strength = 1.0f;

    void Run();
};
