#pragma once
// The device buffer holding one layer's output, with its host copy.

#include <CL/cl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class NNImage {
public:
    NNImage(int32_t width, int32_t height, int32_t channels, int32_t* liveBuffers);
    ~NNImage();
    NNImage(const NNImage&) = delete;
    NNImage& operator=(const NNImage&) = delete;

    int64_t elementCount() const { return int64_t(width) * height * channels; }

    bool createBuffer(cl_context context, int64_t elements);
    bool copyFrom(const float* source, cl_command_queue queue);
    bool readFromGPU(cl_command_queue queue, std::vector<cl_event>* events = nullptr);

    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;
    std::vector<float> data;
    cl_mem buffer = nullptr;
    bool ownsBuffer = false;
    bool hostValid = false;
    int64_t allocSize = 0;
    bool hostAllocated = false;
    std::string logFileName;
    int32_t* liveBuffers = nullptr;
    std::function<void(const std::string&)> errorCallback;
};
