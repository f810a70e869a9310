#pragma once
// One OpenCL device candidate, and the rating that orders candidates best first.

#include <CL/cl.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct DEVICES {
    char platformName[200] = {};
    char deviceName[200] = {};
    cl_device_id deviceId = nullptr;
    int32_t rating = 0;
    int32_t memoryMB = 0;
    size_t maxWorkGroupSize = 0;
    size_t maxWorkItemSizes[3] = {0, 0, 0};
};

// Discrete GPUs first, then accelerators, then CPUs; integrated Intel GPUs
// count half and software renderers are pushed to the end.
int32_t rateDevice(cl_device_type type, const std::string& deviceName);

// GPUs with this much memory or less cannot hold a network tile.
constexpr int32_t minimumGpuMemoryMB = 1400;
bool gpuMemoryTooSmall(cl_device_type type, int32_t memoryMB);

bool sortByRating(const DEVICES& a, const DEVICES& b);

// Copies at most 199 characters and terminates.
void copyDeviceText(char (&target)[200], const std::string& text);
