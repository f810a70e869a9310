#include "NNInference/NNLayer_Operations.h"

#include <stdexcept>

#include "NNInference/KernelTemplates.h"
#include "NNInference/ModelStreamReader.h"
#include "NNInference/NNImage.h"

namespace {

constexpr int32_t maxTargetSize = 1 << 20;

int32_t targetField(int32_t value, const char* what)
{
    if (value < 1 || value > maxTargetSize)
        throw std::runtime_error(std::string("Invalid target ") + what + ": " + std::to_string(value));
    return value;
}

void takeInputSizes(NNLayer& layer, NNLayer* inputs[inboundSlots])
{
    layer.sourceWidth = inputs[0]->outputWidth;
    layer.sourceHeight = inputs[0]->outputHeight;
    layer.inputChannels = inputs[0]->outputChannels;
    layer.inputChannels2 = inputs[1] != nullptr ? inputs[1]->outputChannels : 0;
    layer.inputChannels3 = inputs[2] != nullptr ? inputs[2]->outputChannels : 0;
}

} // namespace

void readTargetShape(NNLayer& layer, ModelStreamReader& stream)
{
    layer.targetWidth = targetField(stream.int32(), "width");
    layer.targetHeight = targetField(stream.int32(), "height");
    layer.targetChannels = targetField(stream.int32(), "channels");
}

// ---------------------------------------------------------------- add, subtract

bool NNLayer_Add::loadKernel(cl_context context, cl_device_id device, const std::string& name)
{
    kernelDimensions = kernelDimensionsPlane;
    inPlace = true;
    return loadKernelFromString(is("subt") ? kernel_subtract : kernel_add, name, context, device, 8, 0);
}

bool NNLayer_Add::calculateOutputSize(NNLayer* inputs[inboundSlots])
{
    if (inputs[0] == nullptr || inputs[1] == nullptr) return false;
    takeInputSizes(*this, inputs);
    outputWidth = sourceWidth;
    outputHeight = sourceHeight;
    outputChannels = inputChannels;
    return true;
}

// ---------------------------------------------------------------- gated blend

bool NNLayer_Mix2::loadLayerFromStream(ModelStreamReader& stream, const std::string&, cl_context, cl_device_id,
                                       int32_t kernelDims)
{
    kernelDimensions = kernelDims;
    for (int k = 0; k < 6; ++k) parameters.push_back(stream.float32());
    return true;
}

bool NNLayer_Mix2::loadKernel(cl_context context, cl_device_id device, const std::string& name)
{
    kernelDimensions = kernelDimensionsPlane;
    inPlace = true;
    return loadKernelFromString(kernel_mix2, name, context, device, 8, 0);
}

// ---------------------------------------------------------------- concatenation

bool NNLayer_Concatenate::loadKernel(cl_context context, cl_device_id device, const std::string& name)
{
    kernelDimensions = kernelDimensionsPlane;
    inPlace = false;
    if (inboundNodes[2] == -1) return loadKernelFromString(kernel_concatenate2, name, context, device, 8, 0);
    if (inboundNodes[3] == -1) return loadKernelFromString(kernel_concatenate3, name, context, device, 8, 0);
    throw std::runtime_error("Concatenation of more than three inputs");
}

bool NNLayer_Concatenate::calculateOutputSize(NNLayer* inputs[inboundSlots])
{
    if (inputs[0] == nullptr || inputs[1] == nullptr) return false;
    takeInputSizes(*this, inputs);
    outputWidth = sourceWidth;
    outputHeight = sourceHeight;
    outputChannels = inputChannels + inputChannels2 + inputChannels3;
    return true;
}

// ---------------------------------------------------------------- reshape, tile

bool NNLayer_Reshape::loadLayerFromStream(ModelStreamReader& stream, const std::string&, cl_context, cl_device_id,
                                          int32_t kernelDims)
{
    kernelDimensions = kernelDims;
    readTargetShape(*this, stream);
    return true;
}

bool NNLayer_Reshape::loadKernel(cl_context context, cl_device_id device, const std::string& name)
{
    kernelDimensions = kernelDimensionsPlane;
    inPlace = true;
    return loadKernelFromString(kernel_copy, name, context, device, 8, 0);
}

bool NNLayer_Reshape::calculateOutputSize(NNLayer* inputs[inboundSlots])
{
    if (inputs[0] == nullptr) return false;
    outputWidth = targetWidth;
    outputHeight = targetHeight;
    outputChannels = targetChannels;
    inputChannels = inputs[0]->outputChannels;
    sourceWidth = inputs[0]->outputWidth;
    sourceHeight = inputs[0]->outputHeight;
    const int64_t count = inputs[0]->outputElementCount();
    if (outputElementCount() != count) {
        report("Reshape calculateOutputSize error: " + std::to_string(targetWidth) + "x" +
               std::to_string(targetHeight) + "x" + std::to_string(targetChannels) + " != " + std::to_string(count));
        return false;
    }
    return true;
}

bool NNLayer_Tile::loadLayerFromStream(ModelStreamReader& stream, const std::string&, cl_context, cl_device_id,
                                       int32_t kernelDims)
{
    kernelDimensions = kernelDims;
    readTargetShape(*this, stream);
    return true;
}

bool NNLayer_Tile::calculateOutputSize(NNLayer* inputs[inboundSlots])
{
    if (inputs[0] == nullptr) return false;
    inputChannels = inputs[0]->outputChannels;
    sourceWidth = inputs[0]->outputWidth;
    sourceHeight = inputs[0]->outputHeight;
    outputWidth = targetWidth;
    outputHeight = targetHeight;
    outputChannels = targetChannels;
    return inputChannels > 0 && sourceWidth > 0 && sourceHeight > 0;
}

// ---------------------------------------------------------------- transpose

bool NNLayer_Transpose::loadLayerFromStream(ModelStreamReader& stream, const std::string&, cl_context,
                                            cl_device_id, int32_t kernelDims)
{
    kernelDimensions = kernelDims;
    transposeMode = stream.int32();
    return true;
}

bool NNLayer_Transpose::loadKernel(cl_context context, cl_device_id device, const std::string& name)
{
    kernelDimensions = kernelDimensionsPlane;
    // Both modes read the input at other positions than they write, so the
    // output never shares the input's buffer.
    inPlace = false;
    const std::string mode = std::to_string(transposeMode);
    return loadKernelFromString("#define TRANSPOSE_MODE " + mode + "\n" + kernel_transpose + "\n#undef TRANSPOSE_MODE\n",
                                name, context, device, 8, 0);
}

bool NNLayer_Transpose::calculateOutputSize(NNLayer* inputs[inboundSlots])
{
    if (inputs[0] == nullptr) return false;
    const NNLayer& in = *inputs[0];
    sourceWidth = in.outputWidth;
    sourceHeight = in.outputHeight;
    inputChannels = in.outputChannels;
    if (transposeMode == 1) {
        outputWidth = in.outputChannels, outputHeight = in.outputHeight, outputChannels = in.outputWidth;
    } else if (transposeMode == 1000) {
        outputWidth = in.outputWidth, outputHeight = in.outputChannels, outputChannels = in.outputHeight;
    } else {
        report("invalid transpose mode");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- a x + b

bool NNLayer_LinearAXplusB::calculateOutputSize(NNLayer* inputs[inboundSlots])
{
    if (inputs[0] == nullptr) return false;
    inputChannels = inputs[0]->outputChannels;
    sourceWidth = outputWidth = inputs[0]->outputWidth;
    sourceHeight = outputHeight = inputs[0]->outputHeight;
    outputChannels = inputChannels;
    return true;
}

// ---------------------------------------------------------------- global pooling

bool NNLayer_GlobalPooling::loadKernel(cl_context context, cl_device_id device, const std::string& name)
{
    kernelDimensions = kernelDimensionsChannels;
    inPlace = false;
    return loadKernelFromString(is("gmax") ? kernel_global_max_pooling : kernel_global_average_pooling2d, name,
                                context, device, 32, 0);
}

bool NNLayer_GlobalPooling::processImages(NNImage& input, NNImage& output, cl_command_queue queue)
{
    if (input.buffer == output.buffer && !inPlace) report("WARNING!!! Same buffers " + getOperationName());
    cl_kernel kernel = kernels[0];
    bool ok = setBufferArgument(kernel, 0, input.buffer);
    ok = setBufferArgument(kernel, 1, output.buffer) && ok;
    ok = setIntArgument(kernel, 2, inputChannels) && ok;
    ok = setIntArgument(kernel, 3, outputChannels) && ok;
    ok = setIntArgument(kernel, 4, output.width) && ok;
    ok = setIntArgument(kernel, 5, output.height) && ok;
    if (!ok) report("setKernelArg error " + getOperationName());
    ++runCount;
    return ok && executeKernel(output, queue, kernel, 0, kernelDimensions, 0);
}
