#include "NNInference/NNLayer_NonLinear.h"

#include <stdexcept>

#include "NNInference/KernelTemplates.h"
#include "NNInference/ModelStreamReader.h"
#include "NNInference/NNImage.h"
#include "NNInference/OpenCLErrors.h"

bool NNLayer_NonLinear::calculateOutputSize(NNLayer* inputs[inboundSlots])
{
    if (inputs[0] == nullptr) return false;
    inputChannels = inputs[0]->outputChannels;
    sourceWidth = outputWidth = inputs[0]->outputWidth;
    sourceHeight = outputHeight = inputs[0]->outputHeight;
    outputChannels = inputChannels;
    return true;
}

bool NNLayer_SwitchableNonLinear::loadLayerFromStream(ModelStreamReader& stream, const std::string&, cl_context,
                                                      cl_device_id, int32_t kernelDims)
{
    kernelDimensions = kernelDims;
    switchMode = stream.int32();
    return true;
}

bool NNLayer_SwitchableNonLinear::loadKernel(cl_context context, cl_device_id device, const std::string& name)
{
    kernelDimensions = kernelDimensionsPlane;
    inPlace = true;
    loadKernelFromString(kernel_copy, name + "_0", context, device, 32, 1);
    loadKernelFromString(kernel_activation_log, name + "_1", context, device, 32, 1);
    return loadKernelFromString(kernel_activation_exp, name + "_2", context, device, 32, 1);
}

bool NNLayer_SwitchableNonLinear::processImages(NNImage& input, NNImage& output, cl_command_queue queue)
{
    if (switchMode < 0 || switchMode > 2) throw std::runtime_error("Switchable NonLin invalid settings");
    if (switchMode == 0 && input.buffer == output.buffer) return true;
    cl_kernel kernel = kernels[switchMode];
    bool ok = true;
    const cl_mem buffers[2] = {input.buffer, output.buffer};
    for (cl_uint k = 0; k < 2; ++k)
        ok = oclCheck(clSetKernelArg(kernel, k, sizeof(cl_mem), &buffers[k]), "NNLayer_NonLinear", 60) && ok;
    const cl_int ints[3] = {inputChannels, outputChannels, output.width};
    for (cl_uint k = 0; k < 3; ++k)
        ok = oclCheck(clSetKernelArg(kernel, k + 2, sizeof(cl_int), &ints[k]), "NNLayer_NonLinear", 64) && ok;
    ++runCount;
    return executeKernel(output, queue, kernel, 0, kernelDimensionsPlane, 0) && ok;
}

bool NNLayer_Clip::loadLayerFromStream(ModelStreamReader& stream, const std::string&, cl_context, cl_device_id,
                                       int32_t kernelDims)
{
    kernelDimensions = kernelDims;
    clipMin = stream.float32();
    clipMax = stream.float32();
    return true;
}

bool NNLayer_Clip::loadKernel(cl_context context, cl_device_id device, const std::string& name)
{
    kernelDimensions = kernelDimensionsPlane;
    inPlace = true;
    return loadKernelFromString(kernel_activation_clip, name, context, device, 0, 0);
}
