#include "NNInference/NNLayer.h"

#include <algorithm>
#include <stdexcept>

#include "NNInference/KernelTemplates.h"
#include "NNInference/ModelStreamReader.h"
#include "NNInference/NNImage.h"
#include "NNInference/NNModel.h"
#include "NNInference/OpenCLErrors.h"
#include "ailayers/DiagnosticsLog.h"

namespace {

// Sanity limits on values read from a stream; real networks stay far below.
constexpr int32_t maxChannels = 1 << 16;
constexpr int32_t maxFilterSize = 255;
constexpr int32_t maxStep = 64;
// The separable kernel keeps one private sum per input channel.
constexpr int32_t maxSeparableChannels = 1024;

int32_t checkedField(int32_t value, int32_t low, int32_t high, const char* what)
{
    if (value < low || value > high)
        throw std::runtime_error(std::string("Invalid ") + what + ": " + std::to_string(value));
    return value;
}

// The device copy of a convolution's weights keeps all output channels of one
// tap and input channel together: (row, column, input, output).
std::vector<float> outputChannelsInnermost(const std::vector<float>& weights, int32_t outputs, int64_t perOutput)
{
    std::vector<float> packed(weights.size());
    for (int64_t o = 0; o < outputs; ++o)
        for (int64_t k = 0; k < perOutput; ++k) packed[k * outputs + o] = weights[o * perOutput + k];
    return packed;
}

} // namespace

size_t localWidthDividing(size_t globalWidth, size_t hint)
{
    if (hint == 0) return 0;
    while (hint > 1 && globalWidth % hint != 0) --hint;
    return hint;
}

std::string getOperationName(int32_t code)
{
    std::string name;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((static_cast<uint32_t>(code) >> shift) & 0xff);
        if (c == '\0') break;
        name += c;
    }
    return name;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to)
{
    if (from.empty()) return;
    size_t position = 0;
    while ((position = text.find(from, position)) != std::string::npos) {
        text.replace(position, from.size(), to);
        position += to.size();
    }
}

NNLayer::NNLayer(int32_t layerType) : type(layerType), errorCallback(errorCallbackConsole)
{
    inboundNodes.fill(-1);
    if (is("IIRB")) kernelCount = 2;
    else if (is("SwNL")) kernelCount = 3;
    else if (is("SBlu")) kernelCount = 7;
}

NNLayer::~NNLayer()
{
    for (cl_kernel& kernel : kernels)
        if (kernel != nullptr) clReleaseKernel(kernel);
    for (cl_mem buffer : {weightsBuffer, pointwiseWeightsBuffer, biasesBuffer})
        if (buffer != nullptr) clReleaseMemObject(buffer);
    releaseGroupNormBuffers();
}

void NNLayer::report(const std::string& message) const
{
    if (errorCallback) errorCallback(message);
}

// ---------------------------------------------------------------- reading

bool NNLayer::loadLayerFromStream(ModelStreamReader& stream, const std::string&, cl_context context, cl_device_id,
                                  int32_t kernelDims)
{
    kernelDimensions = kernelDims;
    if (is("inpu")) {
        const int32_t channels = globalModelFileVersion >= 4 ? checkedField(stream.int32(), 0, maxChannels, "channels")
                                                             : 3;
        outputChannels = inputChannels = channels;
    } else if (is("co2d") || is("depw") || is("sepa")) {
        readConvolutionBlock(stream, context);
    } else if (is("maxp") || is("avg2")) {
        readPooling(stream);
    } else if (is("grpn")) {
        readGroupNorm(stream, context);
    } else if (is("spli")) {
        startChannel = checkedField(stream.int32(), 0, maxChannels, "start channel");
        const int32_t endChannel = checkedField(stream.int32(), 0, maxChannels, "end channel");
        outputChannels = endChannel - startChannel;
    } else if (is("Satu")) {
        parameters.push_back(stream.float32());
    } else if (is("AX+B")) {
        parameters.push_back(stream.float32());
        parameters.push_back(stream.float32());
    }
    return true;
}

void NNLayer::readConvolutionBlock(ModelStreamReader& stream, cl_context context)
{
    stream.int32();
    strides = checkedField(stream.int32(), 1, maxStep, "strides");
    if (globalModelFileVersion >= 2) {
        stream.int32();
        dilation = checkedField(stream.int32(), 1, maxStep, "dilation");
    }
    activation = stream.int32();
    outputChannels = checkedField(stream.int32(), 0, maxChannels, "output channels");
    filterWidth = checkedField(stream.int32(), 0, maxFilterSize, "filter width");
    filterHeight = checkedField(stream.int32(), 0, maxFilterSize, "filter height");
    inputChannels = checkedField(stream.int32(), 0, maxChannels, "input channels");

    const bool separable = is("sepa");
    const int64_t perOutput = int64_t(filterHeight) * filterWidth * inputChannels;
    weights = stream.floats(separable ? perOutput : perOutput * outputChannels, "weights");
    weightsCount = static_cast<int32_t>(weights.size());
    if (is("depw")) outputChannels = inputChannels;
    if (separable) {
        const int32_t depthwiseChannels = inputChannels;
        outputChannels = checkedField(stream.int32(), 0, maxChannels, "output channels");
        for (int k = 0; k < 3; ++k) inputChannels = checkedField(stream.int32(), 0, maxChannels, "input channels");
        if (inputChannels != depthwiseChannels)
            throw std::runtime_error("Separable layer: pointwise input channels " + std::to_string(inputChannels) +
                                     " != depthwise channels " + std::to_string(depthwiseChannels));
        if (inputChannels > maxSeparableChannels)
            throw std::runtime_error("Separable layer: more than " + std::to_string(maxSeparableChannels) +
                                     " input channels");
        pointwiseWeights = stream.floats(int64_t(inputChannels) * outputChannels, "pointwise weights");
        pointwiseWeightsCount = static_cast<int32_t>(pointwiseWeights.size());
    }
    biasesCount = stream.int32();
    biases = stream.floats(biasesCount, "biases");
    uploadWeights(context, "NNLayer", 451, 461);
}

void NNLayer::readPooling(ModelStreamReader& stream)
{
    stream.int32();
    strides = checkedField(stream.int32(), 1, maxStep, "strides");
    stream.int32();
    poolSize = checkedField(stream.int32(), 0, maxStep, "pool size");
}

void NNLayer::readGroupNorm(ModelStreamReader& stream, cl_context context)
{
    groupNum = checkedField(stream.int32(), 0, maxChannels, "group count");
    const int32_t scales = stream.int32();
    weights = stream.floats(scales, "group norm scales", maxChannels);
    inputChannels = scales;
    weightsCount = scales;
    const int32_t shifts = stream.int32();
    biases = stream.floats(shifts, "group norm shifts", maxChannels);
    outputChannels = shifts;
    biasesCount = shifts;
    bool failed = false;
    weightsBuffer = uploadList(context, weights, "NNLayer", 451, failed);
    biasesBuffer = uploadList(context, biases, "NNLayer", 461, failed);
    if (failed) throw std::runtime_error("Failed to init layer");
}

cl_mem NNLayer::uploadList(cl_context context, const std::vector<float>& values, const char* file, int line,
                           bool& failed)
{
    if (values.empty()) return nullptr;
    cl_int status = CL_SUCCESS;
    cl_mem buffer = clCreateBuffer(context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, values.size() * sizeof(float),
                                   const_cast<float*>(values.data()), &status);
    failed = !oclCheck(status, file, line);
    return failed ? nullptr : buffer;
}

void NNLayer::uploadWeights(cl_context context, const char* file, int lineWeights, int lineBiases)
{
    if (weights.empty() && pointwiseWeights.empty() && biases.empty()) throw std::runtime_error("Failed to init layer");
    // Kernels always read one bias per output channel; a layer trained
    // without biases gets zeros rather than a missing kernel argument.
    if (biases.empty()) biases.assign(static_cast<size_t>(outputChannels), 0.0f);
    bool failed = false;
    if (is("co2d") && !weights.empty()) {
        const int64_t perOutput = int64_t(filterHeight) * filterWidth * inputChannels;
        weightsBuffer = uploadList(context, outputChannelsInnermost(weights, outputChannels, perOutput), file,
                                   lineWeights, failed);
    } else {
        weightsBuffer = uploadList(context, weights, file, lineWeights, failed);
    }
    if (!pointwiseWeights.empty()) pointwiseWeightsBuffer = uploadList(context, pointwiseWeights, file, 456, failed);
    biasesBuffer = uploadList(context, biases, file, lineBiases, failed);
    if (failed) throw std::runtime_error("Failed to init layer");
}

// ---------------------------------------------------------------- kernel text

bool NNLayer::loadKernelFromString(const std::string& text, const std::string& name, cl_context, cl_device_id,
                                   int32_t localX, int32_t localY)
{
    if (localX > 0) localWorkSize[0] = localX;
    if (localY > 0) localWorkSize[1] = localY;
    source += text;
    source += "\n";
    replaceAll(source, "KERNEL_NAME", name);
    return true;
}

bool NNLayer::loadKernel(cl_context context, cl_device_id device, const std::string& name)
{
    kernelDimensions = kernelDimensionsPlane;
    auto load = [&](const char* text, int32_t localX, bool runsInPlace) {
        inPlace = runsInPlace;
        return loadKernelFromString(text, name, context, device, localX, 0);
    };
    if (is("inpu") || is("none")) return true;
    if (is("co2d")) {
        const bool pointwise = filterWidth == 1 && filterHeight == 1;
        const bool ok = load(pointwise ? kernel_point_wise_conv : kernel_conv2dt, 32, false);
        // The vector template computes four pixels per work item, channels as
        // vectors of 16, 8 or 4.
        if (!pointwise && outputChannels % 4 == 0) kernelDimensions = kernelDimensionsPlaneBlocks;
        return ok;
    }
    if (is("depw")) return load(kernel_depth_wise_conv, 0, false);
    if (is("sepa")) return load(kernel_separableconv, 32, false);
    if (is("maxp")) return load(kernel_max_pooling, 0, false);
    if (is("avg2")) {
        if (strides == 2) return load(kernel_average_pooling, 0, false);
        if (strides == 1) return load(poolSize == 3 ? kernel_average_pooling_3x3strides1
                                                     : kernel_average_pooling_strides1, 0, false);
        report("kernel not found " + getOperationName() + "\n");
        return false;
    }
    if (is("ups2")) return load(kernel_upsampling2d, 0, false);
    if (is("upsb")) return load(kernel_upsamplingbilinear2d, 0, false);
    if (is("relu")) return load(kernel_activation_relu, 0, true);
    if (is("elu ")) return load(kernel_activation_elu, 0, true);
    if (is("lre1")) return load(kernel_activation_leakyrelu1, 0, true);
    if (is("lre3")) return load(kernel_activation_leakyrelu3, 0, true);
    if (is("mult")) return load(kernel_mult, 8, true);
    if (is("spli")) return load(kernel_split, 32, false);
    if (is("Tile")) return load(kernel_tile, 32, false);
    if (is("AX+B")) return load(kernel_linear_axplusb, 32, true);
    if (is("Satu")) return load(kernel_saturation, 32, true);
    if (is("grpn")) {
        inPlace = true;
        const struct {
            const char* variant;
            const char* text;
            int32_t localX;
        } pieces[6] = {{"SUM", kernel_groupnorm, 0},          {"PLUS", kernel_matrix_vector, 0},
                       {"SQUARE", kernel_groupnorm, 8},       {"MULTIPLY", kernel_matrix_vector, 8},
                       {"AVERAGE", kernel_groupnorm_step2, 0}, {"DEVIATION", kernel_groupnorm_step2, 0}};
        for (int k = 0; k < 6; ++k) {
            const std::string variant = pieces[k].variant;
            loadKernelFromString("#define " + variant + " 1\n" + pieces[k].text + "\n#undef " + variant + "\n",
                                 name + "_" + std::to_string(k), context, device, pieces[k].localX, 0);
        }
        return true;
    }
    report("kernel not found " + getOperationName() + "\n");
    return false;
}

std::string NNLayer::getActivationFunctionName() const
{
    if (activation == fourCC("line")) return "activationLinear";
    if (activation == fourCC("relu")) return "activationRelu";
    if (activation == fourCC("elu ")) return "activationElu";
    if (activation == fourCC("lre1")) return "activationLeakyRelu1";
    if (activation == fourCC("lre3")) return "activationLeakyRelu3";
    if (activation == fourCC("sigm")) return "activationSigmoid";
    report("No activation functions found!\n");
    return ::getOperationName(activation);
}

bool NNLayer::applyMacros(bool strideOffsetFlag)
{
    if (is("none") || is("inpu")) return true;
    if (source.empty()) {
        report("No kernel source for layer " + getOperationName());
        return false;
    }
    if (strideOffsetFlag) replaceAll(source, "+(STRIDES/2)", "+((STRIDES-(FILTER_WIDTH%2))/2)");
    if (inputChannels % 4 == 0) {
        replaceAll(source, "INPUT_CHANNELS_T", std::to_string(inputChannels / 4));
        replaceAll(source, "INPUTS_4", "TRUE");
    } else {
        replaceAll(source, "INPUT_CHANNELS_T", std::to_string(inputChannels));
    }
    const std::pair<const char*, int32_t> numbers[] = {
        {"INPUT_CHANNELS_1", inputChannels},       {"INPUT_CHANNELS_2", inputChannels2},
        {"INPUT_CHANNELS_3", inputChannels3},      {"OUTPUT_CHANNELS", outputChannels},
        {"SOURCE_IMAGE_1_WIDTH", sourceWidth},     {"SOURCE_IMAGE_1_HEIGHT", sourceHeight},
        {"STRIDES", strides},                      {"DILATION_RATE", dilation},
        {"FILTER_WIDTH", filterWidth},             {"FILTER_HEIGHT", filterHeight},
        {"HALF_WIDTH_CEIL", filterWidth / 2},      {"HALF_HEIGHT_CEIL", filterHeight / 2},
        {"HALF_WIDTH_FLOOR", (filterWidth - 1) / 2}, {"HALF_HEIGHT_FLOOR", (filterHeight - 1) / 2},
    };
    for (const auto& [word, value] : numbers) replaceAll(source, word, std::to_string(value));
    replaceAll(source, "ACTIVATION", getActivationFunctionName());
    replaceAll(source, "MEDIANCOEF", std::to_string(medianCoef));
    return true;
}

bool NNLayer::createKernel(const std::string& name, cl_context, cl_device_id, cl_program program)
{
    if (is("inpu")) {
        kernels[0] = nullptr;
        return true;
    }
    if (is("grpn")) kernelCount = 6;
    else if (is("spli")) kernelCount = 1;
    if (kernelCount < 1) return true;
    bool created = false;
    for (int k = 0; k < kernelCount && k < maxLayerKernels; ++k) {
        const std::string kernelName = kernelCount == 1 ? name : name + "_" + std::to_string(k);
        cl_int status = CL_SUCCESS;
        if (kernels[k] != nullptr) clReleaseKernel(kernels[k]);
        kernels[k] = clCreateKernel(program, kernelName.c_str(), &status);
        created = oclCheck(status, "NNLayer", 291);
        if (!created) kernels[k] = nullptr;
    }
    return created;
}

// ---------------------------------------------------------------- sizes

bool NNLayer::calculateOutputSize(NNLayer**)
{
    return false;
}

bool NNLayer::validateInputs(NNLayer* inputs[inboundSlots])
{
    const NNLayer* first = inputs[0];
    auto fail = [this](const std::string& why) {
        report(getOperationName() + ": " + why);
        return false;
    };
    if (is("co2d") || is("depw") || is("sepa") || is("grpn")) {
        if (biases.size() < static_cast<size_t>(outputChannels)) return fail("fewer biases than output channels");
    }
    if (is("grpn")) {
        if (weights.size() < static_cast<size_t>(outputChannels) || outputChannels != inputChannels)
            return fail("scale and shift lists do not match the channels");
        if (groupNum <= 0 || outputChannels % groupNum != 0) return fail("invalid group count");
    }
    if (is("spli") && (outputChannels <= 0 || startChannel + outputChannels > inputChannels))
        return fail("channel range outside the input");
    if (is("maxp") && strides != 2) return fail("2 x 2 pooling needs step 2");
    if (first != nullptr && (is("mult") || is("add ") || is("subt") || is("Mix2") || is("conc"))) {
        for (int slot = 1; slot < 3; ++slot) {
            const NNLayer* other = inputs[slot];
            if (other == nullptr) continue;
            if (other->outputWidth != first->outputWidth || other->outputHeight != first->outputHeight ||
                other->outputChannels <= 0)
                return fail("inputs differ in size");
        }
    }
    if (is("mult") && inputs[1] == nullptr) return fail("needs two inputs");
    if (is("Mix2") && (inputChannels < 3 || inputChannels2 < 3)) return fail("needs RGB inputs");
    if ((is("Satu") || is("SBlu")) && inputChannels < 3) return fail("needs RGB input");
    return true;
}

// ---------------------------------------------------------------- running

bool NNLayer::setBufferArgument(cl_kernel kernel, cl_uint index, cl_mem buffer)
{
    return clSetKernelArg(kernel, index, sizeof(cl_mem), &buffer) == CL_SUCCESS;
}

bool NNLayer::setIntArgument(cl_kernel kernel, cl_uint index, int32_t value)
{
    const cl_int argument = value;
    return clSetKernelArg(kernel, index, sizeof(cl_int), &argument) == CL_SUCCESS;
}

bool NNLayer::setFloatArgument(cl_kernel kernel, cl_uint index, float value)
{
    const cl_float argument = value;
    return clSetKernelArg(kernel, index, sizeof(cl_float), &argument) == CL_SUCCESS;
}

bool NNLayer::processImages(NNImage& input, NNImage& output, cl_command_queue queue)
{
    if (input.buffer == output.buffer && !inPlace) report("WARNING!!! Same buffers " + getOperationName());
    cl_kernel kernel = kernels[0];
    if (!setBufferArgument(kernel, 0, input.buffer)) return false;
    cl_uint index = 1;
    bool ok = setBufferArgument(kernel, index++, output.buffer);
    if (weightsBuffer != nullptr) ok = setBufferArgument(kernel, index++, weightsBuffer) && ok;
    if (is("sepa")) ok = setBufferArgument(kernel, index++, pointwiseWeightsBuffer) && ok;
    if (biasesBuffer != nullptr) ok = setBufferArgument(kernel, index++, biasesBuffer) && ok;
    ok = setIntArgument(kernel, index++, inputChannels) && ok;
    ok = setIntArgument(kernel, index++, outputChannels) && ok;
    ok = setIntArgument(kernel, index++, output.width) && ok;
    if (is("spli")) ok = setIntArgument(kernel, index++, startChannel) && ok;
    for (float parameter : parameters) ok = setFloatArgument(kernel, index++, parameter) && ok;
    if (!ok) report("setKernelArg error " + getOperationName());
    const bool ran = executeKernel(output, queue, kernel, 0, kernelDimensions, 0);
    ++runCount;
    return ran;
}

bool NNLayer::processImages2Inputs(NNImage& input1, NNImage& input2, NNImage& output, cl_command_queue queue)
{
    cl_kernel kernel = kernels[0];
    bool ok = setBufferArgument(kernel, 0, input1.buffer);
    ok = setBufferArgument(kernel, 1, input2.buffer) && ok;
    ok = setBufferArgument(kernel, 2, output.buffer) && ok;
    ok = setIntArgument(kernel, 3, inputChannels) && ok;
    ok = setIntArgument(kernel, 4, output.channels) && ok;
    ok = setIntArgument(kernel, 5, output.width) && ok;
    cl_uint index = 6;
    for (float parameter : parameters) ok = setFloatArgument(kernel, index++, parameter) && ok;
    if (!oclCheck(ok ? CL_SUCCESS : CL_INVALID_ARG_VALUE, "NNLayer", 643)) return false;
    ++runCount;
    return executeKernel(output, queue, kernel, 0, kernelDimensionsPlane, 0);
}

bool NNLayer::processImages3Inputs(NNImage& input1, NNImage& input2, NNImage& input3, NNImage& output,
                                   cl_command_queue queue)
{
    cl_kernel kernel = kernels[0];
    bool ok = setBufferArgument(kernel, 0, input1.buffer);
    ok = setBufferArgument(kernel, 1, input2.buffer) && ok;
    ok = setBufferArgument(kernel, 2, input3.buffer) && ok;
    ok = setBufferArgument(kernel, 3, output.buffer) && ok;
    ok = setIntArgument(kernel, 4, inputChannels) && ok;
    ok = setIntArgument(kernel, 5, output.channels) && ok;
    ok = setIntArgument(kernel, 6, output.width) && ok;
    cl_uint index = 7;
    for (float parameter : parameters) ok = setFloatArgument(kernel, index++, parameter) && ok;
    if (!oclCheck(ok ? CL_SUCCESS : CL_INVALID_ARG_VALUE, "NNLayer", 700)) return false;
    ++runCount;
    return executeKernel(output, queue, kernel, 0, kernelDimensionsPlane, 0);
}

bool NNLayer::createGroupNormBuffers(cl_context context)
{
    releaseGroupNormBuffers();
    const size_t columnSums = size_t(outputChannels) * size_t(std::max(outputWidth, 1));
    groupNormColumnSumsHost.assign(columnSums, 0.0f);
    groupNormChannelVectorHost.assign(size_t(outputChannels), 0.0f);
    cl_int status = CL_SUCCESS;
    groupNormColumnSums = clCreateBuffer(context, CL_MEM_READ_WRITE, columnSums * sizeof(float), nullptr, &status);
    if (!oclCheck(status, "NNModel", 610)) return false;
    groupNormChannelVector =
        clCreateBuffer(context, CL_MEM_READ_WRITE, size_t(outputChannels) * sizeof(float), nullptr, &status);
    return oclCheck(status, "NNModel", 613);
}

void NNLayer::releaseGroupNormBuffers()
{
    for (cl_mem* buffer : {&groupNormColumnSums, &groupNormChannelVector}) {
        if (*buffer != nullptr) clReleaseMemObject(*buffer);
        *buffer = nullptr;
    }
}

bool NNLayer::processImagesGroupNorm(NNImage& input, NNImage& output, cl_command_queue queue)
{
    const NNImage& columns = input;
    auto run = [&](int k, std::initializer_list<cl_mem> buffers, std::initializer_list<int32_t> ints,
                   int32_t dimensions, int32_t localX, int32_t localY) {
        cl_uint index = 0;
        bool ok = true;
        for (cl_mem buffer : buffers) ok = setBufferArgument(kernels[k], index++, buffer) && ok;
        for (int32_t value : ints) ok = setIntArgument(kernels[k], index++, value) && ok;
        return ok && executeKernel(columns, queue, kernels[k], localX, dimensions, localY);
    };
    const bool ok =
        run(0, {input.buffer, groupNormColumnSums}, {input.height}, kernelDimensionsColumns, 0, 0) &&
        run(4, {groupNormColumnSums, groupNormChannelVector, weightsBuffer}, {groupNum, input.width, input.height},
            kernelDimensionsSingle, 1, 1) &&
        run(1, {input.buffer, output.buffer, groupNormChannelVector}, {output.width}, kernelDimensionsPlane, 0, 0) &&
        run(2, {output.buffer, groupNormColumnSums}, {output.height}, kernelDimensionsColumns, 0, 0) &&
        run(5, {groupNormColumnSums, groupNormChannelVector, weightsBuffer}, {groupNum, output.width, output.height},
            kernelDimensionsSingle, 1, 1) &&
        run(3, {output.buffer, output.buffer, groupNormChannelVector}, {output.width}, kernelDimensionsPlane, 0, 0) &&
        run(1, {output.buffer, output.buffer, biasesBuffer}, {output.width}, kernelDimensionsPlane, 0, 0);
    if (!ok) report("Execute kernel in groupNorm error");
    ++runCount;
    return ok;
}

bool NNLayer::executeKernel(const NNImage& image, cl_command_queue queue, cl_kernel kernel, int32_t localX,
                            int32_t dimensions, int32_t localY)
{
    size_t local[3] = {size_t(localX > 0 ? localX : localWorkSize[0]), size_t(localY > 0 ? localY : localWorkSize[1]),
                       1};
    size_t global[3] = {1, 1, 1};
    cl_uint workDim = 0;
    const size_t width = size_t(std::max(image.width, 0)), height = size_t(std::max(image.height, 0));
    const size_t channels = size_t(std::max(outputChannels > 0 ? outputChannels : image.channels, 0));
    switch (dimensions) {
    case kernelDimensionsSingle: global[0] = 1, workDim = 1; break;
    case kernelDimensionsColumns: global[0] = width, workDim = 1; break;
    case kernelDimensionsPlane: global[0] = width, global[1] = height, workDim = 2; break;
    case kernelDimensionsPlaneChannels:
        global[0] = width, global[1] = height, global[2] = size_t(std::max(outputChannels, 0)), workDim = 3;
        break;
    case kernelDimensionsChannels: global[0] = size_t(std::max(outputChannels, 0)), workDim = 1; break;
    case kernelDimensionsRows: global[0] = height, workDim = 1; break;
    case kernelDimensionsPlaneBlocks: global[0] = (width + 3) / 4, global[1] = height, workDim = 2; break;
    case kernelDimensionsChannelsPlane:
        global[0] = channels, global[1] = width, global[2] = height, workDim = 3;
        break;
    default: workDim = 0; break;
    }
    if (workDim < 2) local[1] = 1;
    local[0] = localWidthDividing(global[0], local[0]);
    const size_t* localSizes = local[0] != 0 ? local : nullptr;
    cl_int status = clEnqueueNDRangeKernel(queue, kernel, workDim, nullptr, global, localSizes, 0, nullptr, nullptr);
    if (status == CL_OUT_OF_RESOURCES) {
        if (globalLogging)
            addLineToTempLog("ailayers.log", "ExecuteKernel error for workdim " + std::to_string(dimensions) +
                                                 ". Reducing localWorkSize");
        local[0] = local[0] > 3 ? local[0] / 4 : 1;
        local[1] = 1;
        status = clEnqueueNDRangeKernel(queue, kernel, workDim, nullptr, global, local, 0, nullptr, nullptr);
    }
    if (status == CL_INVALID_WORK_GROUP_SIZE) {
        local[0] = local[1] = 1;
        status = clEnqueueNDRangeKernel(queue, kernel, workDim, nullptr, global, local, 0, nullptr, nullptr);
    }
    const std::string sizes = "GlobalWorkSize: " + std::to_string(global[0]) + " " + std::to_string(global[1]) + " " +
                              std::to_string(global[2]) + ", localWorkSize: " + std::to_string(local[0]) + " " +
                              std::to_string(local[1]) + " " + std::to_string(local[2]);
    if (!oclCheck(status, "NNLayer", 1035, sizes)) {
        report(std::string("executeKernel error: ") + oclErrorString(status));
        return false;
    }
    return true;
}
