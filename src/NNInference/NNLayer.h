#pragma once
// One layer of a loaded network: its settings from the model stream, its
// weights (host copies and device buffers), its OpenCL kernel text and
// kernels, and the bookkeeping of sizes, buffer sharing and run statistics.

#include <CL/cl.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class ModelStreamReader;
class NNImage;

struct image_sizes {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;
};

// Shape of the work grid a kernel is launched over.
enum kernelDimensionsEnum : int32_t {
    kernelDimensionsUnset = -2,
    kernelDimensionsChannelsPlane = -1, // channels x width x height
    kernelDimensionsSingle = 0,         // one work item
    kernelDimensionsColumns = 1,        // image width
    kernelDimensionsPlane = 2,          // width x height
    kernelDimensionsPlaneChannels = 3,  // width x height x channels
    kernelDimensionsChannels = 4,       // output channels
    kernelDimensionsRows = 5,           // image height
    kernelDimensionsPlaneBlocks = 6,    // (width / 4 rounded up) x height: four pixels per work item
};

using NNErrorCallback = std::function<void(const std::string&)>;

// A four-character code as the int32 whose stream bytes are its characters.
constexpr int32_t fourCC(const char (&code)[5])
{
    return int32_t(uint32_t(uint8_t(code[0])) | uint32_t(uint8_t(code[1])) << 8 | uint32_t(uint8_t(code[2])) << 16 |
                   uint32_t(uint8_t(code[3])) << 24);
}

// The text form of a code: its bytes up to the first zero byte.
std::string getOperationName(int32_t code);

// Replaces every occurrence of `from`, continuing after each replacement.
void replaceAll(std::string& text, const std::string& from, const std::string& to);

// The largest local width not above `hint` that divides the global width, so
// that grids stay exactly the output size; 0 (no local size) stays 0.
size_t localWidthDividing(size_t globalWidth, size_t hint);

constexpr int inboundSlots = 10;
constexpr int maxLayerKernels = 7;

class NNLayer {
public:
    explicit NNLayer(int32_t type);
    virtual ~NNLayer();
    NNLayer(const NNLayer&) = delete;
    NNLayer& operator=(const NNLayer&) = delete;

    // The four operations that layer kinds specialise, in this order.
    virtual bool loadLayerFromStream(ModelStreamReader& stream, const std::string& name, cl_context context,
                                     cl_device_id device, int32_t kernelDims);
    virtual bool loadKernel(cl_context context, cl_device_id device, const std::string& name);
    virtual bool calculateOutputSize(NNLayer* inputs[inboundSlots]);
    virtual bool processImages(NNImage& input, NNImage& output, cl_command_queue queue);

    bool processImages2Inputs(NNImage& input1, NNImage& input2, NNImage& output, cl_command_queue queue);
    bool processImages3Inputs(NNImage& input1, NNImage& input2, NNImage& input3, NNImage& output,
                              cl_command_queue queue);
    bool processImagesGroupNorm(NNImage& input, NNImage& output, cl_command_queue queue);
    bool executeKernel(const NNImage& image, cl_command_queue queue, cl_kernel kernel, int32_t localX,
                       int32_t dimensions, int32_t localY = 0);

    bool loadKernelFromString(const std::string& text, const std::string& name, cl_context context,
                              cl_device_id device, int32_t localX, int32_t localY);
    bool applyMacros(bool strideOffsetFlag);
    std::string getActivationFunctionName() const;
    bool createKernel(const std::string& name, cl_context context, cl_device_id device, cl_program program);
    std::string getOperationName() const { return ::getOperationName(type); }

    // Checks that the input layers can feed this layer's kernels without
    // reading past their buffers; reports and returns false otherwise.
    virtual bool validateInputs(NNLayer* inputs[inboundSlots]);
    // Creates the group-normalisation scratch buffers for the current sizes.
    bool createGroupNormBuffers(cl_context context);
    void releaseGroupNormBuffers();

    int64_t outputElementCount() const { return int64_t(outputWidth) * outputHeight * outputChannels; }
    bool is(const char (&code)[5]) const { return type == fourCC(code); }

    int32_t type = 0;
    int32_t activation = fourCC("line");
    std::array<int32_t, inboundSlots> inboundNodes;
    int32_t filterWidth = 0, filterHeight = 0;
    int32_t inputChannels = 0, inputChannels2 = 0, inputChannels3 = 0;
    int32_t sourceWidth = 0, sourceHeight = 0;
    int32_t outputWidth = 0, outputHeight = 0, outputChannels = 0;
    int32_t strides = 1;
    int32_t dilation = 1;
    int32_t targetWidth = 1, targetHeight = 1, targetChannels = 1;
    int32_t poolSize = 0;
    int32_t groupNum = 0;
    int32_t weightsCount = 0, pointwiseWeightsCount = 0, biasesCount = 0;
    int32_t kernelDimensions = kernelDimensionsUnset;
    int32_t consumerCount = 0, readCount = 0;
    int32_t colocationIndex = -1;
    int32_t startChannel = 0;
    std::vector<float> parameters;
    int32_t switchMode = 0;
    bool cacheValid = false, isOutput = false, disabled = false;
    int32_t medianCoef = 256;
    bool inPlace = false;
    std::vector<float> weights, pointwiseWeights, biases;
    cl_mem weightsBuffer = nullptr, pointwiseWeightsBuffer = nullptr, biasesBuffer = nullptr;
    cl_mem groupNormColumnSums = nullptr, groupNormChannelVector = nullptr;
    std::vector<float> groupNormColumnSumsHost, groupNormChannelVectorHost;
    cl_kernel kernels[maxLayerKernels] = {};
    std::string source;
    int32_t kernelCount = 1;
    int32_t localWorkSize[2] = {16, 1};
    int32_t runCount = 0;
    float runTime = 0.0f;
    NNErrorCallback errorCallback;

protected:
    // Uploads the non-empty weight lists; raises "Failed to init layer" when
    // there is nothing to upload or the last upload failed.
    void uploadWeights(cl_context context, const char* file, int lineWeights, int lineBiases);
    void readConvolutionBlock(ModelStreamReader& stream, cl_context context);
    void readPooling(ModelStreamReader& stream);
    void readGroupNorm(ModelStreamReader& stream, cl_context context);
    cl_mem uploadList(cl_context context, const std::vector<float>& values, const char* file, int line,
                      bool& failed);
    bool setBufferArgument(cl_kernel kernel, cl_uint index, cl_mem buffer);
    bool setIntArgument(cl_kernel kernel, cl_uint index, int32_t value);
    bool setFloatArgument(cl_kernel kernel, cl_uint index, float value);
    void report(const std::string& message) const;
};
