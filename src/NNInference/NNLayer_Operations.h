#pragma once
// Layers that combine, reshape or summarise tensors without learned weights.

#include "NNInference/NNLayer.h"

class NNLayer_Add : public NNLayer {
public:
    using NNLayer::NNLayer;
    bool loadKernel(cl_context context, cl_device_id device, const std::string& name) override;
    bool calculateOutputSize(NNLayer* inputs[inboundSlots]) override;
};

class NNLayer_Mix2 : public NNLayer_Add {
public:
    using NNLayer_Add::NNLayer_Add;
    bool loadLayerFromStream(ModelStreamReader& stream, const std::string& name, cl_context context,
                             cl_device_id device, int32_t kernelDims) override;
    bool loadKernel(cl_context context, cl_device_id device, const std::string& name) override;
};

class NNLayer_Concatenate : public NNLayer {
public:
    using NNLayer::NNLayer;
    bool loadKernel(cl_context context, cl_device_id device, const std::string& name) override;
    bool calculateOutputSize(NNLayer* inputs[inboundSlots]) override;
    int32_t unusedField = 0;
};

class NNLayer_Reshape : public NNLayer {
public:
    using NNLayer::NNLayer;
    bool loadLayerFromStream(ModelStreamReader& stream, const std::string& name, cl_context context,
                             cl_device_id device, int32_t kernelDims) override;
    bool loadKernel(cl_context context, cl_device_id device, const std::string& name) override;
    bool calculateOutputSize(NNLayer* inputs[inboundSlots]) override;
};

class NNLayer_Tile : public NNLayer {
public:
    using NNLayer::NNLayer;
    bool loadLayerFromStream(ModelStreamReader& stream, const std::string& name, cl_context context,
                             cl_device_id device, int32_t kernelDims) override;
    bool calculateOutputSize(NNLayer* inputs[inboundSlots]) override;
};

class NNLayer_Transpose : public NNLayer {
public:
    using NNLayer::NNLayer;
    bool loadLayerFromStream(ModelStreamReader& stream, const std::string& name, cl_context context,
                             cl_device_id device, int32_t kernelDims) override;
    bool loadKernel(cl_context context, cl_device_id device, const std::string& name) override;
    bool calculateOutputSize(NNLayer* inputs[inboundSlots]) override;
    int32_t transposeMode = 0;
};

class NNLayer_LinearAXplusB : public NNLayer {
public:
    using NNLayer::NNLayer;
    bool calculateOutputSize(NNLayer* inputs[inboundSlots]) override;
};

class NNLayer_GlobalPooling : public NNLayer {
public:
    using NNLayer::NNLayer;
    bool loadKernel(cl_context context, cl_device_id device, const std::string& name) override;
    bool processImages(NNImage& input, NNImage& output, cl_command_queue queue) override;
};

// Reads the target shape of reshape and tile layers.
void readTargetShape(NNLayer& layer, ModelStreamReader& stream);
