#include "NNInference/NNLayer_Blur.h"

#include "NNInference/ModelStreamReader.h"

bool NNLayer_SwitchableBlur::loadLayerFromStream(ModelStreamReader& stream, const std::string&, cl_context,
                                                 cl_device_id, int32_t kernelDims)
{
    kernelDimensions = kernelDims;
    parameters.push_back(stream.float32());
    parameters.push_back(stream.float32());
    return true;
}

bool NNLayer_SwitchableBlur::loadKernel(cl_context, cl_device_id, const std::string&)
{
    kernelDimensions = kernelDimensionsPlane;
    inPlace = is("IIRB");
    // The filter kernels of these layers are not part of this engine yet; the
    // model loads and its compilation then names the layer.
    report("kernel not found " + getOperationName() + "\n");
    return false;
}

bool NNLayer_SwitchableBlur::processImages(NNImage&, NNImage&, cl_command_queue)
{
    return false;
}
