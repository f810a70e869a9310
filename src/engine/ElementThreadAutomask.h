#pragma once
// Worker of the subject-protected blend: b = (1 - a * s) * (a * m), so that at
// full strength the subject keeps its own pixels. `original` may be `output`
// itself (blend in place) or the untouched picture (one pass less).

#include <cstdint>
#include <thread>

class ElementThreadAutomask {
public:
    std::thread thread;
    int64_t firstPixel = 0;
    int64_t endPixel = 0;
    const float* network = nullptr;
    float* output = nullptr;
    const float* original = nullptr;
    const unsigned char* brushMask = nullptr;
    const unsigned char* subjectMask = nullptr;
    float strength = 1.0f;
    int networkChannels = 3;

    void Run();
};
