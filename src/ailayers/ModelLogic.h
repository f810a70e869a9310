#pragma once
// The interface through which an AILayers object drives one network on one
// compute back-end. ModelLogicOpenCL is the implementation the product uses.

#include <cstddef>
#include <string>

#include "image/image_template.h"

class ModelLogic {
public:
    // A failed run is retried on the next device while this is set.
    bool switchingEnabled = true;
    std::string appInfo;

    virtual ~ModelLogic() = default;
    // `data` must stay alive and unchanged for the life of the back-end: a
    // device switch parses it again.
    virtual bool initModel(const char* data, unsigned size, std::string text1, std::string text2) = 0;
    virtual void deallocate() = 0;
    // Output of the last layer; all fields zero when the run failed everywhere.
    virtual image_template<float> runModel(const float* data, unsigned width, unsigned height, unsigned channels) = 0;
    virtual const float* runModel2Inputs(const float* a, const float* b, unsigned width, unsigned height,
                                         unsigned channels, int* status) = 0;
    virtual const float* runModel3Inputs(image_template<float> a, image_template<float> b, image_template<float> c,
                                         int* status) = 0;
    virtual const float* runModelAsync(const float* data, unsigned width, unsigned height, unsigned channels,
                                       int* status, bool& ready) = 0;
    // Byte variant: a new buffer of width x height x output channels bytes that
    // the caller releases with delete[]; null when nothing is loaded.
    virtual unsigned char* runModel(const float* data, unsigned width, unsigned height, unsigned channels,
                                    int* status, bool flag, float factor) = 0;
    virtual std::string getNNEngineInformation(const char* query, int* deviceCount) = 0;
    // Gathers and clears the collected error texts.
    virtual std::string getErrorText() = 0;
    virtual bool isLoaded() = 0;
    virtual int getModelTimestamp() { return 0; }
    virtual int getInputChannelCount() { return 3; }
    virtual size_t getModelRAM() { return 0; }
    virtual void invalidateCache() {}
    virtual bool getModelOutput(image_template<float>& out, int /*index*/)
    {
        out = image_template<float>();
        return false;
    }
};
