#pragma once
// The mask visualisation drawn while the user previews the mask or paints:
// where the retouch applies, the change the network made shows in green and
// blue amplified ten times; elsewhere the cleaned picture shows. Works on
// preview rows, averaging the full-resolution box behind each preview pixel.

#include <cstdint>

struct MaskPreviewRows {
    int firstRow = 0;
    int endRow = 0;
    int previewWidth = 0;
    int previewHeight = 0;
    int imageWidth = 0;
    int imageHeight = 0;
    float strength = 1.0f;
    const unsigned char* brushMask = nullptr;
    const unsigned char* subjectMask = nullptr; // null: plain variant
    const float* network = nullptr;
    float* preview = nullptr;
    const float* original = nullptr;
    int originalChannels = 3;
};

void drawMaskPreviewRows(const MaskPreviewRows& job);
