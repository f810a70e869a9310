#pragma once
// Classical image filters inside a network: the recursive edge-limited blur
// ("IIRB") and the switchable denoise chain ("SBlu": that blur, a bilateral
// filter, or a histogram median on all channels or on luma only). The mode and
// the two settings are read at every run, so callers retune them between runs
// without rebuilding the program.

#include <initializer_list>

#include "NNInference/NNLayer.h"

class NNLayer_SwitchableBlur : public NNLayer {
public:
    using NNLayer::NNLayer;
    bool loadLayerFromStream(ModelStreamReader& stream, const std::string& name, cl_context context,
                             cl_device_id device, int32_t kernelDims) override;
    bool loadKernel(cl_context context, cl_device_id device, const std::string& name) override;
    bool processImages(NNImage& input, NNImage& output, cl_command_queue queue) override;

    // Switch values of "SBlu"; any other value runs the recursive blur.
    enum Mode : int32_t { recursiveBlur = 0, bilateral = 1, median = 2, medianLuma = 3 };
    // Successful runs, whatever the mode.
    int32_t executionCount = 0;

private:
    // Kernel slots, in the order their names carry.
    enum Slot { blurRows = 0, blurColumns = 1, bilateralSlot = 2, medianSlot = 3, toYuv = 4, medianLumaSlot = 5,
                toRgb = 6 };

    bool runRecursiveBlur(NNImage& input, NNImage& output, cl_command_queue queue);
    bool runBilateral(NNImage& input, NNImage& output, cl_command_queue queue);
    bool runMedian(NNImage& input, NNImage& output, cl_command_queue queue);
    bool runMedianLuma(NNImage& input, NNImage& output, cl_command_queue queue);
    // Sets the arguments in order: buffers, then ints, then floats. Every
    // failure is reported; the result is false if any setting failed.
    bool setArguments(Slot slot, std::initializer_list<cl_mem> buffers, std::initializer_list<int32_t> ints,
                      std::initializer_list<float> floats);
    bool enqueue(Slot slot, const NNImage& image, int32_t dimensions, int32_t localX, const char* failure,
                 cl_command_queue queue);
    float parameter(size_t index) const { return index < parameters.size() ? parameters[index] : 0.0f; }
};
