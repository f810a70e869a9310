#pragma once
// Classical image filters inside a network: the recursive edge-limited blur
// ("IIRB") and the switchable denoise chain ("SBlu").

#include "NNInference/NNLayer.h"

class NNLayer_SwitchableBlur : public NNLayer {
public:
    using NNLayer::NNLayer;
    bool loadLayerFromStream(ModelStreamReader& stream, const std::string& name, cl_context context,
                             cl_device_id device, int32_t kernelDims) override;
    bool loadKernel(cl_context context, cl_device_id device, const std::string& name) override;
    bool processImages(NNImage& input, NNImage& output, cl_command_queue queue) override;
    int32_t executionCount = 0;
};
