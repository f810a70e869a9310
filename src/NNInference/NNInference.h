#pragma once
// The inference engine of one network: the OpenCL device, context and queue
// it runs on, the loaded model, and the prediction entry points with their
// run-time override tables.

#include <CL/cl.h>

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "NNInference/NNModel.h"
#include "NNInference/OpenCLDevices.h"
#include "image/image_template.h"

class NNInference {
public:
    NNInference();
    ~NNInference();
    NNInference(const NNInference&) = delete;
    NNInference& operator=(const NNInference&) = delete;

    bool getOpenCLDeviceList(std::vector<DEVICES>& list, int32_t platformSkipMask);
    bool initialize(int32_t deviceIndex, bool logging, const std::string& engineName, int32_t platformSkipMask);
    std::string getNNEngineInformation(int32_t* deviceCountOut = nullptr) const;

    bool loadModelFromMemory(const void* data, size_t size);
    bool allocate(int32_t width, int32_t height, int32_t channels);
    bool allocateDifferentSizes(const std::vector<image_sizes>& sizes, bool flag);

    float* predict(const float* data, int32_t width, int32_t height, int32_t channels, bool debug = false);
    float* predict2Inputs(const image_template<float>& first, const float* second, bool debug = false);
    float* predict3Inputs(const image_template<float>& first, const image_template<float>& second,
                          const image_template<float>& third, bool debug = false);
    void setArgumentsToModel();

    void NNreportError(const std::string& message);
    const std::string& getErrorText() const { return errorText; }
    void clearErrorText() { errorText.clear(); }
    bool hasModel() const { return modelLoaded; }
    // New input data: every layer runs again at the next prediction.
    void invalidateCache() { model.invalidateAllLayers(); }

    bool initialized = false;
    bool logging = false;
    cl_context context = nullptr;
    cl_command_queue queue = nullptr;
    cl_platform_id platforms[5] = {};
    cl_device_id device = nullptr;
    std::string deviceDescription;
    std::string engineInformation;
    std::string errorText;
    std::string engineName;
    int32_t deviceCount = 0;

    NNModel model;

    std::map<int32_t, float> floatArguments;
    std::map<int32_t, int32_t> switchArguments;
    std::unordered_map<int32_t, int32_t> inboundOverrides;
    std::unordered_map<int32_t, bool> disabledLayers;

private:
    void log(const std::string& line) const;
    void appendError(const std::string& message);
    bool checkInputChannels(int32_t channels, const char* message);
    float* finishPrediction(bool processed);
    void applyOverrides();
    bool sameShapeSource(int32_t current, int32_t replacement, int32_t layer) const;
    void releaseContext();

    bool modelLoaded = false;
};
