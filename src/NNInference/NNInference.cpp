#include "NNInference/NNInference.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "NNInference/OpenCLErrors.h"
#include "ailayers/DiagnosticsLog.h"

namespace {

constexpr const char* logName = "ailayers.log";
constexpr int maxPlatforms = 5;
constexpr int maxDevicesPerPlatform = 5;

std::string platformText(cl_platform_id platform, cl_platform_info what)
{
    char text[256] = {};
    clGetPlatformInfo(platform, what, sizeof text - 1, text, nullptr);
    return text;
}

std::string deviceText(cl_device_id device, cl_device_info what)
{
    char text[256] = {};
    clGetDeviceInfo(device, what, sizeof text - 1, text, nullptr);
    return text;
}

void reportThroughChannel(const std::string& message)
{
    if (kstErrorCallback != nullptr) kstErrorCallback(message);
}

} // namespace

NNInference::NNInference() : model([this](const std::string& message) { NNreportError(message); }) {}

NNInference::~NNInference()
{
    model.unload();
    releaseContext();
    floatArguments.clear();
    switchArguments.clear();
    inboundOverrides.clear();
    disabledLayers.clear();
}

void NNInference::releaseContext()
{
    if (queue != nullptr) {
        clFlush(queue);
        clFinish(queue);
        clReleaseCommandQueue(queue);
        queue = nullptr;
    }
    if (context != nullptr) clReleaseContext(context);
    context = nullptr;
    initialized = false;
}

void NNInference::log(const std::string& line) const
{
    if (logging) addLineToTempLog(logName, line);
}

void NNInference::appendError(const std::string& message)
{
    if (!errorText.empty()) errorText += "\n";
    errorText += message;
}

void NNInference::NNreportError(const std::string& message)
{
    if (message.empty()) return;
    appendError(message);
}

// ---------------------------------------------------------------- devices

bool NNInference::getOpenCLDeviceList(std::vector<DEVICES>& list, int32_t platformSkipMask)
{
    std::fill(std::begin(platforms), std::end(platforms), nullptr);
    cl_uint platformCount = 0;
    if (clGetPlatformIDs(maxPlatforms, platforms, &platformCount) != CL_SUCCESS) platformCount = 0;
    platformCount = std::min<cl_uint>(platformCount, maxPlatforms);
    log("Found platforms: " + std::to_string(platformCount));
    if (platformCount == 0) {
        errorText += "No OpenCL platforms found.\nPlease install OpenCL drivers for your hardware";
        return false;
    }
    deviceDescription.clear();
    for (cl_uint p = 0; p < platformCount; ++p) {
        if (p < 32 && (platformSkipMask >> p) & 1) continue;
        cl_device_id ids[maxDevicesPerPlatform] = {};
        cl_uint count = 0;
        if (clGetDeviceIDs(platforms[p], CL_DEVICE_TYPE_ALL, maxDevicesPerPlatform, ids, &count) != CL_SUCCESS) count = 0;
        count = std::min<cl_uint>(count, maxDevicesPerPlatform);
        log("Found devices: " + std::to_string(count));
        for (cl_uint d = 0; d < count; ++d) {
            DEVICES entry;
            copyDeviceText(entry.platformName, platformText(platforms[p], CL_PLATFORM_NAME));
            copyDeviceText(entry.deviceName, deviceText(ids[d], CL_DEVICE_NAME));
            entry.deviceId = ids[d];
            cl_ulong memory = 0;
            clGetDeviceInfo(ids[d], CL_DEVICE_GLOBAL_MEM_SIZE, sizeof memory, &memory, nullptr);
            entry.memoryMB = static_cast<int32_t>(std::min<cl_ulong>(memory >> 20, INT32_MAX));
            clGetDeviceInfo(ids[d], CL_DEVICE_MAX_WORK_GROUP_SIZE, sizeof entry.maxWorkGroupSize,
                            &entry.maxWorkGroupSize, nullptr);
            clGetDeviceInfo(ids[d], CL_DEVICE_MAX_WORK_ITEM_SIZES, sizeof entry.maxWorkItemSizes,
                            entry.maxWorkItemSizes, nullptr);
            cl_device_type type = 0;
            clGetDeviceInfo(ids[d], CL_DEVICE_TYPE, sizeof type, &type, nullptr);
            entry.rating = rateDevice(type, entry.deviceName);
            log(std::string("Found device: ") + entry.deviceName + " Rating:" + std::to_string(entry.rating) +
                "  Memory:" + std::to_string(entry.memoryMB));
            if (gpuMemoryTooSmall(type, entry.memoryMB)) {
                if (!errorText.empty()) errorText += "\n";
                errorText += std::string(entry.deviceName) + " GPU memory of " + std::to_string(entry.memoryMB) +
                             "MB is less than 1.5GB, skipped.\n";
                log("GPU memory is less than 1.5GB, skipped.");
                continue;
            }
            list.push_back(entry);
        }
    }
    deviceCount = static_cast<int32_t>(list.size());
    if (list.empty()) {
        errorText += "No suitable devices found.";
    } else {
        std::sort(list.begin(), list.end(), sortByRating);
        for (size_t i = 0; i < list.size(); ++i)
            log("Device " + std::to_string(i) + ": " + list[i].deviceName + " Rating:" +
                std::to_string(list[i].rating) + "  Memory:" + std::to_string(list[i].memoryMB));
    }
    return true;
}

bool NNInference::initialize(int32_t deviceIndex, bool withLogging, const std::string& name, int32_t platformSkipMask)
{
    logging = withLogging;
    engineName = name;
    if (logging) {
        globalLogging = true;
        log("***************Initializing NNInference ******************");
    }
    std::vector<DEVICES> list;
    if (!getOpenCLDeviceList(list, platformSkipMask)) return false;
    if (deviceIndex < 0 || deviceIndex >= int32_t(list.size())) {
        errorText += "All devices failed for " + engineName + ": " + std::to_string(deviceIndex) +
                     "\nPlease install or update OpenCL drivers for your hardware\n";
        return false;
    }
    log("Using device " + std::to_string(deviceIndex));
    const DEVICES& chosen = list[size_t(deviceIndex)];
    device = chosen.deviceId;
    deviceDescription = deviceText(device, CL_DEVICE_VENDOR) + " - " + chosen.deviceName;
    oclErrorPrefix = engineName + " " + deviceDescription;
    engineInformation = deviceDescription + "\n" + "Memory size: " + std::to_string(chosen.memoryMB) + " MB" + "\n" +
                        "Max work group size: " + std::to_string(chosen.maxWorkGroupSize) + "\n" +
                        "Max work item size: " + std::to_string(chosen.maxWorkItemSizes[0]) + "/" +
                        std::to_string(chosen.maxWorkItemSizes[1]) + "/" + std::to_string(chosen.maxWorkItemSizes[2]) +
                        "\n" + "Number of devices: " + std::to_string(list.size());
    model.unload();
    modelLoaded = false;
    releaseContext();
    cl_int status = CL_SUCCESS;
    context = clCreateContext(nullptr, 1, &device, nullptr, nullptr, &status);
    oclCheck(status, "NNInference", 310);
    log("Created Context: " + std::to_string(status));
    if (status != CL_SUCCESS) {
        context = nullptr;
        return false;
    }
    queue = clCreateCommandQueue(context, device, 0, &status);
    oclCheck(status, "NNInference", 323);
    log("Created queue: " + std::to_string(status));
    if (status != CL_SUCCESS) queue = nullptr;
    initialized = status == CL_SUCCESS;
    return initialized;
}

std::string NNInference::getNNEngineInformation(int32_t* deviceCountOut) const
{
    if (deviceCountOut != nullptr) *deviceCountOut = deviceCount;
    return engineInformation + "\nMemory needed: " + std::to_string(model.allocatedBytes() >> 20) + " Mb";
}

// ---------------------------------------------------------------- model and sizes

bool NNInference::loadModelFromMemory(const void* data, size_t size)
{
    if (data == nullptr || context == nullptr) return false;
    std::istringstream stream(std::string(static_cast<const char*>(data), size));
    if (logging) model.logFileName = logName;
    model.unload();
    const bool loaded = model.loadModelFromStream(context, device, stream);
    modelLoaded = loaded;
    log("loadModel: " + std::to_string(loaded ? 1 : 0) + "  ModelSize:" + std::to_string(size));
    return loaded;
}

bool NNInference::checkInputChannels(int32_t channels, const char* message)
{
    const int32_t expected = model.expectedInputChannels();
    if (channels == expected) return true;
    reportThroughChannel(std::string(message) + std::to_string(channels) + " expected " + std::to_string(expected));
    return false;
}

bool NNInference::allocate(int32_t width, int32_t height, int32_t channels)
{
    if (!initialized || context == nullptr) return false;
    if (model.allocated && width == model.allocatedWidth && height == model.allocatedHeight) return true;
    if (!checkInputChannels(channels, "NNInference error in allocate: input channels mismatch: got ")) return false;
    model.setInputsSizes({image_sizes{width, height, channels}});
    const bool sized = model.calculateImageSizes(context, device, channels);
    if (!sized) {
        reportThroughChannel(oclErrorLog);
        oclErrorLog.clear();
    }
    model.invalidateAllLayers();
    return sized;
}

bool NNInference::allocateDifferentSizes(const std::vector<image_sizes>& sizes, bool)
{
    if (!initialized || context == nullptr || sizes.empty()) return false;
    if (model.allocated && sizes[0].width == model.allocatedWidth && sizes[0].height == model.allocatedHeight)
        return true;
    const int32_t expected = model.expectedInputChannels();
    for (size_t i = 0; i < sizes.size(); ++i) {
        if (sizes[i].channels != expected) {
            reportThroughChannel("NNInference error in allocateDifferentSizes: input " + std::to_string(i) +
                                 " channels mismatch: got " + std::to_string(sizes[i].channels) + " expected " +
                                 std::to_string(expected));
            return false;
        }
    }
    model.setInputsSizes(sizes);
    const bool sized = model.calculateImageSizes(context, device, sizes[0].channels);
    if (!sized) {
        reportThroughChannel(oclErrorLog);
        oclErrorLog.clear();
    }
    model.invalidateAllLayers();
    return sized;
}

// ---------------------------------------------------------------- prediction

void NNInference::setArgumentsToModel()
{
    const int32_t layers = int32_t(model.layers.size());
    for (const auto& [key, value] : floatArguments) {
        if (key < -15) continue;
        const int32_t layer = key / 16, index = key % 16;
        if (layer >= 0 && layer < layers) model.setLayerArgumentsFloat(layer, index, value);
    }
    for (const auto& [key, value] : switchArguments) {
        if (key < -15) continue;
        const int32_t layer = key / 16;
        if (layer < 0 || layer >= layers) continue;
        if (model.layers[size_t(layer)]->switchMode != value) {
            model.layers[size_t(layer)]->switchMode = value;
            model.invalidateLayer(layer);
        }
    }
}

// The kernels are specialised to the shapes of their inputs: a new source
// must be an earlier layer whose output has the shape of the one it replaces.
bool NNInference::sameShapeSource(int32_t current, int32_t replacement, int32_t layer) const
{
    if (current < 0 || replacement < 0 || replacement >= layer || size_t(current) >= model.images.size())
        return false;
    const NNImage& a = *model.images[size_t(current)];
    const NNImage& b = *model.images[size_t(replacement)];
    return a.width == b.width && a.height == b.height && a.channels == b.channels;
}

void NNInference::applyOverrides()
{
    setArgumentsToModel();
    const int32_t layers = int32_t(model.layers.size());
    for (const auto& [layer, value] : disabledLayers) {
        if (layer < 0 || layer >= layers || model.layers[size_t(layer)]->disabled == value) continue;
        model.layers[size_t(layer)]->disabled = value;
        model.invalidateLayer(layer);
    }
    for (const auto& [key, value] : inboundOverrides) {
        if (key < -15) continue;
        const int32_t layer = key / 16, slot = key % 16;
        if (layer < 0 || layer >= layers || slot < 0 || slot > 9) continue;
        int32_t& node = model.layers[size_t(layer)]->inboundNodes[size_t(slot)];
        if (node == value || !sameShapeSource(node, value, layer)) continue;
        node = value;
        model.invalidateLayer(layer);
    }
}

float* NNInference::finishPrediction(bool processed)
{
    if (!processed) {
        log("Processing failed:" + oclErrorLog);
        reportThroughChannel("Processing failed: " + oclErrorLog);
        return nullptr;
    }
    log("Going to read from gpu");
    NNImage& last = *model.images.back();
    const bool read = last.readFromGPU(queue);
    if (!read) reportThroughChannel("Failed to read resulting image from GPU: " + oclErrorLog);
    log(std::string("predict finished: ") + (read ? "1" : "0"));
    return read ? last.data.data() : nullptr;
}

float* NNInference::predict(const float* data, int32_t, int32_t, int32_t channels, bool debug)
{
    if (device == nullptr || queue == nullptr || data == nullptr) return nullptr;
    if (channels != model.expectedInputChannels()) {
        reportThroughChannel("NNInference predict error - input channel count mismatch");
        return nullptr;
    }
    if (!model.allocated) {
        reportThroughChannel("predict before calculateImagesSizes");
        return nullptr;
    }
    try {
        applyOverrides();
        return finishPrediction(model.processImage(queue, data, debug));
    } catch (...) {
        log("predict exception");
        reportThroughChannel("OpenCL Predict Exception!");
        return nullptr;
    }
}

float* NNInference::predict2Inputs(const image_template<float>& first, const float* second, bool debug)
{
    if (device == nullptr || queue == nullptr || first.data == nullptr || second == nullptr) return nullptr;
    if (first.channels != model.expectedInputChannels()) {
        reportThroughChannel("NNInference predict error - input channel count mismatch");
        return nullptr;
    }
    if (!model.allocated) {
        reportThroughChannel("predict before calculateImagesSizes");
        return nullptr;
    }
    try {
        return finishPrediction(model.process2Inputs(queue, first.data, second, debug));
    } catch (...) {
        log("predict exception");
        reportThroughChannel("OpenCL Predict Exception!");
        return nullptr;
    }
}

float* NNInference::predict3Inputs(const image_template<float>& first, const image_template<float>& second,
                                   const image_template<float>& third, bool debug)
{
    if (device == nullptr || queue == nullptr || first.data == nullptr || second.data == nullptr ||
        third.data == nullptr)
        return nullptr;
    if (first.channels != model.expectedInputChannels()) {
        reportThroughChannel("NNInference predict error - input channel count mismatch");
        return nullptr;
    }
    if (!model.allocated) {
        reportThroughChannel("predict before calculateImagesSizes");
        return nullptr;
    }
    try {
        return finishPrediction(model.process3Inputs(queue, first.data, second.data, third.data, debug));
    } catch (...) {
        log("predict exception");
        reportThroughChannel("OpenCL Predict Exception!");
        return nullptr;
    }
}
