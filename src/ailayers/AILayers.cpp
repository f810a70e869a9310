#include "ailayers/AILayers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "ailayers/DiagnosticsLog.h"
#include "ailayers/ModelLogicOpenCL.h"
#include "services/SettingsStore.h"

namespace {

constexpr const char* kLogFile = "ailayers.log";
constexpr const char* kBuildIdentifier = "AI000Mac000000";
constexpr const char* kBuildDate = "Oct 19 2023";
constexpr size_t kInfoBufferBytes = 1000;

void copyBounded(const std::string& text, char* out)
{
    if (out == nullptr) return;
    const size_t n = std::min(text.size(), kInfoBufferBytes - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

} // namespace

AILayers::AILayers(int deviceIndex, std::string modelName, ModelSystem system)
{
    if (system == OpenCL)
        modelLogic = std::make_unique<ModelLogicOpenCL>(deviceIndex, std::move(modelName));
    else
        layerErrorText += "AILayersClass: modelLogic is null!";
}

AILayers::AILayers(std::unique_ptr<ModelLogic> backEnd) : modelLogic(std::move(backEnd))
{
    if (!modelLogic) layerErrorText += "AILayersClass: modelLogic is null!";
}

AILayers::~AILayers()
{
    modelLogic.reset();
    tiledResult.release();
}

void AILayers::initializeAILayers(const char* info, char* out)
{
    logging = getFromRegInt("AILayers", "logging", 0) != 0;
    tilesSplit = getFromRegInt("AILayers", "tilessplit", 0);
    appInfo = info ? info : "";
    copyBounded(kBuildIdentifier, out);
    if (!modelLogic) {
        std::cout << "AILayers::initializeAILayers - modelLogicNotInitialized!\n";
        return;
    }
    modelLogic->appInfo = appInfo;
}

bool AILayers::loadModel(const char* data, unsigned size, const char* text1, const char* text2)
{
    if (!modelLogic) return false;
    return modelLogic->initModel(data, size, text1 ? text1 : "", text2 ? text2 : "");
}

bool AILayers::modelLoaded() { return modelLogic && modelLogic->isLoaded(); }

void AILayers::deallocate()
{
    if (modelLogic) modelLogic->deallocate();
}

void AILayers::deallocateModel() { deallocate(); }

void AILayers::deallocateImage() { tiledResult.release(); }

void AILayers::invalidateCache()
{
    if (modelLogic) modelLogic->invalidateCache();
}

const float* AILayers::predictFloat(const float* data, unsigned width, unsigned height, unsigned channels,
                                    bool /*unused*/, bool invalidate)
{
    if (!modelLogic) return nullptr;
    if (invalidate) invalidateCache();
    const image_template<float> result = modelLogic->runModel(data, width, height, channels);
    return result.channels == 0 ? nullptr : result.data;
}

image_template<float> AILayers::predictImageFloat(image_template<float> image, bool /*unused*/, bool invalidate)
{
    if (!modelLogic) return {};
    if (invalidate) invalidateCache();
    const image_template<float> result = modelLogic->runModel(image.data, static_cast<unsigned>(image.width),
                                                              static_cast<unsigned>(image.height),
                                                              static_cast<unsigned>(image.channels));
    return result.channels == 0 ? image_template<float>() : result;
}

const float* AILayers::predict2InputsFloat(const float* a, const float* b, unsigned width, unsigned height,
                                           unsigned channels)
{
    if (!modelLogic) return nullptr;
    invalidateCache();
    int status = 0;
    const float* result = modelLogic->runModel2Inputs(a, b, width, height, channels, &status);
    return status == 0 ? nullptr : result;
}

const float* AILayers::predict3InputsFloat(image_template<float> a, image_template<float> b, image_template<float> c)
{
    if (!modelLogic) return nullptr;
    invalidateCache();
    int status = 0;
    const float* result = modelLogic->runModel3Inputs(a, b, c, &status);
    return status == 0 ? nullptr : result;
}

const float* AILayers::predictFloatAsync(const float* data, unsigned width, unsigned height, unsigned channels,
                                         bool& ready)
{
    ready = false;
    if (!modelLogic) return nullptr;
    invalidateCache();
    int status = 0;
    return modelLogic->runModelAsync(data, width, height, channels, &status, ready);
}

unsigned char* AILayers::predict(const float* data, unsigned width, unsigned height, unsigned channels, bool flag)
{
    if (!modelLogic) return nullptr;
    invalidateCache();
    int status = 0;
    return modelLogic->runModel(data, width, height, channels, &status, flag, 1.0f);
}

float AILayers::getAILayersVersion()
{
    if (logging) addLineToTempLog(kLogFile, "*** Checking version...");
    return 1.019f;
}

std::string AILayers::getErrorText(int code)
{
    if (code == -12) return kBuildDate;
    if (code == -11) return std::string(kBuildIdentifier).substr(4);
    std::string text = modelLogic ? modelLogic->getErrorText() : std::string();
    if (!layerErrorText.empty()) text += "\n" + layerErrorText;
    layerErrorText.clear();
    return text;
}

std::string AILayers::getNNEngineInformation(const char* query, char* out, int* deviceCount)
{
    appInfo = query ? query : "";
    const std::string text = modelLogic ? modelLogic->getNNEngineInformation(query, deviceCount) : std::string();
    copyBounded(text, out);
    return text;
}

std::string AILayers::getModelInformation(const char* /*query*/, int /*unused*/)
{
    const int timestamp = modelLogic ? modelLogic->getModelTimestamp() : 0;
    const size_t ram = modelLogic ? modelLogic->getModelRAM() : 0;
    return "Model version: " + std::to_string(timestamp) + "   GPURAM: " + std::to_string(ram / 1048576) + " Mb";
}

void AILayers::getModelInformation(const char* /*query*/, int /*unused*/, char* out)
{
    copyBounded(std::to_string(modelLogic ? modelLogic->getModelTimestamp() : 0), out);
}

std::string AILayers::getDeviceName(int* deviceCount)
{
    return modelLogic ? modelLogic->getNNEngineInformation(appInfo.c_str(), deviceCount) : std::string();
}
