#pragma once
// Matrix product of two inputs and the fully connected layer.

#include "NNInference/NNLayer.h"

class NNLayer_Matmul : public NNLayer {
public:
    using NNLayer::NNLayer;
    bool loadKernel(cl_context context, cl_device_id device, const std::string& name) override;
    bool calculateOutputSize(NNLayer* inputs[inboundSlots]) override;
};

class NNLayer_Dense : public NNLayer {
public:
    using NNLayer::NNLayer;
    bool loadLayerFromStream(ModelStreamReader& stream, const std::string& name, cl_context context,
                             cl_device_id device, int32_t kernelDims) override;
    bool loadKernel(cl_context context, cl_device_id device, const std::string& name) override;
    bool calculateOutputSize(NNLayer* inputs[inboundSlots]) override;
};
