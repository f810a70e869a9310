#include "NNInference/OpenCLDevices.h"

#include <algorithm>
#include <cstring>

int32_t rateDevice(cl_device_type type, const std::string& deviceName)
{
    int32_t rating = 0;
    if (type & CL_DEVICE_TYPE_GPU) {
        rating += 1000;
        if (deviceName.find("Intel") != std::string::npos) rating /= 2;
    }
    if (type & CL_DEVICE_TYPE_ACCELERATOR) rating += 100;
    if (type & CL_DEVICE_TYPE_CPU) rating += 1;
    if (deviceName.find("Microsoft Basic Render") != std::string::npos) rating -= 1000;
    return rating;
}

bool gpuMemoryTooSmall(cl_device_type type, int32_t memoryMB)
{
    return (type & CL_DEVICE_TYPE_GPU) && memoryMB <= minimumGpuMemoryMB;
}

bool sortByRating(const DEVICES& a, const DEVICES& b)
{
    return a.rating > b.rating;
}

void copyDeviceText(char (&target)[200], const std::string& text)
{
    const size_t length = std::min<size_t>(text.size(), sizeof(target) - 1);
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}
