#pragma once
// A loaded network: its layers in stream order, their output buffers, the
// one OpenCL program holding all their kernels, and the run over them.

#include <CL/cl.h>

#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "NNInference/NNImage.h"
#include "NNInference/NNLayer.h"

// Version of the model stream read last; layer readers consult it.
extern int32_t globalModelFileVersion;

class NNModel {
public:
    explicit NNModel(NNErrorCallback errorCallback);
    ~NNModel();
    NNModel(const NNModel&) = delete;
    NNModel& operator=(const NNModel&) = delete;

    bool loadModelFromStream(cl_context context, cl_device_id device, std::istream& stream);
    void unload();

    void setInputsSizes(const std::vector<image_sizes>& sizes);
    bool calculateImageSizes(cl_context context, cl_device_id device, int32_t channels);
    void manageColocations();
    int32_t expectedInputChannels() const;

    bool compileKernels(cl_context context, cl_device_id device, bool flag);
    bool createProgram(const std::string& text, cl_context context, cl_device_id device);
    bool loadPrecompiledKernelFromFile(const std::string& path, cl_context context, cl_device_id device);
    bool buildProgram(cl_device_id device);

    bool processImage(cl_command_queue queue, const float* data, bool debug);
    bool process2Inputs(cl_command_queue queue, const float* data1, const float* data2, bool debug);
    bool process3Inputs(cl_command_queue queue, const float* data1, const float* data2, const float* data3,
                        bool debug);
    bool processLayers(cl_command_queue queue, bool debug);

    void setLayerArgumentsFloat(int32_t layer, int32_t index, float value);
    void invalidateLayer(int32_t layer);
    // Every output must be recomputed (new input data).
    void invalidateAllLayers();
    // Bytes of all buffers this model owns, as width x height x channels x 4.
    int64_t allocatedBytes() const;

    std::vector<std::unique_ptr<NNLayer>> layers;
    std::vector<std::unique_ptr<NNImage>> images;
    std::vector<image_sizes> inputSizes;
    int32_t layerCount = 0;
    int32_t timestamp = 0;
    int32_t inputCount = 1;
    int32_t strideOffsetMode = 0;
    int32_t reserved = 0;
    std::vector<int32_t> outputLayers;
    cl_program program = nullptr;
    std::string messagePrefix = "AILayers";
    std::string logFileName;
    NNErrorCallback errorCallback;

    bool allocated = false;
    int32_t allocatedWidth = 0, allocatedHeight = 0;
    int32_t liveBufferCount = 0;
    float totalRunTime = 0.0f;
    // Whether the last program came from the binary cache, and that cache file.
    bool programFromCache = false;
    std::string programCachePath;

    static constexpr const char* buildOptions =
        " -cl-denorms-are-zero -cl-no-signed-zeros -cl-unsafe-math-optimizations -cl-finite-math-only";

private:
    bool readHeader(class ModelStreamReader& reader);
    bool readLayer(class ModelStreamReader& reader, int32_t index, cl_context context, cl_device_id device);
    bool fail(const std::string& message);
    void log(const std::string& line) const;
    bool sizeLayer(int32_t index, int32_t& inputIndex, cl_context context, int32_t channels);
    bool applyGenericSizeRule(NNLayer& layer, NNLayer* inputs[inboundSlots], int32_t index, cl_context context);
    int32_t ownerOf(int32_t layer) const;
    bool chainIsFree(int32_t layer) const;
    void shareBuffer(int32_t index, int32_t with);
    std::string cachePathFor(const std::string& text, cl_device_id device) const;
    void reportBuildLog(cl_device_id device);
    void releaseProgram();
    void invalidateFrom(int32_t layer, std::vector<bool>& visited);

    std::vector<std::string> templateSources_;
};
