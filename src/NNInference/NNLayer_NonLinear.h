#pragma once
// Element-wise mappings whose output has the input's shape: clamping and the
// switchable log / exp / identity mapping.

#include "NNInference/NNLayer.h"

class NNLayer_NonLinear : public NNLayer {
public:
    using NNLayer::NNLayer;
    bool calculateOutputSize(NNLayer* inputs[inboundSlots]) override;
};

class NNLayer_SwitchableNonLinear : public NNLayer_NonLinear {
public:
    using NNLayer_NonLinear::NNLayer_NonLinear;
    bool loadLayerFromStream(ModelStreamReader& stream, const std::string& name, cl_context context,
                             cl_device_id device, int32_t kernelDims) override;
    bool loadKernel(cl_context context, cl_device_id device, const std::string& name) override;
    bool processImages(NNImage& input, NNImage& output, cl_command_queue queue) override;
};

class NNLayer_Clip : public NNLayer_NonLinear {
public:
    using NNLayer_NonLinear::NNLayer_NonLinear;
    bool loadLayerFromStream(ModelStreamReader& stream, const std::string& name, cl_context context,
                             cl_device_id device, int32_t kernelDims) override;
    bool loadKernel(cl_context context, cl_device_id device, const std::string& name) override;
    float clipMin = 0.0f;
    float clipMax = 1.0f;
};
