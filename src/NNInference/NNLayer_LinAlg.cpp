#include "NNInference/NNLayer_LinAlg.h"

#include <stdexcept>

#include "NNInference/KernelTemplates.h"
#include "NNInference/ModelStreamReader.h"

bool NNLayer_Matmul::loadKernel(cl_context context, cl_device_id device, const std::string& name)
{
    kernelDimensions = kernelDimensionsChannels;
    inPlace = false;
    return loadKernelFromString(kernel_matmul, name, context, device, 0, 0);
}

bool NNLayer_Matmul::calculateOutputSize(NNLayer* inputs[inboundSlots])
{
    if (inputs[0] == nullptr || inputs[1] == nullptr) return false;
    sourceWidth = inputs[0]->outputWidth;
    sourceHeight = inputs[0]->outputHeight;
    inputChannels = inputs[0]->outputChannels;
    inputChannels2 = inputs[1]->outputChannels;
    if (inputChannels != inputs[1]->outputHeight) {
        report("calculateOutputSize matmul error: channels don't match: " + std::to_string(inputChannels) +
               " != " + std::to_string(inputs[1]->outputHeight));
        return false;
    }
    outputWidth = 1;
    outputHeight = sourceHeight;
    outputChannels = inputChannels2;
    return true;
}

bool NNLayer_Dense::loadLayerFromStream(ModelStreamReader& stream, const std::string&, cl_context context,
                                        cl_device_id, int32_t kernelDims)
{
    constexpr int32_t maxUnits = 1 << 20;
    kernelDimensions = kernelDims;
    activation = stream.int32();
    inputChannels = stream.int32();
    outputChannels = stream.int32();
    if (inputChannels < 0 || inputChannels > maxUnits || outputChannels < 0 || outputChannels > maxUnits)
        throw std::runtime_error("Invalid dense size: " + std::to_string(inputChannels) + " x " +
                                 std::to_string(outputChannels));
    weights = stream.floats(int64_t(inputChannels) * outputChannels, "dense weights");
    weightsCount = static_cast<int32_t>(weights.size());
    biasesCount = stream.int32();
    biases = stream.floats(biasesCount, "dense biases");
    uploadWeights(context, "NNLayer_LinAlg", 34, 39);
    return true;
}

bool NNLayer_Dense::loadKernel(cl_context context, cl_device_id device, const std::string& name)
{
    kernelDimensions = kernelDimensionsChannels;
    inPlace = false;
    return loadKernelFromString(kernel_dense, name, context, device, 0, 0);
}

bool NNLayer_Dense::calculateOutputSize(NNLayer* inputs[inboundSlots])
{
    if (inputs[0] == nullptr) return false;
    sourceWidth = inputs[0]->outputWidth;
    sourceHeight = inputs[0]->outputHeight;
    if (inputs[0]->outputElementCount() != inputChannels || biases.size() < size_t(outputChannels)) {
        report("Dense layer expects " + std::to_string(inputChannels) + " inputs, got " +
               std::to_string(inputs[0]->outputElementCount()));
        return false;
    }
    outputWidth = 1;
    outputHeight = 1;
    return true;
}
