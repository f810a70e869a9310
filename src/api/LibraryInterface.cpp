// The exported C interface: thin adapters that convert the caller's buffers
// and paths, drive the engine, and turn the outcome into a result code and a
// line on standard output. Nothing thrown inside may reach the caller.

#include "tessaline.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "api/OutputTarget.h"
#include "api/WidePath.h"
#include "engine/ImGuiToast.h"
#include "engine/PhotoCreator.h"

namespace {

constexpr int kVersion = 1019;

PhotoCreator* engineOf(void* instance) { return static_cast<PhotoCreator*>(instance); }

// Copies R, G, B of every pixel into a new packed buffer with three spare
// floats, sized in 64 bits; null when the size is zero, beyond what the
// engine's 32-bit image fields hold, or cannot be allocated.
float* copyRgb(const float* pixels, unsigned width, unsigned height)
{
    if (pixels == nullptr || width == 0 || height == 0) return nullptr;
    if (width > INT32_MAX || height > INT32_MAX) return nullptr;
    const uint64_t count = uint64_t(width) * uint64_t(height);
    if (count > (image_template<float>::maxElements() - 3) / 4) return nullptr;
    float* rgb = new (std::nothrow) float[count * 3 + 3];
    if (rgb == nullptr) return nullptr;
    for (uint64_t p = 0; p < count; ++p) {
        rgb[p * 3 + 0] = pixels[p * 4 + 0];
        rgb[p * 3 + 1] = pixels[p * 4 + 1];
        rgb[p * 3 + 2] = pixels[p * 4 + 2];
    }
    rgb[count * 3] = rgb[count * 3 + 1] = rgb[count * 3 + 2] = 0.0f;
    return rgb;
}

// Hands the copy to the engine, which owns it from here on. 0, 1 or 2.
int loadFromBuffer(PhotoCreator* engine, const float* pixels, unsigned width, unsigned height)
{
    float* rgb = copyRgb(pixels, width, height);
    if (rgb == nullptr) return TESSALINE_BAD_SIZE;
    engine->ClearImageData();
    if (!engine->LoadTexture(rgb, int(width), int(height), 3)) {
        std::printf("Error loading the image from buffer\n");
        return TESSALINE_IMAGE_REFUSED;
    }
    return TESSALINE_OK;
}

void printCreationFailure(const PhotoCreator* engine)
{
    std::string reason = engine ? engine->errorText : std::string();
    for (const ImGuiToast& toast : toastQueue()) {
        if (reason.find(toast.content) != std::string::npos) continue;
        if (!reason.empty()) reason += '\n';
        reason += toast.content;
    }
    std::printf("Engine could not be created: %s\n", reason.empty() ? "unknown reason" : reason.c_str());
}

int processFile(PhotoCreator* engine, const wchar_t* inputPath, const wchar_t* outputPath, int scale, bool saveOption,
                TessalineProgress progress, float strength, float secondStrength)
{
    bool inputOk = true, outputOk = true;
    const std::string input = wstring_to_string(inputPath, &inputOk);
    const std::string output = wstring_to_string(outputPath, &outputOk);
    engine->runState = Running;
    if (!inputOk || input.empty() || !engine->LoadMainTextureFromFile(input)) {
        std::printf("Error loading the image %s\n", input.c_str());
        return TESSALINE_INPUT_UNREADABLE;
    }
    if (!outputOk) {
        std::printf("Error creating output path %s\n", output.c_str());
        return TESSALINE_FOLDER_FAILED;
    }
    const OutputTarget target = resolveOutputTarget(input, output);
    if (target.kind == TargetKind::Failed) return TESSALINE_FOLDER_FAILED;
    if (target.kind == TargetKind::FolderOnly) return TESSALINE_FOLDER_ONLY;
    *engine->processingScalePtr = scale;
    engine->SetAlpha(strength);
    engine->SetSecondAlpha(secondStrength);
    if (!engine->SaveImage(target.file, saveOption, true, progress)) {
        std::printf("Error saving the image %s: %s\n", target.file.c_str(), engine->saveError.c_str());
        return TESSALINE_SAVE_FAILED;
    }
    return TESSALINE_OK;
}

} // namespace

extern "C" {

TESSALINE_API void* createInstance(void)
{
    PhotoCreator* engine = nullptr;
    try {
        engine = new PhotoCreator(false);
        engine->InitAILayers(OpenCL);
        if (engine->LoadModelSystem(OpenCL) && engine->LoadModel(OpenCL, false)) return engine;
        printCreationFailure(engine);
    } catch (...) {
        std::printf("Exception during engine creation\n");
    }
    try {
        delete engine;
    } catch (...) {
    }
    return nullptr;
}

TESSALINE_API void clearInstance(void* instance)
{
    try {
        delete engineOf(instance);
    } catch (...) {
    }
}

TESSALINE_API int getPluginVersion(void) { return kVersion; }

TESSALINE_API int setSettingsFromJson(void* instance, const char* json)
{
    if (instance == nullptr || json == nullptr) return -1;
    try {
        return engineOf(instance)->SetSettingsFromJson(std::string(json));
    } catch (...) {
        std::printf("Exception while reading settings\n");
        return -1;
    }
}

TESSALINE_API void getSettingsInJson(void* instance, char* buffer, int size)
{
    if (instance == nullptr || buffer == nullptr || size < 1) return;
    try {
        const std::string text = engineOf(instance)->GetSettingsInJson();
        std::memset(buffer, 0, static_cast<size_t>(size));
        std::memcpy(buffer, text.data(), std::min(text.size(), static_cast<size_t>(size - 1)));
    } catch (...) {
        std::printf("Exception while writing settings\n");
    }
}

TESSALINE_API void setIccProfile(void* instance, const void* data, unsigned int length)
{
    if (instance == nullptr) return;
    try {
        engineOf(instance)->handler.SetIccProfile(data, length);
    } catch (...) {
        std::printf("Exception while keeping the colour profile\n");
    }
}

TESSALINE_API int processImageFromMemory(void* instance, float* pixels, unsigned int width, unsigned int height,
                                         TessalineProgress progress)
{
    if (instance == nullptr) return TESSALINE_BAD_SIZE;
    PhotoCreator* engine = engineOf(instance);
    try {
        const int loaded = loadFromBuffer(engine, pixels, width, height);
        if (loaded != TESSALINE_OK) return loaded;
        // An earlier editor session may have left Closed or Applied, which
        // would cancel this run at its first tile.
        engine->runState = Running;
        image_template<float> result;
        // The copy back writes width x height RGBA pixels into the caller's
        // buffer: anything but exactly that shape is refused.
        if (engine->GetOutputImage(result, progress, true) && result.data && result.width == int64_t(width) &&
            result.height == int64_t(height) && result.channels == 4) {
            std::memcpy(pixels, result.data, static_cast<size_t>(result.width) * result.height * 4 * sizeof(float));
            result.release();
            engine->ClearImageData();
            return TESSALINE_OK;
        }
        result.release();
        engine->ClearImageData();
        std::printf("Plugin returned null image\n");
        return TESSALINE_NO_OUTPUT;
    } catch (...) {
        std::printf("Exception during plug-in processing\n");
        return TESSALINE_EXCEPTION;
    }
}

TESSALINE_API int showPluginWithImage(void* instance, const float* pixels, unsigned int width, unsigned int height)
{
    if (instance == nullptr) return TESSALINE_BAD_SIZE;
    PhotoCreator* engine = engineOf(instance);
    try {
        const int loaded = loadFromBuffer(engine, pixels, width, height);
        if (loaded != TESSALINE_OK) return loaded;
        engine->runState = Running;
        const RunState state = engine->Show(false, true);
        if (state != Running && state != Applied) {
            if (!engine->errorText.empty()) std::printf("%s\n", engine->errorText.c_str());
            return TESSALINE_EDIT_NOT_APPLIED;
        }
        engine->ClearImageData();
        return state == Applied ? 1 : 0;
    } catch (...) {
        std::printf("Exception during plug-in editing\n");
        return TESSALINE_EDIT_EXCEPTION;
    }
}

TESSALINE_API int processImageFromFile(void* instance, const wchar_t* inputPath, const wchar_t* outputPath, int scale,
                                       bool saveOption, TessalineProgress progress, float strength,
                                       float secondStrength)
{
    if (instance == nullptr) return TESSALINE_INPUT_UNREADABLE;
    PhotoCreator* engine = engineOf(instance);
    // The engine accepts files only in file mode; switch it on for the call.
    const bool previousFileMode = engine->fileMode;
    int code = TESSALINE_SAVE_FAILED;
    try {
        engine->fileMode = true;
        code = processFile(engine, inputPath, outputPath, scale, saveOption, progress, strength, secondStrength);
    } catch (...) {
        std::printf("Exception during plug-in processing\n");
        code = TESSALINE_EXCEPTION;
    }
    engine->fileMode = previousFileMode;
    return code;
}

} // extern "C"
