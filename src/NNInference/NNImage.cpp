#include "NNInference/NNImage.h"

#include <new>

#include "NNInference/OpenCLErrors.h"
#include "ailayers/DiagnosticsLog.h"

NNImage::NNImage(int32_t w, int32_t h, int32_t c, int32_t* live)
    : width(w), height(h), channels(c), liveBuffers(live), errorCallback(errorCallbackConsole)
{
}

NNImage::~NNImage()
{
    if (ownsBuffer && buffer != nullptr) {
        clReleaseMemObject(buffer);
        if (liveBuffers != nullptr) --*liveBuffers;
    }
}

bool NNImage::createBuffer(cl_context context, int64_t elements)
{
    cl_int status = CL_SUCCESS;
    buffer = clCreateBuffer(context, CL_MEM_READ_WRITE, static_cast<size_t>(elements) * sizeof(float), nullptr,
                            &status);
    ownsBuffer = true;
    if (liveBuffers != nullptr) ++*liveBuffers;
    if (!oclCheck(status, "NNImage", 111)) {
        buffer = nullptr;
        return false;
    }
    return true;
}

bool NNImage::copyFrom(const float* source, cl_command_queue queue)
{
    const size_t bytes = static_cast<size_t>(elementCount()) * sizeof(float);
    if (buffer == nullptr || elementCount() > allocSize) return false;
    const cl_int status = clEnqueueWriteBuffer(queue, buffer, CL_TRUE, 0, bytes, source, 0, nullptr, nullptr);
    return oclCheck(status, "NNImage", 137);
}

bool NNImage::readFromGPU(cl_command_queue queue, std::vector<cl_event>* events)
{
    if (buffer == nullptr) return false;
    const size_t count = static_cast<size_t>(elementCount());
    try {
        if (!hostAllocated) data.resize(static_cast<size_t>(allocSize));
        if (data.size() < count) data.resize(count);
    } catch (const std::bad_alloc&) {
        errorCallback("Not enough RAM to read the network output");
        return false;
    }
    hostAllocated = true;
    const cl_uint waitCount = events != nullptr ? static_cast<cl_uint>(events->size()) : 0;
    const cl_int status = clEnqueueReadBuffer(queue, buffer, CL_TRUE, 0, count * sizeof(float), data.data(),
                                              waitCount, waitCount > 0 ? events->data() : nullptr, nullptr);
    hostValid = false;
    if (!oclCheck(status, "NNImage", 178)) return false;
    if (!oclCheck(clFlush(queue), "NNImage", 182)) return false;
    hostValid = true;
    return true;
}
