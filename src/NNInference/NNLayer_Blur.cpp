#include "NNInference/NNLayer_Blur.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "NNInference/KernelTemplates.h"
#include "NNInference/ModelStreamReader.h"
#include "NNInference/NNImage.h"
#include "NNInference/OpenCLErrors.h"

namespace {

// The program is built for finite arithmetic only, so coefficients that would
// be infinite (a zero threshold) are passed as a large finite value instead.
constexpr float largeFinite = 1e30f;

// Feedback coefficient of the recursive blur: s = 0 keeps the input almost
// unchanged, larger strengths smooth more.
float recursiveBlurCoefficient(float strength)
{
    const double k = std::tan((std::numbers::pi / 2.0) / (0.7 * double(strength) + 1.0));
    return float(std::isfinite(k) && k >= 0.0 ? std::min(0.9999, k) : 0.9999);
}

float finiteOrLarge(double value)
{
    return std::isfinite(value) ? float(std::min(value, double(largeFinite))) : largeFinite;
}

} // namespace

bool NNLayer_SwitchableBlur::loadLayerFromStream(ModelStreamReader& stream, const std::string&, cl_context,
                                                 cl_device_id, int32_t kernelDims)
{
    kernelDimensions = kernelDims;
    parameters.push_back(stream.float32());
    parameters.push_back(stream.float32());
    return true;
}

bool NNLayer_SwitchableBlur::loadKernel(cl_context context, cl_device_id device, const std::string& name)
{
    kernelDimensions = kernelDimensionsPlane;
    inPlace = is("IIRB");
    struct Variant {
        const char* text;
        int32_t localX;
    };
    const Variant blur[] = {{kernel_iir_blur_horizontal, 32}, {kernel_iir_blur_vertical, 32}};
    const Variant chain[] = {{kernel_iir_blur_horizontal, 32}, {kernel_iir_blur_vertical, 32},
                             {kernel_bilateral_filter, 16},    {kernel_median_filter, 32},
                             {kernel_rgb2yuv, 32},             {kernel_median_luma_filter, 32},
                             {kernel_yuv2rgb, 32}};
    const Variant* variants = inPlace ? blur : chain;
    const int count = inPlace ? 2 : 7;
    for (int k = 0; k < count; ++k)
        loadKernelFromString(variants[k].text, name + "_" + std::to_string(k), context, device, variants[k].localX, 1);
    return true;
}

bool NNLayer_SwitchableBlur::processImages(NNImage& input, NNImage& output, cl_command_queue queue)
{
    bool ran = false;
    switch (is("SBlu") ? switchMode : recursiveBlur) {
    case bilateral: ran = runBilateral(input, output, queue); break;
    case median: ran = runMedian(input, output, queue); break;
    case medianLuma: ran = runMedianLuma(input, output, queue); break;
    default: ran = runRecursiveBlur(input, output, queue); break;
    }
    ++runCount;
    if (ran) ++executionCount;
    return ran;
}

bool NNLayer_SwitchableBlur::setArguments(Slot slot, std::initializer_list<cl_mem> buffers,
                                          std::initializer_list<int32_t> ints, std::initializer_list<float> floats)
{
    cl_kernel kernel = kernels[slot];
    cl_uint index = 0;
    bool ok = true;
    for (cl_mem buffer : buffers)
        ok = oclCheck(clSetKernelArg(kernel, index++, sizeof(cl_mem), &buffer), "NNLayer_Blur", 70) && ok;
    for (int32_t value : ints) {
        const cl_int argument = value;
        ok = oclCheck(clSetKernelArg(kernel, index++, sizeof(cl_int), &argument), "NNLayer_Blur", 73) && ok;
    }
    for (float value : floats) {
        const cl_float argument = value;
        ok = oclCheck(clSetKernelArg(kernel, index++, sizeof(cl_float), &argument), "NNLayer_Blur", 77) && ok;
    }
    return ok;
}

bool NNLayer_SwitchableBlur::enqueue(Slot slot, const NNImage& image, int32_t dimensions, int32_t localX,
                                     const char* failure, cl_command_queue queue)
{
    if (executeKernel(image, queue, kernels[slot], localX, dimensions, 1)) return true;
    report(failure);
    return false;
}

// Rows from the input into the output, then columns in place in the output.
bool NNLayer_SwitchableBlur::runRecursiveBlur(NNImage& input, NNImage& output, cl_command_queue queue)
{
    const float k = recursiveBlurCoefficient(parameter(0));
    const float threshold = parameter(1);
    bool ok = setArguments(blurRows, {input.buffer, output.buffer}, {inputChannels, outputChannels, input.width},
                           {k, threshold});
    ok = setArguments(blurColumns, {output.buffer, output.buffer}, {inputChannels, outputChannels, input.height},
                      {k, threshold}) && ok;
    return enqueue(blurRows, output, kernelDimensionsRows, 32, "Execute kernel in IIRBlurHorizontal error", queue) &&
           enqueue(blurColumns, output, kernelDimensionsColumns, 32, "Execute kernel in IIRBlurVertical error",
                   queue) &&
           ok;
}

bool NNLayer_SwitchableBlur::runBilateral(NNImage& input, NNImage& output, cl_command_queue queue)
{
    const float sigma = parameter(0) * 0.5f;
    const double edge = double(parameter(1));
    const float invEdgeThreshold = finiteOrLarge(0.01 / (edge * edge));
    const bool ok = setArguments(bilateralSlot, {input.buffer, output.buffer},
                                 {inputChannels, outputChannels, output.width, output.height},
                                 {sigma, invEdgeThreshold});
    return enqueue(bilateralSlot, output, kernelDimensionsPlane, 16, "Execute kernel in bilateral error", queue) && ok;
}

bool NNLayer_SwitchableBlur::runMedian(NNImage& input, NNImage& output, cl_command_queue queue)
{
    const float radius = std::max(1.0f, parameter(0));
    const float threshold = float(medianCoef) * parameter(1);
    const bool ok = setArguments(medianSlot, {input.buffer, output.buffer}, {inputChannels, outputChannels, output.width},
                                 {radius, threshold});
    return enqueue(medianSlot, output, kernelDimensionsRows, 32, "Execute kernel in median error", queue) && ok;
}

// The input is converted to YUV in place for the luma median and converted
// back afterwards, so other readers of the input see it (almost) unchanged.
bool NNLayer_SwitchableBlur::runMedianLuma(NNImage& input, NNImage& output, cl_command_queue queue)
{
    const float radius = std::max(1.0f, parameter(0));
    const float threshold = float(medianCoef) * parameter(1);
    bool ok = setArguments(toYuv, {input.buffer, input.buffer}, {}, {});
    ok = setArguments(medianLumaSlot, {input.buffer, output.buffer}, {inputChannels, outputChannels, output.width},
                      {radius, threshold}) && ok;
    if (!ok) return false;
    if (!enqueue(toYuv, input, kernelDimensionsPlane, 32, "Execute kernel in RGB2YUV error", queue)) return false;
    const bool filtered =
        enqueue(medianLumaSlot, output, kernelDimensionsRows, 32, "Execute kernel in median error", queue);
    // The input goes back to RGB even when the median failed.
    const bool inputBack = setArguments(toRgb, {input.buffer, input.buffer}, {}, {}) &&
                           enqueue(toRgb, input, kernelDimensionsPlane, 32, "Execute kernel in YUV2RGB error", queue);
    if (!filtered || !inputBack) return false;
    return setArguments(toRgb, {output.buffer, output.buffer}, {}, {}) &&
           enqueue(toRgb, output, kernelDimensionsPlane, 32, "Execute kernel in YUV2RGB2 error", queue);
}
