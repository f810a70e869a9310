#pragma once
// The OpenCL back-end of one network. It owns the inference engine, remembers
// the model stream so the model can be loaded again, and makes every run
// robust against a failing device: a failed run tears the device down, moves
// to the next device in the rated order, reloads the model there and runs
// again, until a run succeeds or no device is left.

#include <functional>
#include <string>

#include "NNInference/NNInference.h"
#include "ailayers/ModelLogic.h"

class ModelLogicOpenCL : public ModelLogic {
public:
    // Where a run can be made to fail on purpose (tests of the fallback).
    enum class FailurePoint { Allocation, Prediction };

    ModelLogicOpenCL(int deviceIndex, std::string modelName);
    ~ModelLogicOpenCL() override;
    ModelLogicOpenCL(const ModelLogicOpenCL&) = delete;
    ModelLogicOpenCL& operator=(const ModelLogicOpenCL&) = delete;

    using ModelLogic::runModel;

    bool initModel(const char* data, unsigned size, std::string text1, std::string text2) override;
    void deallocate() override;
    image_template<float> runModel(const float* data, unsigned width, unsigned height, unsigned channels) override;
    const float* runModel2Inputs(const float* a, const float* b, unsigned width, unsigned height, unsigned channels,
                                 int* status) override;
    const float* runModel3Inputs(image_template<float> a, image_template<float> b, image_template<float> c,
                                 int* status) override;
    const float* runModelAsync(const float* data, unsigned width, unsigned height, unsigned channels, int* status,
                               bool& ready) override;
    unsigned char* runModel(const float* data, unsigned width, unsigned height, unsigned channels, int* status,
                            bool flag, float factor) override;
    std::string getNNEngineInformation(const char* query, int* deviceCount) override;
    std::string getErrorText() override;
    bool isLoaded() override;
    int getModelTimestamp() override;
    int getInputChannelCount() override;
    size_t getModelRAM() override;
    void invalidateCache() override;
    bool getModelOutput(image_template<float>& out, int index) override;
    virtual bool initModelNextDevice();

    int deviceIndex = 0;
    NNInference& engine() { return inference; }

    // Test seam: when set and returning true for (device index, point), that
    // step of the run fails as a device failure would.
    std::function<bool(int, FailurePoint)> injectFailure;

private:
    // One attempt on the current device: allocate, then predict. Returns the
    // output pointer or null.
    using Attempt = std::function<const float*()>;
    const float* runWithFallback(const std::string& logLine, const std::function<bool()>& allocate,
                                 const Attempt& predict);
    bool failureInjected(FailurePoint point) const;
    void tearDownDevice();
    void readOutputSize(int& width, int& height, int& channels);

    const char* modelBytes = nullptr;
    unsigned modelSize = 0;
    bool asyncRunning = false;
    std::string modelName;
    NNInference inference;
    bool loaded = false;
    std::string description1;
    std::string description2;
};

// The error callback the back-end installs: collects messages for getErrorText.
void collectErrorMessage(std::string message);
