#pragma once
// Worker of the mask visualisation over a range of preview rows (plain variant: the brush mask alone decides where the change shows).

#include <thread>

class ElementThreadBrushBlendResize {
public:
    std::thread thread;
    int firstRow = 0;
    int endRow = 0;
    int previewWidth = 0;
    int previewHeight = 0;
    int imageWidth = 0;
    int imageHeight = 0;
    float strength = 1.0f;
    const unsigned char* brushMask = nullptr;
    const float* network = nullptr;
    float* preview = nullptr;
    const float* original = nullptr;
    int originalChannels = 3;

    void Run();
};
