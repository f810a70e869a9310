#include "NNInference/NNModel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "NNInference/KernelBinaryCache.h"
#include "NNInference/KernelTemplates.h"
#include "NNInference/ModelStreamReader.h"
#include "NNInference/NNLayer_Blur.h"
#include "NNInference/NNLayer_LinAlg.h"
#include "NNInference/NNLayer_NonLinear.h"
#include "NNInference/NNLayer_Operations.h"
#include "NNInference/OpenCLErrors.h"
#include "ailayers/DiagnosticsLog.h"

int32_t globalModelFileVersion = 0;

namespace {

// Kernels index tensors with 32-bit integers.
constexpr int64_t maxLayerElements = (int64_t(1) << 31) - 1;

std::unique_ptr<NNLayer> createLayer(int32_t code)
{
    const std::string name = getOperationName(code);
    static const char* const plainKinds[] = {"inpu", "co2d", "depw", "sepa", "maxp", "avg2", "ups2", "upsb",
                                             "relu", "elu ", "lre1", "lre3", "mult", "spli", "Satu", "grpn"};
    for (const char* kind : plainKinds)
        if (name == kind) return std::make_unique<NNLayer>(code);
    if (name == "add " || name == "subt") return std::make_unique<NNLayer_Add>(code);
    if (name == "Mix2") return std::make_unique<NNLayer_Mix2>(code);
    if (name == "AX+B") return std::make_unique<NNLayer_LinearAXplusB>(code);
    if (name == "conc") return std::make_unique<NNLayer_Concatenate>(code);
    if (name == "gavg" || name == "gmax") return std::make_unique<NNLayer_GlobalPooling>(code);
    if (name == "dens") return std::make_unique<NNLayer_Dense>(code);
    if (name == "mmul") return std::make_unique<NNLayer_Matmul>(code);
    if (name == "tpos") return std::make_unique<NNLayer_Transpose>(code);
    if (name == "Resh") return std::make_unique<NNLayer_Reshape>(code);
    if (name == "Tile") return std::make_unique<NNLayer_Tile>(code);
    if (name == "Clip") return std::make_unique<NNLayer_Clip>(code);
    if (name == "SwNL") return std::make_unique<NNLayer_SwitchableNonLinear>(code);
    if (name == "IIRB" || name == "SBlu") return std::make_unique<NNLayer_SwitchableBlur>(code);
    throw std::runtime_error("NNLayer creation error: " + name);
}

bool usesGenericSizeRule(const NNLayer& layer)
{
    static const char* const kinds[] = {"relu", "elu ", "lre1", "lre3", "maxp", "avg2", "depw", "mult", "Satu", "IIRB",
                                        "SBlu", "ups2", "upsb", "co2d", "sepa", "spli", "gavg", "gmax", "grpn"};
    for (const char* kind : kinds)
        if (layer.getOperationName() == kind) return true;
    return false;
}

std::string deviceInfo(cl_device_id device, cl_device_info what)
{
    size_t size = 0;
    if (clGetDeviceInfo(device, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return {};
    std::string text(size, '\0');
    if (clGetDeviceInfo(device, what, size, text.data(), nullptr) != CL_SUCCESS) return {};
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    return text;
}

std::string platformVersionOf(cl_device_id device)
{
    cl_platform_id platform = nullptr;
    if (clGetDeviceInfo(device, CL_DEVICE_PLATFORM, sizeof platform, &platform, nullptr) != CL_SUCCESS) return {};
    size_t size = 0;
    if (clGetPlatformInfo(platform, CL_PLATFORM_VERSION, 0, nullptr, &size) != CL_SUCCESS || size == 0) return {};
    std::string text(size, '\0');
    clGetPlatformInfo(platform, CL_PLATFORM_VERSION, size, text.data(), nullptr);
    return text;
}

} // namespace

NNModel::NNModel(NNErrorCallback callback) : errorCallback(std::move(callback)) {}

NNModel::~NNModel()
{
    unload();
}

bool NNModel::fail(const std::string& message)
{
    if (errorCallback) errorCallback(message);
    unload();
    return false;
}

void NNModel::log(const std::string& line) const
{
    if (!logFileName.empty()) addLineToTempLog(logFileName, line);
}

void NNModel::releaseProgram()
{
    if (program != nullptr) oclCheck(clReleaseProgram(program), "NNModel", 813);
    program = nullptr;
}

void NNModel::unload()
{
    images.clear();
    layers.clear();
    templateSources_.clear();
    layerCount = 0;
    allocated = false;
    releaseProgram();
}

// ---------------------------------------------------------------- loading

bool NNModel::readHeader(ModelStreamReader& reader)
{
    timestamp = 0;
    int32_t lead = 0;
    if (!reader.tryInt32(lead)) {
        // Anything shorter than one word is as good as nothing.
        return fail("Fatal NN error: Model has 0 size");
    }
    globalModelFileVersion = 0;
    inputCount = 1;
    if (lead == fourCC("NNin")) {
        if (!reader.tryInt32(globalModelFileVersion)) return fail("Fatal NN error: Model truncated");
        bool ok = true;
        if (globalModelFileVersion < 3) {
            timestamp = 19000;
        } else {
            int32_t inputs = 1;
            ok = reader.tryInt32(timestamp) && reader.tryInt32(inputs) && reader.tryInt32(strideOffsetMode) &&
                 reader.tryInt32(reserved) && reader.tryInt32(reserved);
            if (globalModelFileVersion >= 4) inputCount = inputs;
        }
        if (!ok || !reader.tryInt32(layerCount)) return fail("Fatal NN error: Model truncated");
    } else {
        layerCount = lead;
    }
    if (layerCount == 0) return fail("Fatal NN error: No layers in model");
    if (inputCount < 1 || inputCount > inboundSlots) return fail("Fatal NN error: File corrupt");
    if (globalModelFileVersion >= 5) {
        int32_t count = 0;
        if (!reader.tryInt32(count)) return fail("Fatal NN error: Model truncated");
        if (count < 0 || uint64_t(count) > reader.remaining() / 4) return fail("Fatal NN error: File corrupt");
        outputLayers.assign(size_t(count), 0);
        for (int32_t& index : outputLayers)
            if (!reader.tryInt32(index)) return fail("Fatal NN error: Model truncated");
        int32_t marker = 0;
        if (!reader.tryInt32(marker)) return fail("Fatal NN error: Model truncated");
        if (marker != fourCC("LAYS")) return fail("Fatal NN error: File corrupt");
        for (int32_t index : outputLayers)
            if (index < 0 || index >= layerCount) return fail("Fatal NN error: File corrupt");
    }
    return true;
}

bool NNModel::readLayer(ModelStreamReader& reader, int32_t index, cl_context context, cl_device_id device)
{
    const std::string name = "kernel" + std::to_string(index);
    std::array<int32_t, inboundSlots> inbound;
    int32_t code = 0;
    for (int32_t& node : inbound)
        if (!reader.tryInt32(node)) return fail("Fatal NN error: Model truncated");
    if (!reader.tryInt32(code)) return fail("Fatal NN error: Model truncated");
    const std::string prefix = "Fatal NN error: load layer exception:" + std::to_string(index);
    try {
        std::unique_ptr<NNLayer> layer = createLayer(code);
        layer->inboundNodes = inbound;
        layer->errorCallback = errorCallback;
        layer->loadLayerFromStream(reader, name, context, device, kernelDimensionsPlane);
        layer->loadKernel(context, device, name);
        layers.push_back(std::move(layer));
    } catch (const ModelTruncatedError&) {
        return fail("Fatal NN error: Model truncated");
    } catch (const std::exception& error) {
        return fail(prefix + "\n" + error.what());
    } catch (...) {
        return fail(prefix);
    }
    // Inputs must come from earlier layers: a layer reading its own output
    // would read and write one buffer in the same kernel.
    for (int32_t node : inbound) {
        if (node != -1 && (node < 0 || node >= index)) {
            unload();
            if (errorCallback) errorCallback("Fatal NN error: load layer error, model corrupt:" + std::to_string(index));
            return false;
        }
    }
    return true;
}

bool NNModel::loadModelFromStream(cl_context context, cl_device_id device, std::istream& stream)
{
    if (context == nullptr || device == nullptr) return false;
    ModelStreamReader reader(stream);
    outputLayers.clear();
    if (!readHeader(reader)) return false;
    if (layerCount < 0) return true;
    for (int32_t i = 0; i < layerCount; ++i)
        if (!readLayer(reader, i, context, device)) return false;
    return true;
}

// ---------------------------------------------------------------- sizes

void NNModel::setInputsSizes(const std::vector<image_sizes>& sizes)
{
    if (sizes.size() == 1 && inputCount >= 2) inputSizes.assign(size_t(inputCount), sizes[0]);
    else inputSizes = sizes;
}

int32_t NNModel::expectedInputChannels() const
{
    for (const auto& layer : layers) {
        if (layer->outputChannels > 0) return layer->outputChannels;
        if (layer->is("inpu")) break;
    }
    return 3;
}

bool NNModel::applyGenericSizeRule(NNLayer& layer, NNLayer* inputs[inboundSlots], int32_t index, cl_context context)
{
    const NNLayer& input = *inputs[0];
    layer.sourceWidth = input.outputWidth;
    layer.sourceHeight = input.outputHeight;
    if (layer.inputChannels != 0 && layer.inputChannels != input.outputChannels) {
        // The kernels are specialised to the channels of the weights; another
        // count would make them read past the input or the weights.
        if (errorCallback)
            errorCallback(std::to_string(index) + ": " + layer.getOperationName() + " Convolution channels mismatch!!!\n");
        return false;
    }
    layer.inputChannels = input.outputChannels;
    layer.inputChannels2 = inputs[1] != nullptr ? inputs[1]->outputChannels : 0;
    const int32_t width = layer.strides > 0 ? layer.sourceWidth / layer.strides : layer.sourceWidth;
    const int32_t height = layer.strides > 0 ? layer.sourceHeight / layer.strides : layer.sourceHeight;
    layer.outputWidth = width;
    layer.outputHeight = height;
    if (layer.is("ups2") || layer.is("upsb")) {
        layer.outputChannels = layer.inputChannels;
        layer.outputWidth = 2 * width;
        layer.outputHeight = 2 * height;
    } else if (layer.is("gavg") || layer.is("gmax")) {
        layer.outputChannels = layer.inputChannels;
        layer.outputWidth = layer.outputHeight = 1;
    } else if (layer.is("grpn")) {
        if (context != nullptr && !layer.createGroupNormBuffers(context)) return false;
    } else if (!(layer.is("co2d") || layer.is("sepa") || layer.is("spli"))) {
        layer.outputChannels = layer.inputChannels;
    }
    return true;
}

bool NNModel::sizeLayer(int32_t index, int32_t& inputIndex, cl_context context, int32_t channels)
{
    NNLayer& layer = *layers[size_t(index)];
    NNLayer* inputs[inboundSlots] = {};
    for (int slot = 0; slot < inboundSlots; ++slot) {
        const int32_t node = layer.inboundNodes[size_t(slot)];
        if (node < 0) continue;
        inputs[slot] = layers[size_t(node)].get();
        ++inputs[slot]->consumerCount;
    }
    auto report = [this](const std::string& message) {
        if (errorCallback) errorCallback(message);
        return false;
    };
    if (layer.is("inpu")) {
        if (inputIndex >= int32_t(inputSizes.size())) return report("No input size for layer " + std::to_string(index));
        if (layer.outputChannels == 0) layer.outputChannels = channels;
        layer.inputChannels = layer.outputChannels;
        layer.outputWidth = layer.sourceWidth = inputSizes[size_t(inputIndex)].width;
        layer.outputHeight = layer.sourceHeight = inputSizes[size_t(inputIndex)].height;
        ++inputIndex;
    } else if (inputs[0] == nullptr) {
        return report("Input not connected for layer " + std::to_string(index));
    } else if (!layer.calculateOutputSize(inputs)) {
        if (!usesGenericSizeRule(layer)) return report("NNModel Unknown layer in calculateImageSizes");
        if (!applyGenericSizeRule(layer, inputs, index, context)) return false;
    }
    if (!layer.is("inpu") && !layer.validateInputs(inputs)) return false;
    const int64_t elements = layer.outputElementCount();
    if (layer.outputWidth <= 0 || layer.outputHeight <= 0 || layer.outputChannels <= 0 || elements > maxLayerElements)
        return report("Layer " + std::to_string(index) + " " + layer.getOperationName() + " has an invalid output size " +
                      std::to_string(layer.outputWidth) + "x" + std::to_string(layer.outputHeight) + "x" +
                      std::to_string(layer.outputChannels));
    auto image = std::make_unique<NNImage>(layer.outputWidth, layer.outputHeight, layer.outputChannels,
                                           &liveBufferCount);
    image->errorCallback = errorCallback;
    images.push_back(std::move(image));
    return true;
}

bool NNModel::calculateImageSizes(cl_context context, cl_device_id device, int32_t channels)
{
    images.clear();
    allocated = false;
    // Sharing is planned afresh for every size, so a new size gets a
    // consistent plan and freshly specialised kernels.
    for (auto& layer : layers) {
        layer->consumerCount = layer->readCount = 0;
        layer->colocationIndex = -1;
        layer->isOutput = false;
        layer->cacheValid = false;
    }
    int32_t inputIndex = 0;
    for (int32_t i = 0; i < int32_t(layers.size()); ++i)
        if (!sizeLayer(i, inputIndex, context, channels)) return false;
    if (!compileKernels(context, device, strideOffsetMode != 0)) {
        if (errorCallback) errorCallback("Error compiling kernels!");
        return false;
    }
    manageColocations();
    if (layers.empty()) {
        allocated = true;
        return true;
    }
    bool created = true;
    for (size_t i = 0; i < images.size(); ++i) {
        NNImage& image = *images[i];
        const NNLayer& layer = *layers[i];
        image.logFileName = logFileName;
        if (layer.colocationIndex < 0) {
            log("Allocating CL:layer " + std::to_string(i) + ", image index " + std::to_string(layer.colocationIndex) +
                ", allocated size " + std::to_string(image.allocSize) + ", current image size " +
                std::to_string(image.elementCount()));
            if (context != nullptr) created = image.createBuffer(context, image.allocSize) && created;
        } else {
            image.buffer = images[size_t(layer.colocationIndex)]->buffer;
        }
    }
    allocated = created;
    if (!created) return false;
    allocatedWidth = inputSizes.empty() ? 0 : inputSizes[0].width;
    allocatedHeight = inputSizes.empty() ? 0 : inputSizes[0].height;
    return true;
}

int32_t NNModel::ownerOf(int32_t layer) const
{
    while (layers[size_t(layer)]->colocationIndex >= 0) layer = layers[size_t(layer)]->colocationIndex;
    return layer;
}

bool NNModel::chainIsFree(int32_t layer) const
{
    for (;;) {
        const NNLayer& link = *layers[size_t(layer)];
        if (link.consumerCount != link.readCount) return false;
        if (link.colocationIndex < 0) return true;
        layer = link.colocationIndex;
    }
}

void NNModel::shareBuffer(int32_t index, int32_t with)
{
    NNLayer& layer = *layers[size_t(index)];
    layers[size_t(with)]->consumerCount += layer.consumerCount;
    layer.colocationIndex = with;
    const int64_t elements = images[size_t(index)]->elementCount();
    for (int32_t link = with;; link = layers[size_t(link)]->colocationIndex) {
        NNImage& image = *images[size_t(link)];
        image.allocSize = std::max(image.allocSize, elements);
        if (layers[size_t(link)]->colocationIndex < 0) break;
    }
    images[size_t(index)]->ownsBuffer = false;
    log("Coloc:layer " + std::to_string(index) + ", image index " + std::to_string(with) + ", buffer size " +
        std::to_string(images[size_t(with)]->allocSize) + ", current image size " + std::to_string(elements) +
        " steal from " + std::to_string(ownerOf(with)));
}

void NNModel::manageColocations()
{
    for (int32_t index : outputLayers) {
        if (index < 0 || index >= int32_t(layers.size())) continue;
        ++layers[size_t(index)]->consumerCount;
        layers[size_t(index)]->isOutput = true;
    }
    for (int32_t i = 0; i < int32_t(layers.size()) && i < int32_t(images.size()); ++i) {
        NNLayer& layer = *layers[size_t(i)];
        const int32_t first = layer.inboundNodes[0];
        int32_t shareWith = -1;
        if (first >= 0 && layer.inPlace && layers[size_t(first)]->readCount == layers[size_t(first)]->consumerCount - 1)
            shareWith = ownerOf(first);
        if (shareWith < 0) {
            const int32_t inputOwner = first >= 0 ? ownerOf(first) : -1;
            for (int32_t j = 0; j < i; ++j) {
                if (!chainIsFree(j)) continue;
                if (!layer.inPlace && first >= 0 && j == inputOwner) continue;
                shareWith = j;
                break;
            }
        }
        if (shareWith >= 0) {
            shareBuffer(i, shareWith);
        } else {
            images[size_t(i)]->allocSize = images[size_t(i)]->elementCount();
            images[size_t(i)]->ownsBuffer = true;
            log("Alloc:layer " + std::to_string(i) + ", image index -1, current image size " +
                std::to_string(images[size_t(i)]->elementCount()));
        }
        for (int32_t node : layer.inboundNodes)
            if (node >= 0) ++layers[size_t(ownerOf(node))]->readCount;
    }
}

int64_t NNModel::allocatedBytes() const
{
    int64_t bytes = 0;
    for (size_t i = 0; i < images.size() && i < layers.size(); ++i)
        if (layers[i]->colocationIndex < 0) bytes += images[i]->elementCount() * int64_t(sizeof(float));
    return bytes;
}

// ---------------------------------------------------------------- program

bool NNModel::compileKernels(cl_context context, cl_device_id device, bool flag)
{
    if (int32_t(layers.size()) < layerCount) {
        if (errorCallback)
            errorCallback("CompileKernels Error: Not all layers loaded: " + std::to_string(layers.size()) + " of " +
                          std::to_string(layerCount) + "\n");
        return false;
    }
    std::string text = kernel_activations;
    if (layerCount < 1) {
        if (errorCallback) errorCallback("NNInference: No layers found!\n");
        return false;
    }
    // Keep the unspecialised texts so that another size specialises afresh.
    if (templateSources_.empty())
        for (const auto& layer : layers) templateSources_.push_back(layer->source);
    for (size_t i = 0; i < layers.size(); ++i) {
        layers[i]->source = templateSources_[i];
        if (!layers[i]->applyMacros(flag)) return false;
        text += layers[i]->source;
    }
    releaseProgram();
    if (!createProgram(text, context, device)) {
        if (errorCallback) errorCallback("Error creating program\n");
        return false;
    }
    for (size_t j = 0; j < layers.size(); ++j) {
        if (layers[j]->is("none") || layers[j]->is("inpu")) continue;
        if (!layers[j]->createKernel("kernel" + std::to_string(j), context, device, program)) {
            if (errorCallback) errorCallback("Error creating kernel");
            return false;
        }
    }
    return true;
}

std::string NNModel::cachePathFor(const std::string& text, cl_device_id device) const
{
    // A driver update can change what a binary means, so the driver and
    // platform versions and the build options are part of the key.
    const uint64_t hash = kernelcache::programHash({text, buildOptions, deviceInfo(device, CL_DRIVER_VERSION),
                                                    deviceInfo(device, CL_DEVICE_VERSION), platformVersionOf(device)});
    return kernelcache::cacheFilePath(deviceInfo(device, CL_DEVICE_NAME), hash);
}

bool NNModel::createProgram(const std::string& text, cl_context context, cl_device_id device)
{
    programFromCache = false;
    if (text.empty()) return true;
    const std::string path = cachePathFor(text, device);
    programCachePath = path;
    if (loadPrecompiledKernelFromFile(path, context, device)) {
        programFromCache = true;
        return true;
    }
    const char* source = text.c_str();
    const size_t length = text.size();
    cl_int status = CL_SUCCESS;
    program = clCreateProgramWithSource(context, 1, &source, &length, &status);
    oclCheck(status, "NNModel", 190);
    log("createProgramWithSource: " + std::to_string(status));
    if (status != CL_SUCCESS) {
        program = nullptr;
        return false;
    }
    if (!buildProgram(device)) return false;
    cl_uint devices = 0;
    clGetProgramInfo(program, CL_PROGRAM_NUM_DEVICES, sizeof devices, &devices, nullptr);
    if (devices == 0) {
        if (errorCallback) errorCallback("No valid binary was found");
        return false;
    }
    std::vector<size_t> sizes(devices, 0);
    if (!oclCheck(clGetProgramInfo(program, CL_PROGRAM_BINARY_SIZES, devices * sizeof(size_t), sizes.data(), nullptr),
                  "NNModel", 207))
        return true;
    std::vector<std::vector<unsigned char>> binaries(devices);
    std::vector<unsigned char*> pointers(devices);
    for (cl_uint d = 0; d < devices; ++d) {
        binaries[d].resize(sizes[d]);
        pointers[d] = binaries[d].data();
    }
    if (!oclCheck(clGetProgramInfo(program, CL_PROGRAM_BINARIES, devices * sizeof(unsigned char*), pointers.data(),
                                   nullptr),
                  "NNModel", 214))
        return true;
    std::vector<unsigned char> content;
    for (const auto& binary : binaries) content.insert(content.end(), binary.begin(), binary.end());
    if (!kernelcache::storeBinary(path, content) && errorCallback) errorCallback("Failed to save shader cache");
    return true;
}

bool NNModel::loadPrecompiledKernelFromFile(const std::string& path, cl_context context, cl_device_id device)
{
    std::vector<unsigned char> binary;
    if (!kernelcache::loadVerifiedBinary(path, binary)) return false;
    const unsigned char* data = binary.data();
    const size_t size = binary.size();
    cl_int binaryStatus = CL_SUCCESS;
    cl_int status = CL_SUCCESS;
    cl_program candidate = clCreateProgramWithBinary(context, 1, &device, &size, &data, &binaryStatus, &status);
    if (status != CL_SUCCESS || binaryStatus != CL_SUCCESS || candidate == nullptr) {
        if (candidate != nullptr) clReleaseProgram(candidate);
        return false;
    }
    log("createProgramWithBinary: " + std::to_string(status));
    program = candidate;
    status = clBuildProgram(program, 1, &device, nullptr, nullptr, nullptr);
    if (status == CL_SUCCESS) return true;
    // A rejected cache file is not an error of the run: it is rebuilt from text.
    releaseProgram();
    return false;
}

void NNModel::reportBuildLog(cl_device_id device)
{
    size_t size = 0;
    if (clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size) != CL_SUCCESS) {
        if (errorCallback) errorCallback("Failed to build openCL kernel and failed to get build log");
        return;
    }
    std::string buildLog(size, '\0');
    clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, size, buildLog.data(), nullptr);
    buildLog.resize(buildLog.find('\0') == std::string::npos ? buildLog.size() : buildLog.find('\0'));
    std::cout << "--- Build log ---\n " << std::flush;
    std::cerr << buildLog << std::endl;
    if (buildLog.size() > 2 && errorCallback) errorCallback(buildLog);
}

bool NNModel::buildProgram(cl_device_id device)
{
    const cl_int status = clBuildProgram(program, 1, &device, buildOptions, nullptr, nullptr);
    oclCheck(status, "NNModel", 49);
    log("clBuildProgram: " + std::to_string(status));
    if (status == CL_SUCCESS) return true;
    size_t size = 0;
    if (clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size) != CL_SUCCESS) {
        if (errorCallback) errorCallback("Failed to build openCL kernel and failed to get build log");
        return false;
    }
    reportBuildLog(device);
    return size <= 3;
}

// ---------------------------------------------------------------- running

bool NNModel::processImage(cl_command_queue queue, const float* data, bool debug)
{
    log("* Process image started");
    if (queue == nullptr) {
        log("processImage Error: no command_queue");
        return false;
    }
    if (images.empty()) return false;
    if (!layers.front()->cacheValid && !images[0]->copyFrom(data, queue)) {
        log("processImage Error: copyFrom source data");
        return false;
    }
    return processLayers(queue, debug);
}

bool NNModel::process2Inputs(cl_command_queue queue, const float* data1, const float* data2, bool debug)
{
    if (queue == nullptr || images.size() < 2) return false;
    if (!images[0]->copyFrom(data1, queue)) {
        log("process2Inputs Error: copyFrom source data 1");
        return false;
    }
    if (!images[1]->copyFrom(data2, queue)) {
        log("process2Inputs Error: copyFrom source data 2");
        return false;
    }
    return processLayers(queue, debug);
}

bool NNModel::process3Inputs(cl_command_queue queue, const float* data1, const float* data2, const float* data3,
                             bool debug)
{
    if (queue == nullptr || images.size() < 3) return false;
    const float* sources[3] = {data1, data2, data3};
    for (size_t k = 0; k < 3; ++k) {
        if (!images[k]->copyFrom(sources[k], queue)) {
            log("process3Inputs Error: copyFrom source data " + std::to_string(k + 1));
            return false;
        }
    }
    return processLayers(queue, debug);
}

bool NNModel::processLayers(cl_command_queue queue, bool debug)
{
    if (images.size() != layers.size()) {
        if (errorCallback) errorCallback("processLayers error: images vector size mismatch");
        return false;
    }
    using Clock = std::chrono::steady_clock;
    const auto runStart = Clock::now();
    if (debug && !images.empty()) {
        images[0]->readFromGPU(queue);
        oclCheck(clFlush(queue), "NNModel", 967);
        oclCheck(clFinish(queue), "NNModel", 969);
        std::printf("Start\n");
    }
    for (size_t i = 0; i < layers.size(); ++i) {
        NNLayer& layer = *layers[i];
        if (layer.cacheValid || layer.disabled) continue;
        const auto layerStart = Clock::now();
        log("Processing layer " + std::to_string(i) + " " + layer.getOperationName());
        if (debug) {
            std::printf("*****\nProcessing layer %i. %s. \n", int(i), layer.getOperationName().c_str());
            std::printf("In ch: %i, %i, out ch: %i, strides %i, dilation %i, kernel width %i, cacheValid %d, "
                        "disabled %d, colocationIndex %i. \n",
                        layer.inputChannels, layer.inputChannels2, layer.outputChannels, layer.strides, layer.dilation,
                        layer.filterWidth, layer.cacheValid, layer.disabled, layer.colocationIndex);
            std::printf("InboundNodesBuffers: ");
            for (int32_t node : layer.inboundNodes) std::printf("%i ", node);
            std::printf("\n");
            if (!layer.parameters.empty()) {
                std::printf("Arguments: ");
                for (size_t k = 0; k < layer.parameters.size(); ++k)
                    std::printf(k == 0 ? "%g" : ", %g", double(layer.parameters[k]));
                std::printf("\n");
            }
        }
        bool ok = true;
        if (!layer.is("inpu")) {
            const size_t a = size_t(std::max(layer.inboundNodes[0], 0));
            const int32_t second = layer.inboundNodes[1], third = layer.inboundNodes[2];
            if (third >= 0)
                ok = layer.processImages3Inputs(*images[a], *images[size_t(second)], *images[size_t(third)], *images[i],
                                                queue);
            else if (second >= 0)
                ok = layer.processImages2Inputs(*images[a], *images[size_t(second)], *images[i], queue);
            else if (layer.is("grpn"))
                ok = layer.processImagesGroupNorm(*images[a], *images[i], queue);
            else if (!layer.is("none"))
                ok = layer.processImages(*images[a], *images[i], queue);
        }
        if (debug) {
            oclCheck(clFinish(queue), "NNModel", 1017);
            images[i]->readFromGPU(queue);
            oclCheck(clFinish(queue), "NNModel", 1031);
        }
        layer.runTime += std::chrono::duration<float, std::milli>(Clock::now() - layerStart).count();
        if (!ok) {
            if (errorCallback)
                errorCallback(messagePrefix + "\nError processing layer " + std::to_string(i) + layer.getOperationName());
            log("Error processing layer " + std::to_string(i));
            return false;
        }
        layer.cacheValid = true;
    }
    const float milliseconds = std::chrono::duration<float, std::milli>(Clock::now() - runStart).count();
    totalRunTime += milliseconds;
    log("* Process image finished:" + std::to_string(milliseconds));
    return true;
}

// ---------------------------------------------------------------- run-time settings

void NNModel::setLayerArgumentsFloat(int32_t layer, int32_t index, float value)
{
    if (layer < 0 || layer >= int32_t(layers.size()) || index < 0 ||
        index >= int32_t(layers[size_t(layer)]->parameters.size()))
        throw std::runtime_error("setLayerArgumentsFloat " + std::to_string(layer));
    float& stored = layers[size_t(layer)]->parameters[size_t(index)];
    if (stored == value) return;
    stored = value;
    invalidateLayer(layer);
}

void NNModel::invalidateLayer(int32_t i)
{
    std::vector<bool> visited(layers.size(), false);
    invalidateFrom(i, visited);
}

// Clears the layer's result and every result that its next run makes stale:
// its consumers, the later layers sharing its buffer (its re-run overwrites
// them), and inputs whose buffer a later layer has overwritten since they ran
// (they must run again before this layer can read them).
void NNModel::invalidateFrom(int32_t i, std::vector<bool>& visited)
{
    if (i < 0 || i >= int32_t(layers.size()) || visited[size_t(i)]) return;
    NNLayer& layer = *layers[size_t(i)];
    if (!layer.cacheValid && !layer.disabled) return;
    visited[size_t(i)] = true;
    layer.cacheValid = false;
    for (int32_t j = 0; j < int32_t(layers.size()); ++j) {
        const NNLayer& other = *layers[size_t(j)];
        if (other.disabled) continue;
        if (std::find(other.inboundNodes.begin(), other.inboundNodes.end(), i) != other.inboundNodes.end())
            invalidateFrom(j, visited);
    }
    const int32_t owner = ownerOf(i);
    for (int32_t k = i + 1; k < int32_t(layers.size()); ++k)
        if (ownerOf(k) == owner) invalidateFrom(k, visited);
    for (int32_t node : layer.inboundNodes) {
        if (node < 0) continue;
        const int32_t inputOwner = ownerOf(node);
        for (int32_t k = node + 1; k < int32_t(layers.size()); ++k)
            if (ownerOf(k) == inputOwner) {
                invalidateFrom(node, visited);
                break;
            }
    }
}

void NNModel::invalidateAllLayers()
{
    for (auto& layer : layers) layer->cacheValid = false;
}
