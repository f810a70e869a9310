#include "ailayers/ModelLogicOpenCL.h"

#include <new>

#include "ailayers/DiagnosticsLog.h"
#include "services/SettingsStore.h"

namespace {

constexpr const char* kLogFile = "ailayers.log";

void logLine(const std::string& line)
{
    if (globalLogging) addLineToTempLog(kLogFile, line);
}

} // namespace

void collectErrorMessage(std::string message)
{
    if (message.empty() || message.back() != '\n') message += '\n';
    modelLogicErrorMessage += message;
}

ModelLogicOpenCL::ModelLogicOpenCL(int deviceIndex, std::string modelName)
    : deviceIndex(deviceIndex), modelName(std::move(modelName))
{
    kstErrorCallback = collectErrorMessage;
    const bool logging = getFromReg("AIlayers", "logging", "0") == "1";
    const int platformSkip = getFromRegInt("AILayers", "OpenCLPlatformSkip", 0);
    // A device that cannot be set up is not reported here: the first run
    // then takes the fallback path to the next device.
    inference.initialize(deviceIndex, logging, this->modelName, platformSkip);
}

ModelLogicOpenCL::~ModelLogicOpenCL()
{
    inference.model.unload();
    tearDownDevice();
}

void ModelLogicOpenCL::tearDownDevice()
{
    if (inference.queue) {
        clFlush(inference.queue);
        clFinish(inference.queue);
        clReleaseCommandQueue(inference.queue);
        inference.queue = nullptr;
    }
    if (inference.context) {
        clReleaseContext(inference.context);
        inference.context = nullptr;
    }
    inference.initialized = false;
    inference.model.allocated = false;
}

bool ModelLogicOpenCL::initModel(const char* data, unsigned size, std::string text1, std::string text2)
{
    description1 = std::move(text1);
    description2 = std::move(text2);
    modelBytes = data;
    modelSize = size;
    const bool ok = inference.loadModelFromMemory(data, size);
    if (ok) loaded = true;
    return ok;
}

bool ModelLogicOpenCL::initModelNextDevice()
{
    logLine(" initModelNextDevice " + std::to_string(deviceIndex));
    const bool ok = inference.loadModelFromMemory(modelBytes, modelSize);
    if (ok) loaded = true;
    return ok;
}

void ModelLogicOpenCL::deallocate()
{
    if (!loaded) return;
    logLine(" ModelLogicOpenCL deallocating");
    inference.model.unload();
    inference.model.allocated = false;
    logLine(" ModelLogicOpenCL Model Unloaded");
}

bool ModelLogicOpenCL::failureInjected(FailurePoint point) const
{
    return injectFailure && injectFailure(deviceIndex, point);
}

const float* ModelLogicOpenCL::runWithFallback(const std::string& firstLogLine, const std::function<bool()>& allocate,
                                               const Attempt& predict)
{
    logLine(firstLogLine);
    std::string lastDevice;
    for (;;) {
        if (inference.initialized) {
            if (lastDevice != inference.engineInformation) {
                oclErrorPrefix = modelName + " " + inference.engineInformation;
                lastDevice = inference.engineInformation;
            }
            if (!failureInjected(FailurePoint::Allocation) && allocate()) {
                const float* output = failureInjected(FailurePoint::Prediction) ? nullptr : predict();
                logLine(std::string(" inference predict returned ") + (output ? "1" : "0"));
                if (output) return output;
            }
        }

        deallocate();
        inference.model.unload();
        tearDownDevice();
        if (!switchingEnabled) {
            logLine(" ModelLogicOpenCL RunModel failed because switching disabled");
            return nullptr;
        }
        logLine(" ModelLogicOpenCL RunModel Switching to next device");
        ++deviceIndex;
        oclErrorLog += "\n" + inference.engineInformation + " - Failed.\n";
        const int platformSkip = getFromRegInt("AILayers", "OpenCLPlatformSkip", 0);
        if (!inference.initialize(deviceIndex, inference.logging, inference.engineName, platformSkip)) {
            deviceIndex = -1;
            return nullptr;
        }
        oclErrorLog += "Switched to : ";
        initModelNextDevice();
        if (inference.engineInformation == lastDevice) oclErrorPrefix.clear();
        logLine(" Going to try again");
    }
}

void ModelLogicOpenCL::readOutputSize(int& width, int& height, int& channels)
{
    width = height = channels = 0;
    if (inference.model.layers.empty()) return;
    const NNLayer& last = *inference.model.layers.back();
    width = last.outputWidth;
    height = last.outputHeight;
    channels = last.outputChannels;
}

image_template<float> ModelLogicOpenCL::runModel(const float* data, unsigned width, unsigned height,
                                                 unsigned channels)
{
    const float* output = runWithFallback(
        " ModelLogicOpenCL RunModel " + std::to_string(width),
        [&] { return inference.allocate(int(width), int(height), int(channels)); },
        [&] { return inference.predict(data, int(width), int(height), int(channels), false); });
    if (!output) return {};
    image_template<float> result;
    readOutputSize(result.width, result.height, result.channels);
    result.data = const_cast<float*>(output);
    return result;
}

const float* ModelLogicOpenCL::runModel2Inputs(const float* a, const float* b, unsigned width, unsigned height,
                                               unsigned channels, int* status)
{
    if (status) *status = 0;
    return runWithFallback(
        " ModelLogicOpenCL RunModel2Inputs " + std::to_string(width),
        [&] {
            if (!inference.allocate(int(width), int(height), int(channels))) return false;
            int w, h, c;
            readOutputSize(w, h, c);
            if (status) *status = c;
            return true;
        },
        [&] {
            image_template<float> first(int(width), int(height), int(channels), const_cast<float*>(a));
            return inference.predict2Inputs(first, b, false);
        });
}

const float* ModelLogicOpenCL::runModel3Inputs(image_template<float> a, image_template<float> b,
                                               image_template<float> c, int* status)
{
    if (status) *status = 0;
    return runWithFallback(
        " ModelLogicOpenCL RunModel3Inputs " + a.shape(),
        [&] {
            const std::vector<image_sizes> sizes = {{a.width, a.height, a.channels},
                                                    {b.width, b.height, b.channels},
                                                    {c.width, c.height, c.channels}};
            if (!inference.allocateDifferentSizes(sizes, true)) return false;
            int w, h, ch;
            readOutputSize(w, h, ch);
            if (status) *status = ch;
            return true;
        },
        [&] { return inference.predict3Inputs(a, b, c, false); });
}

// Runs complete before they return, so an asynchronous run is finished by the
// time it is collected; a collection finds the model's last output.
const float* ModelLogicOpenCL::runModelAsync(const float* data, unsigned width, unsigned height, unsigned channels,
                                             int* status, bool& ready)
{
    if (status) *status = 0;
    ready = false;
    if (asyncRunning && !inference.model.images.empty()) {
        asyncRunning = false;
        ready = true;
        NNImage& last = *inference.model.images.back();
        if (last.readFromGPU(inference.queue)) return last.data.data();
    }
    asyncRunning = false;
    const float* output = runWithFallback(
        " ModelLogicOpenCL RunModel " + std::to_string(width),
        [&] {
            if (!inference.allocate(int(width), int(height), int(channels))) return false;
            int w, h, c;
            readOutputSize(w, h, c);
            if (status) *status = c;
            return true;
        },
        [&] { return inference.predict(data, int(width), int(height), int(channels), false); });
    asyncRunning = output != nullptr;
    return output;
}

// Byte form of the output: each value scaled by 255 x factor and clamped.
unsigned char* ModelLogicOpenCL::runModel(const float* data, unsigned width, unsigned height, unsigned /*channels*/,
                                          int* status, bool /*flag*/, float factor)
{
    if (status) *status = 0;
    if (!loaded) return nullptr;
    const image_template<float> result = runModel(data, width, height, 3);
    if (!result.data) return nullptr;
    if (status) *status = result.channels;
    const int64_t count = result.elementCount();
    auto* bytes = new (std::nothrow) unsigned char[size_t(count > 0 ? count : 1)];
    if (!bytes) return nullptr;
    for (int64_t i = 0; i < count; ++i) {
        const float v = result.data[i] * 255.0f * factor + 0.5f;
        bytes[i] = v <= 0.0f ? 0 : v >= 255.0f ? 255 : static_cast<unsigned char>(v);
    }
    return bytes;
}

std::string ModelLogicOpenCL::getNNEngineInformation(const char* /*query*/, int* deviceCount)
{
    return inference.getNNEngineInformation(deviceCount);
}

std::string ModelLogicOpenCL::getErrorText()
{
    std::string text = modelLogicErrorMessage;
    if (!inference.errorText.empty()) {
        if (!text.empty()) text += "\n";
        text += inference.errorText;
    }
    if (!oclErrorLog.empty()) text += "\n" + oclErrorLog;
    inference.errorText.clear();
    modelLogicErrorMessage.clear();
    oclErrorLog.clear();
    return text;
}

bool ModelLogicOpenCL::isLoaded() { return loaded; }

int ModelLogicOpenCL::getModelTimestamp()
{
    return inference.model.layerCount != 0 ? inference.model.timestamp : 0;
}

int ModelLogicOpenCL::getInputChannelCount()
{
    const NNModel& model = inference.model;
    if (model.layerCount == 0 || model.layers.empty()) return 3;
    for (const auto& layer : model.layers) {
        if (layer->outputChannels > 0) return layer->outputChannels;
        if (layer->is("inpu")) break;
    }
    return 3;
}

size_t ModelLogicOpenCL::getModelRAM()
{
    if (!inference.model.allocated) return 0;
    size_t bytes = 0;
    for (const auto& image : inference.model.images)
        if (image && image->buffer) bytes += size_t(image->elementCount()) * sizeof(float);
    return bytes;
}

void ModelLogicOpenCL::invalidateCache()
{
    inference.invalidateCache();
}

bool ModelLogicOpenCL::getModelOutput(image_template<float>& out, int index)
{
    out = image_template<float>();
    const std::vector<int32_t>& outputs = inference.model.outputLayers;
    if (index < 0 || size_t(index) >= outputs.size()) return false;
    const int32_t layer = outputs[size_t(index)];
    if (layer < 0 || size_t(layer) >= inference.model.images.size()) return false;
    NNImage& image = *inference.model.images[size_t(layer)];
    if (!image.readFromGPU(inference.queue) || image.data.empty()) return false;
    out = image_template<float>(image.width, image.height, image.channels, image.data.data());
    return true;
}
