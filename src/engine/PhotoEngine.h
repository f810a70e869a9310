#pragma once
// The engine behind both entries (the exported C functions and the filter
// entry): the image being edited and every buffer derived from it, the
// processing parameters, the networks, the worker threads and the error and
// toast reporting. Product-neutral; PhotoCreator configures it. The virtual
// operations are declared in a fixed order that hosts built against earlier
// versions rely on: append new ones at the end only.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ailayers/AILayers.h"
#include "engine/ImageHandler.h"
#include "engine/TGUIWindow.h"
#include "image/image_template.h"

enum RunState : int32_t {
    Running = 0,
    Failed = 1,
    Closed = 2,
    Cancelled = 3,
    Applied = 4,
    Restarting = 5,
    ApplyPending = 6,
};

using EngineProgress = void (*)(void* engine, float percent);

struct BatchImage;

struct ImagePoint {
    float x = 0;
    float y = 0;
};

class PhotoEngine : public TGUIWindow {
public:
    PhotoEngine();
    virtual ~PhotoEngine();
    PhotoEngine(const PhotoEngine&) = delete;
    PhotoEngine& operator=(const PhotoEngine&) = delete;

    virtual RunState Show(bool ignored, bool windowOption);
    virtual void InitAILayers(ModelSystem s);
    virtual bool LoadTexture(float* data, int width, int height, int channels);
    virtual bool LoadBatchTextureFromFile(BatchImage* entry);
    virtual bool LoadMainTextureFromFile(std::string path);
    virtual void AddImages();
    virtual void LoadMainImage(std::vector<std::string> paths);
    virtual bool GetOutputImageNonMasked(image_template<float>& out, bool flag);
    virtual bool GetOutputImageMasked(image_template<float>& out, bool flag);
    virtual bool GetOutputImage(image_template<float>& out, EngineProgress progress, bool flag);
    virtual bool LoadModelSystem(ModelSystem s);
    virtual bool LoadModel(ModelSystem s, bool reload);
    virtual void ClearHandles();
    virtual void ClearImageData();
    virtual void PostClearImage();
    virtual int SetSettingsFromJson(std::string text);
    virtual std::string GetSettingsInJson();
    virtual void SetAlpha(float v);
    virtual void SetSecondAlpha(float v);
    virtual void SetSkinType(int& value);
    virtual void SetResolution(int& value);
    virtual void SetMask(bool& value);
    virtual void SetAutoMask(bool& value);
    virtual void SetToast(int durationMs, const char* content, const char* title);
    virtual bool SaveImage(std::string path, bool saveAs, bool fromApi, EngineProgress progress);
    virtual void UpdateImage(bool updateDisplay, EngineProgress progress, bool force);
    virtual float FaceSizePredict();
    virtual void StartBatching();
    virtual void ShowBatchInterface();
    virtual int CalcNetDownscaleK(int hint);
    virtual bool SwitchModelRevision();
    virtual bool RadioFaceSize();
    virtual bool LiveIcons();
    virtual void PostWindowRender();
    virtual bool PutToProgress();
    virtual bool PutToHeader();
    virtual bool PutSecondSlider();
    virtual bool ShowResolutionSelector();
    virtual void ShowProgressWindow();
    virtual void ShowMainImageEditor(int width, int height, float headerHeight);
    virtual void ShowNotHappyButton();
    virtual ImagePoint WindowToImage(float x, float y);
    virtual float CalcScrollX(float mouseX, float mouseY, float imageX, float imageY, float width, float height);
    virtual float CalcScrollY(float mouseX, float mouseY, float imageX, float imageY, float width, float height);
    virtual void PrepareResources();
    virtual bool AllocateArrays();
    virtual bool PostLoadTexture();
    virtual void PrepareImage();
    virtual void ShowBatchMenu();
    virtual void ShowBatchImages(int width, int height, float headerHeight);
    virtual void StopNetProcessing();
    virtual void StartNetProcessingInThread();
    virtual void LoadMainWindow(int width, int height);
    virtual void ShowImages(int width, int height);
    virtual std::string GetAboutMessage();
    virtual void ToolsButtons();
    virtual void RightButtons(float x, float height);
    virtual void UpdateSave(bool verbose);
    virtual void UpdateBrush(int x, int y, bool continuing);
    virtual bool LoadButtonIcon(const std::string& name);
    virtual bool DisableTranslate();

    // Non-virtual helpers.
    void SetToast(int durationMs, const std::string& content, const std::string& title);
    void ErrorMessage(const std::string& messageTitle, const std::string& message);
    std::vector<unsigned char> LoadResourceToVector(const std::string& name, ModelSystem s);
    void AssignAlphaPointer(float* p);
    void AssignSecondAlphaPointer(float* p);
    void switchGPU(int index);
    void disableGPU(int v);
    std::string GetTitle() const;
    void Close();
    void ReUpdateImage(bool resetNetwork);
    bool LoadImageFromFile(const std::string& path);
    void ClearBatching();
    // Progress of tiled prediction; true asks it to stop.
    static bool pluginProgressCallback(void* engine, float percent);

    // Run control. The flags the processing thread and the driving thread
    // both touch are atomic; the buffers themselves are handed over by
    // joining the thread.
    std::atomic<RunState> runState{Running};
    std::atomic<bool> busy{false};
    std::atomic<float> progress{0.0f};
    std::atomic<int> pendingRuns{0};
    std::atomic<bool> netResultReady{false};
    bool errorFlag = false;
    std::string errorText;
    std::string errorTitle;
    EngineProgress progressCallback = nullptr;
    EngineProgress saveProgressCallback = nullptr;

    // Processing parameters; the pointers let a host bind its own variables.
    float strength = 1.0f;
    float* strengthPtr = &strength;
    float secondStrength = 1.0f;
    float* secondStrengthPtr = &secondStrength;
    float maxStrength = 100.0f;
    int processingScale = -1;
    int* processingScalePtr = &processingScale;
    int previousProcessingScale = -1;
    bool layerOutput = false;
    bool* layerOutputPtr = &layerOutput;
    bool automaskEnabled = false;
    bool* automaskPtr = &automaskEnabled;
    int skinType = 2;
    int* skinTypePtr = &skinType;
    int netDownscaleK = -1;
    float faceSize = -1.0f;
    int scaleHint = 80;
    bool previewMask = false;
    int toolMode = 0;
    bool fileMode = false;
    ModelSystem modelSystem = static_cast<ModelSystem>(0);
    int modelRevision = -1;
    int modelLoadPending = -1;
    // Product switches.
    bool loadDirtIcons = false;
    bool keepModelRevisionPositive = false;
    bool predictAtLoad = true;
    bool sliderChanged = false;

    // Images and planes.
    ImageHandler handler;
    image_template<float>& mainImage = handler.mainImage;
    image_template<float>& saveImage = handler.saveImage;
    int displayWidth = 0;
    int displayHeight = 0;
    float displayScale = 1.0f;
    image_template<float> displayImage;
    image_template<float> outputImage;
    image_template<float> netResult;
    unsigned char* brushMask = nullptr;
    unsigned char* autoMask = nullptr;

    // Models.
    std::vector<std::string> modelNames;
    std::vector<AILayers*> layers;
    std::vector<std::vector<unsigned char>> modelBuffers;
    char engineInfo[1024] = {};

    // Texts.
    std::string title;
    std::string productKey;
    std::string productId;
    std::string version;
    std::string makeMaskLabel;
    std::string blendLabel;
    std::string automaskLabel;
    std::string progressTitle;
    std::string notHappyLabel;
    std::string currentFileName;
    std::string savePath;
    std::string progressText;

    // Saving.
    bool saving = false;
    int saveStep = -1;
    // Why the last save failed; empty after a successful one.
    std::string saveError;

    // Threads.
    std::thread processingThread;
    std::thread batchThread;
    std::thread batchLoaderThread;
    std::thread modelSystemThread;
    std::mutex batchMutex;
    std::thread::id creatorThread;

protected:
    void ResetSave(bool keepBusy = false);
    void FillDisplayFromMain();
    void FreeImageBuffers();
};

// Default save progress: a 70-character bar on standard output.
void ConsoleCallback(void* engine, float percent);
// The bar's text for a percentage, without the carriage return.
std::string ConsoleBarText(float percent);
