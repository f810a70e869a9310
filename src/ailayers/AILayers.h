#pragma once
// One neural network as the retouch engine sees it: loading, single and tiled
// predictions, error texts and information for the About text. It owns the
// inference back-end and the full-size result of tiled prediction.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "ailayers/ModelLogic.h"
#include "image/image_template.h"

enum ModelSystem { OpenCL = 3 };

class AILayersException : public std::exception {
public:
    const char* what() const noexcept override { return "AILayers exception: No multithreading allowed!!!"; }
};

// Progress of tiled prediction in percent; returning true asks to cancel.
using AILayersProgress = bool (*)(void* user, float percent);

class AILayers {
public:
    AILayers(int deviceIndex, std::string modelName, ModelSystem system);
    // Test seam: use the given back-end (may be null).
    explicit AILayers(std::unique_ptr<ModelLogic> backEnd);
    ~AILayers();
    AILayers(const AILayers&) = delete;
    AILayers& operator=(const AILayers&) = delete;

    void initializeAILayers(const char* info, char* out);
    bool loadModel(const char* data, unsigned size, const char* text1, const char* text2);
    bool modelLoaded();
    void deallocate();
    void deallocateModel();
    void deallocateImage();
    void invalidateCache();

    const float* predictFloat(const float* data, unsigned width, unsigned height, unsigned channels, bool unused,
                              bool invalidate);
    image_template<float> predictImageFloat(image_template<float> image, bool unused, bool invalidate);
    const float* predict2InputsFloat(const float* a, const float* b, unsigned width, unsigned height,
                                     unsigned channels);
    const float* predict3InputsFloat(image_template<float> a, image_template<float> b, image_template<float> c);
    const float* predictFloatAsync(const float* data, unsigned width, unsigned height, unsigned channels,
                                   bool& ready);
    unsigned char* predict(const float* data, unsigned width, unsigned height, unsigned channels, bool flag);

    // Tiled prediction of a whole photograph; throws AILayersException when
    // another tiled prediction is running in the process.
    image_template<float> predictByTilesImageFloat(image_template<float> image, int tileSize, int tileStep,
                                                   int downscale, AILayersProgress progress, void* user);
    const float* predictByTilesFloat(const float* data, unsigned width, unsigned height, unsigned channels,
                                     int tileSize, int tileStep, int downscale, AILayersProgress progress,
                                     void* user);

    float getAILayersVersion();
    std::string getErrorText(int code);
    std::string getNNEngineInformation(const char* query, char* out, int* deviceCount);
    std::string getModelInformation(const char* query, int unused);
    void getModelInformation(const char* query, int unused, char* out);
    std::string getDeviceName(int* deviceCount);

    ModelLogic* backEnd() { return modelLogic.get(); }

private:
    // Tile layout in full-resolution pixels.
    struct TileGeometry {
        int64_t factor;     // K: shrink factor before the network
        int64_t step;       // P: core edge
        int64_t edge;       // T: tile edge
        int64_t margin;     // border on each side of the core
        int64_t rows;
        int64_t columns;
        bool restoreDetail; // shrink with a residual that is added back
    };

    image_template<float> runTiles(const image_template<float>& image, int tileSize, int tileStep, int downscale,
                                   AILayersProgress progress, void* user);
    struct TileWorkspace;
    bool runOneTile(const image_template<float>& image, const TileGeometry& g, int tileSize, int64_t row,
                    int64_t column, TileWorkspace& work);
    image_template<float> failTiles(const std::string& errorText, const std::string& logLine);
    void enlargeCore(const image_template<float>& result, const TileGeometry& g, int64_t x0, int64_t y0,
                     TileWorkspace& work);
    bool ensureTiledResult(int width, int height, int channels);
    void copyCore(const float* tileResult, const TileGeometry& g, int64_t x0, int64_t y0);

    std::string layerErrorText;
    std::unique_ptr<ModelLogic> modelLogic;
    bool logging = false;
    int tilesSplit = 0;
    std::string appInfo;
    image_template<float> tiledResult;
};

// Resources beside the module: <module dir>/../share/tessaline/<name>.<type>.
// The pointer overload leaves data and size untouched when the file is missing;
// the caller releases data with delete[].
void loadResource(const char* name, const char* type, unsigned char*& data, size_t& size);
std::vector<unsigned char> loadResource(const char* name, const char* type);
// The resource folder, empty when the module's own file cannot be found.
std::string resourceFolder();
