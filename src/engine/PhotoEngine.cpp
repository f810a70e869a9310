#include "engine/PhotoEngine.h"

#include <FreeImage.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/ImGuiToast.h"
#include "image/ImageOperations.h"
#include "services/SettingsStore.h"

namespace {

constexpr int kErrorToastMs = 36000000;
constexpr int kDisplayLongSide = 3000;
constexpr int kSaveDoneStep = 4;
const char* const kEngineVersion = "1.019";

} // namespace

PhotoEngine::PhotoEngine()
{
    FreeImage_Initialise(FALSE);
    creatorThread = std::this_thread::get_id();
    version = std::string(" v.") + kEngineVersion;
    progressTitle = "Progress";
    notHappyLabel = " Not happy? ";
}

PhotoEngine::~PhotoEngine()
{
    if (processingThread.joinable()) processingThread.join();
    ClearBatching();
    ClearImageData();
    for (AILayers* layer : layers) {
        try {
            layer->deallocateModel();
        } catch (...) {
        }
        delete layer;
    }
    layers.clear();
    modelBuffers.clear();
    if (modelSystemThread.joinable()) modelSystemThread.join();
    ClearHandles();
    FreeImage_DeInitialise();
}

// ---- model system ---------------------------------------------------------

void PhotoEngine::InitAILayers(ModelSystem s)
{
    modelSystem = s;
    const int device = getFromRegInt(productKey, "ailayersFlags", 0);
    for (const std::string& name : modelNames) layers.push_back(new AILayers(device, name, s));
}

std::vector<unsigned char> PhotoEngine::LoadResourceToVector(const std::string& name, ModelSystem s)
{
    std::vector<unsigned char> bytes = loadResource(name.c_str(), s == OpenCL ? "cnn" : "pb");
    if (bytes.size() <= 999) {
        bytes.clear();
        SetToast(kErrorToastMs, "Failed to load model " + name + "!Can't continue.", title + " Error");
    }
    return bytes;
}

bool PhotoEngine::LoadModelSystem(ModelSystem s)
{
    if (layers.empty()) return false;
    modelBuffers.emplace_back();
    int deviceCount = 0;
    layers[0]->getNNEngineInformation(title.c_str(), nullptr, &deviceCount);
    if (getFromRegInt(productKey, "ailayersFlags", 0) >= deviceCount) {
        SetToast(10000,
                 "Selected OpenCL device number higher than number of available devices. Reseting to the first device.",
                 "");
        setToReg(productKey, "ailayersFlags", "0");
    }
    for (size_t i = 1; i < modelNames.size(); ++i)
        if (!modelNames[i].empty()) modelBuffers.push_back(LoadResourceToVector(modelNames[i], OpenCL));
    (void)s;
    try {
        for (size_t j = 0; j < layers.size(); ++j) {
            layers[j]->initializeAILayers(productKey.c_str(), engineInfo);
            if (j == 0 || j >= modelBuffers.size() || modelBuffers[j].empty()) continue;
            const auto& buffer = modelBuffers[j];
            if (!layers[j]->loadModel(reinterpret_cast<const char*>(buffer.data()), unsigned(buffer.size()), "", "")) {
                ErrorMessage(title + " Error", "Failed to parse model " + modelNames[j] + "!Can't continue.\n" +
                                                   layers[j]->getErrorText(2048));
                return false;
            }
        }
        if (layers[0]->getAILayersVersion() < 0.998f) {
            ErrorMessage(title + " Error", "AILayers version is too low, please update the software");
            return false;
        }
    } catch (...) {
        ErrorMessage(title + " Error", "MaskCreator error: Exception in loading net.");
        return false;
    }
    modelSystemThread = std::thread([] {});
    return true;
}

bool PhotoEngine::LoadModel(ModelSystem s, bool reload)
{
    modelRevision = getFromRegInt(productKey, "modelrevision", 1);
    if (modelRevision < 1 && keepModelRevisionPositive) {
        setToReg(productKey, "modelrevision", "1");
        modelRevision = 1;
    }
    if (modelLoadPending == 0) return false;
    if (layers.empty()) return false;
    if (modelBuffers.empty()) modelBuffers.emplace_back();
    auto& buffer = modelBuffers[0];
    if (reload && !buffer.empty()) {
        buffer.clear();
        try {
            layers[0]->deallocateModel();
        } catch (...) {
        }
    }
    const std::string& name = modelNames.empty() ? std::string() : modelNames[0];
    if (buffer.empty()) buffer = LoadResourceToVector(name, s);
    if (buffer.empty()) {
        SetToast(kErrorToastMs, "Failed to load model " + name + " from resources", title + " Error");
        return false;
    }
    if (!layers[0]->loadModel(reinterpret_cast<const char*>(buffer.data()), unsigned(buffer.size()), "", "")) {
        SetToast(kErrorToastMs, "Failed to parse model " + name + "!Can't continue.\n" + layers[0]->getErrorText(2048),
                 title + " Error");
        return false;
    }
    netResultReady = false;
    modelLoadPending = 0;
    return true;
}

// ---- errors, toasts, settings --------------------------------------------

void PhotoEngine::SetToast(int durationMs, const char* content, const char* toastTitle)
{
    ImGuiToast toast;
    toast.type = 0;
    toast.created = std::chrono::steady_clock::now();
    toast.durationMs = durationMs;
    if (toastTitle && toastTitle[0] != '\0')
        std::strncpy(toast.title, toastTitle, ImGuiToast::kTextCapacity - 1);
    if (content) std::strncpy(toast.content, content, ImGuiToast::kTextCapacity - 1);
    toastQueue().push_back(toast);
}

void PhotoEngine::SetToast(int durationMs, const std::string& content, const std::string& toastTitle)
{
    SetToast(durationMs, content.c_str(), toastTitle.c_str());
}

void PhotoEngine::ErrorMessage(const std::string& messageTitle, const std::string& message)
{
    if (!errorText.empty()) errorText += "\n";
    errorText += message;
    if (errorTitle.empty()) errorTitle = messageTitle;
    SetToast(kErrorToastMs, message, messageTitle);
}

void PhotoEngine::SetAlpha(float v) { *strengthPtr = v < 0 ? 0.0f : std::min(maxStrength, v); }
void PhotoEngine::SetSecondAlpha(float v) { *secondStrengthPtr = v; }
void PhotoEngine::SetSkinType(int& value) { skinTypePtr = &value; }
void PhotoEngine::SetResolution(int& value) { processingScalePtr = &value; }
void PhotoEngine::SetMask(bool& value) { layerOutputPtr = &value; }
void PhotoEngine::SetAutoMask(bool& value) { automaskPtr = &value; }

void PhotoEngine::AssignAlphaPointer(float* p)
{
    strengthPtr = p;
    SetAlpha(*p);
}

void PhotoEngine::AssignSecondAlphaPointer(float* p)
{
    secondStrengthPtr = p;
    SetSecondAlpha(*p);
}

void PhotoEngine::switchGPU(int index) { setToReg(productKey, "ailayersFlags", std::to_string(index)); }

void PhotoEngine::disableGPU(int v)
{
    if (v < 0) v = getFromRegInt(productKey, "DISABLE_GPU", 0) ^ 1;
    setToReg(productKey, "DISABLE_GPU", std::to_string(v));
}

bool PhotoEngine::SwitchModelRevision()
{
    // Digit keys come from the editor's keyboard state; without an editor no
    // key is ever held, so the revision never changes here.
    return false;
}

std::string PhotoEngine::GetTitle() const { return windowTitle + version + " " + currentFileName; }

void PhotoEngine::Close()
{
    ClearBatching();
    StopNetProcessing();
    toastQueue().clear();
    if (fileMode) setToReg(productKey, "resolution", std::to_string(*processingScalePtr));
    if (runState == Running) runState = Closed;
}

int PhotoEngine::SetSettingsFromJson(std::string) { return 0; }
std::string PhotoEngine::GetSettingsInJson() { return "{}"; }

// ---- editor ----------------------------------------------------------------

RunState PhotoEngine::Show(bool, bool option)
{
    windowMaximized = getFromRegInt(productKey, "WIN_MAX", 0) != 0;
    if (fileMode) {
        const std::string stored = getFromReg(productKey, "resolution", "");
        *processingScalePtr = stored.empty() ? -1 : getFromRegInt(productKey, "resolution", -1);
    }
    windowOption = option;
    // This build has no editor window: say so and end as a failed run, so the
    // caller's process goes on.
    ErrorMessage(title + " Error", "The editor window cannot be opened: this build has no editor.");
    errorFlag = true;
    runState = Failed;
    StopNetProcessing();
    ClearBatching();
    toastQueue().clear();
    return runState;
}

bool PhotoEngine::LoadBatchTextureFromFile(BatchImage*) { return false; }
void PhotoEngine::AddImages() {}
void PhotoEngine::StartBatching() {}
void PhotoEngine::ShowBatchInterface() {}
void PhotoEngine::ClearBatching() {}
bool PhotoEngine::RadioFaceSize() { return false; }
bool PhotoEngine::LiveIcons() { return false; }
void PhotoEngine::PostWindowRender() {}
bool PhotoEngine::PutToProgress() { return false; }
bool PhotoEngine::PutToHeader() { return false; }
bool PhotoEngine::PutSecondSlider() { return false; }
bool PhotoEngine::ShowResolutionSelector() { return false; }
void PhotoEngine::ShowProgressWindow() {}
void PhotoEngine::ShowMainImageEditor(int, int, float) {}
void PhotoEngine::ShowNotHappyButton() {}
ImagePoint PhotoEngine::WindowToImage(float x, float y) { return {x, y}; }
float PhotoEngine::CalcScrollX(float, float, float, float, float, float) { return 0.0f; }
float PhotoEngine::CalcScrollY(float, float, float, float, float, float) { return 0.0f; }
void PhotoEngine::PrepareResources() {}
void PhotoEngine::ShowBatchMenu() {}
void PhotoEngine::ShowBatchImages(int, int, float) {}
void PhotoEngine::LoadMainWindow(int, int) {}
void PhotoEngine::ShowImages(int, int) {}
std::string PhotoEngine::GetAboutMessage() { return windowTitle + version + "\n" + std::string(engineInfo); }
void PhotoEngine::ToolsButtons() {}
void PhotoEngine::RightButtons(float, float) {}
void PhotoEngine::UpdateBrush(int, int, bool) {}
bool PhotoEngine::LoadButtonIcon(const std::string&) { return false; }
bool PhotoEngine::DisableTranslate() { return false; }
void PhotoEngine::ClearHandles() {}
void PhotoEngine::PostClearImage() {}
bool PhotoEngine::PostLoadTexture() { return true; }
void PhotoEngine::UpdateImage(bool, EngineProgress, bool) {}
float PhotoEngine::FaceSizePredict() { return -1.0f; }
int PhotoEngine::CalcNetDownscaleK(int) { return 1; }
bool PhotoEngine::AllocateArrays() { return false; }

// ---- processing control ------------------------------------------------------

bool PhotoEngine::pluginProgressCallback(void* engine, float percent)
{
    if (engine == nullptr) return false;
    auto* self = static_cast<PhotoEngine*>(engine);
    self->progress = percent / 100.0f;
    if (self->progressCallback) self->progressCallback(engine, percent);
    return self->runState != Running && self->runState != ApplyPending;
}

void PhotoEngine::StopNetProcessing()
{
    if (processingThread.joinable()) processingThread.join();
}

void PhotoEngine::StartNetProcessingInThread()
{
    if (pendingRuns > 0) return;
    sliderChanged = false;
    StopNetProcessing();
    busy = true;
    netResultReady = false;
    ++pendingRuns;
    processingThread = std::thread([this] {
        UpdateImage(true, nullptr, true);
        --pendingRuns;
        busy = false;
    });
}

void PhotoEngine::ReUpdateImage(bool resetNetwork)
{
    runState = Restarting;
    StopNetProcessing();
    LoadModel(modelSystem, true);
    runState = Running;
    if (mainImage.data == nullptr) return;
    if (resetNetwork) netResultReady = false;
    StartNetProcessingInThread();
}

void PhotoEngine::PrepareImage()
{
    if (mainImage.data == nullptr) return;
    StopNetProcessing();
    // Preview textures are made by the window shell when one exists.
    previewTexture = nullptr;
    originalTexture = nullptr;
    StartNetProcessingInThread();
}

// ---- output ----------------------------------------------------------------

bool PhotoEngine::GetOutputImage(image_template<float>& out, EngineProgress progressFn, bool flag)
{
    UpdateImage(false, progressFn, false);
    // A failed or cancelled run leaves outputImage allocated but not filled.
    if (outputImage.data == nullptr || !netResultReady) return false;
    if (!out.allocate(outputImage.width, outputImage.height, 4)) {
        errorFlag = true;
        errorText = "Not enough memory RAM!";
        return false;
    }
    return flag && *layerOutputPtr ? GetOutputImageMasked(out, false) : GetOutputImageNonMasked(out, false);
}

bool PhotoEngine::GetOutputImageNonMasked(image_template<float>& out, bool flag)
{
    if (outputImage.data == nullptr || out.data == nullptr) return false;
    const int64_t count = static_cast<int64_t>(outputImage.width) * outputImage.height;
    const float* src = outputImage.data;
    float* dst = out.data;
    for (int64_t p = 0; p < count; ++p, src += 3, dst += 4) {
        dst[0] = flag ? 1.0f : std::max(0.0f, src[0]);
        dst[1] = std::max(0.0f, src[1]);
        dst[2] = std::max(0.0f, src[2]);
        dst[3] = 1.0f;
    }
    return true;
}

bool PhotoEngine::GetOutputImageMasked(image_template<float>& out, bool flag)
{
    return GetOutputImageNonMasked(out, flag);
}

// ---- loading -----------------------------------------------------------------

void PhotoEngine::FillDisplayFromMain()
{
    if (displayWidth == mainImage.width && displayHeight == mainImage.height) {
        const int64_t count = static_cast<int64_t>(displayWidth) * displayHeight;
        for (int64_t p = 0; p < count; ++p) {
            displayImage.data[p * 4 + 0] = mainImage.data[p * 3 + 0];
            displayImage.data[p * 4 + 1] = mainImage.data[p * 3 + 1];
            displayImage.data[p * 4 + 2] = mainImage.data[p * 3 + 2];
            displayImage.data[p * 4 + 3] = 1.0f;
        }
    } else {
        ResizeImageForDisplay34(mainImage, displayImage);
    }
}

bool PhotoEngine::LoadTexture(float* data, int width, int height, int channels)
{
    netResultReady = false;
    busy = true;
    mainImage = image_template<float>(width, height, channels, data);
    if (data == nullptr || width <= 0 || height <= 0 || channels != 3) {
        busy = false;
        return false;
    }
    if (width > kDisplayLongSide || height > kDisplayLongSide) {
        displayScale = static_cast<float>(kDisplayLongSide) / static_cast<float>(std::max(width, height));
        displayWidth = std::max(1, static_cast<int>(static_cast<float>(width) * displayScale));
        displayHeight = std::max(1, static_cast<int>(static_cast<float>(height) * displayScale));
    } else {
        displayScale = 1.0f;
        displayWidth = width;
        displayHeight = height;
    }
    if (!AllocateArrays()) {
        if (errorText.empty()) errorText = "Kestrelion RAM allocation failed";
        errorFlag = true;
        busy = false;
        return false;
    }
    if (predictAtLoad) {
        faceSize = FaceSizePredict();
        netDownscaleK = CalcNetDownscaleK(scaleHint);
    }
    FillDisplayFromMain();
    return PostLoadTexture();
}

bool PhotoEngine::LoadMainTextureFromFile(std::string filePath)
{
    if (!fileMode) return false;
    if (!currentFileName.empty()) ClearImageData();
    if (!handler.loadMainImage(filePath, nullptr, errorFlag, errorText)) return false;
    if (!LoadTexture(mainImage.data, mainImage.width, mainImage.height, mainImage.channels)) return false;
    currentFileName = filePath;
    return true;
}

bool PhotoEngine::LoadImageFromFile(const std::string& filePath)
{
    ClearImageData();
    const bool loaded = LoadMainTextureFromFile(filePath);
    PrepareImage();
    return loaded;
}

void PhotoEngine::LoadMainImage(std::vector<std::string> paths)
{
    if (paths.size() != 1) return; // several files go to the batch list, which the editor owns
    if (LoadMainTextureFromFile(paths[0])) PrepareImage();
    else SetToast(kErrorToastMs, "Failed to load image " + paths[0], title + " Error");
}

void PhotoEngine::FreeImageBuffers()
{
    delete[] autoMask;
    autoMask = nullptr;
    handler.DropIccProfile(false);
    handler.ReleaseSourceBitmap();
    handler.ReleaseSaveBitmap();
    saveImage.release();
    mainImage.release();
    displayImage.release();
    outputImage.release();
    delete[] brushMask;
    brushMask = nullptr;
}

void PhotoEngine::ClearImageData()
{
    try {
        StopNetProcessing();
        previewTexture = nullptr;
        originalTexture = nullptr;
        for (AILayers* layer : layers) layer->deallocateImage();
        netResult = image_template<float>();
        netResultReady = false;
        FreeImageBuffers();
        currentFileName = "";
        PostClearImage();
    } catch (...) {
    }
}

// ---- saving ------------------------------------------------------------------

std::string ConsoleBarText(float percent)
{
    constexpr int kBarWidth = 70;
    const float clamped = std::clamp(percent, 0.0f, 100.0f);
    const int filled = static_cast<int>(kBarWidth * clamped / 100.0f);
    std::string bar = "[";
    for (int i = 0; i < kBarWidth; ++i) bar += i < filled ? '=' : (i == filled ? '>' : ' ');
    bar += "] ";
    bar += std::to_string(static_cast<int>(clamped));
    bar += " %";
    return bar;
}

void ConsoleCallback(void*, float percent)
{
    std::fputs((ConsoleBarText(percent) + "\r").c_str(), stdout);
    std::fflush(stdout);
}

bool PhotoEngine::SaveImage(std::string filePath, bool, bool fromApi, EngineProgress progressFn)
{
    saveProgressCallback = progressFn ? progressFn : ConsoleCallback;
    savePath = filePath;
    saveStep = 0;
    saving = true;
    saveError.clear();
    if (!fromApi) return true; // the window advances the steps, one per frame
    // No window loop runs for a library call: drive the steps here.
    while (saveStep >= 0 && saveStep < kSaveDoneStep) UpdateSave(false);
    saving = false;
    return saveStep == kSaveDoneStep;
}

void PhotoEngine::ResetSave(bool keepBusy)
{
    if (!keepBusy) busy = false;
    saveStep = -1;
    saving = false;
    progressText = "";
}

void PhotoEngine::UpdateSave(bool verbose)
{
    switch (saveStep) {
    case 0: {
        progressText = "Saving.. " + progressText;
        const std::string size = std::to_string(mainImage.width) + "x" + std::to_string(mainImage.height);
        if (verbose) std::printf("File: %s\nSize: %s\n", currentFileName.c_str(), size.c_str());
        if (outputImage.data == nullptr) {
            SetToast(30000, "Can't save the image - image data missing. Please check that you have enough RAM available",
                     "Saving failed!");
            saveError = "image data missing";
            ResetSave();
            break;
        }
        if (GetOutputImage(saveImage, saveProgressCallback, true)) {
            saveStep = 1;
        } else {
            SetToast(30000, "Can't save the image - Failed to prepare image for saving.", "Saving failed!");
            saveError = errorText.empty() ? "the image could not be processed" : errorText;
            ResetSave();
        }
        break;
    }
    case 1: {
        std::string message;
        if (handler.PrepareDataForSaving(savePath, *layerOutputPtr && fileMode, message)) {
            saveStep = 2;
        } else {
            errorFlag = true;
            SetToast(kErrorToastMs, "Image not saved - " + message, "");
            saveError = message.empty() ? "unknown file type" : message;
            saveImage.release();
            ResetSave();
        }
        break;
    }
    case 2: saveStep = 3; break;
    case 3: {
        handler.SaveImageICC();
        std::string reason;
        if (handler.WriteSaveBitmap(savePath, reason)) {
            saveStep = 4;
        } else {
            errorFlag = true;
            SetToast(kErrorToastMs, "Image not saved - " + reason, "");
            saveError = reason;
            ResetSave();
        }
        break;
    }
    default: break;
    }
    if (saveStep >= 0) progress = static_cast<float>(saveStep) * 0.25f;
}
