// Tiled prediction of AILayers: the photograph is cut into overlapping square
// tiles, each tile optionally shrunk for the network and brought back to full
// resolution with its fine detail restored, and the tile cores assembled into
// one full-size result.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "ailayers/AILayers.h"
#include "ailayers/DiagnosticsLog.h"
#include "image/BilinearUpscaleWindow.h"
#include "image/ImageOperations.h"
#include "services/SettingsStore.h"

namespace {

constexpr const char* kLogFile = "ailayers.log";
constexpr const char* kTileRamMessage =
    "Not enough RAM to process the image. Please try to downscale the image or add more RAM";
// Far beyond any tile a network runs on; keeps the tile arithmetic in range.
constexpr int64_t kMaxTileEdge = 1 << 15;

// Tiled predictions in progress in the process. The error channels and the
// shared result buffers allow only one at a time.
std::atomic<int> enterCount {0};

// Leaves the count as it was found on every exit from a prediction.
class EnterGuard {
public:
    EnterGuard()
    {
        int expected = 0;
        if (!enterCount.compare_exchange_strong(expected, 1)) throw AILayersException();
    }
    ~EnterGuard() { enterCount.fetch_sub(1); }
    EnterGuard(const EnterGuard&) = delete;
    EnterGuard& operator=(const EnterGuard&) = delete;
};

// An array of floats released when it goes out of scope.
using FloatBuffer = std::unique_ptr<float[]>;

FloatBuffer takeFloats(int64_t count)
{
    if (count <= 0) return nullptr;
    return FloatBuffer(new (std::nothrow) float[static_cast<size_t>(count)]);
}

// Copies the edge x edge pixels whose top-left corner is (left, top),
// repeating the image's border rows and columns outside it.
void fillTile(const image_template<float>& image, int64_t left, int64_t top, int64_t edge, float* tile)
{
    const int64_t c = image.channels;
    const int64_t insideBegin = std::clamp(-left, int64_t(0), edge);
    const int64_t insideEnd = std::clamp(image.width - left, insideBegin, edge);
    for (int64_t ty = 0; ty < edge; ++ty) {
        const int64_t y = std::clamp(top + ty, int64_t(0), int64_t(image.height) - 1);
        const float* row = image.data + y * image.width * c;
        float* out = tile + ty * edge * c;
        for (int64_t tx = 0; tx < insideBegin; ++tx) std::memcpy(out + tx * c, row, sizeof(float) * c);
        if (insideEnd > insideBegin)
            std::memcpy(out + insideBegin * c, row + (left + insideBegin) * c,
                        sizeof(float) * size_t((insideEnd - insideBegin) * c));
        const float* last = row + (int64_t(image.width) - 1) * c;
        for (int64_t tx = insideEnd; tx < edge; ++tx) std::memcpy(out + tx * c, last, sizeof(float) * c);
    }
}

// Plain box shrink: each K x K block summed and multiplied by 1/K^2.
void boxShrink(const float* tile, int64_t edge, int64_t k, int64_t channels, float* out)
{
    const int64_t small = edge / k;
    const float scale = 1.0f / static_cast<float>(k * k);
    for (int64_t y = 0; y < small; ++y)
        for (int64_t x = 0; x < small; ++x)
            for (int64_t ch = 0; ch < channels; ++ch) {
                float sum = 0.0f;
                for (int64_t dy = 0; dy < k; ++dy)
                    for (int64_t dx = 0; dx < k; ++dx)
                        sum += tile[((y * k + dy) * edge + x * k + dx) * channels + ch];
                out[(y * small + x) * channels + ch] = sum * scale;
            }
}

} // namespace

image_template<float> AILayers::predictByTilesImageFloat(image_template<float> image, int tileSize, int tileStep,
                                                         int downscale, AILayersProgress progress, void* user)
{
    if (logging) addLineToTempLog(kLogFile, "*predictByTilesImageFloat start");
    EnterGuard guard;
    try {
        return runTiles(image, tileSize, tileStep, downscale, progress, user);
    } catch (const std::exception& e) {
        const std::string message = std::string("Exception in predictByTilesImageFloat: ") + e.what();
        layerErrorText += message;
        if (logging) addLineToTempLog(kLogFile, message);
        tiledResult.release();
        return {};
    }
}

const float* AILayers::predictByTilesFloat(const float* data, unsigned width, unsigned height, unsigned channels,
                                           int tileSize, int tileStep, int downscale, AILayersProgress progress,
                                           void* user)
{
    image_template<float> image(static_cast<int32_t>(width), static_cast<int32_t>(height),
                                static_cast<int32_t>(channels), const_cast<float*>(data));
    predictByTilesImageFloat(image, tileSize, tileStep, downscale, progress, user);
    return tiledResult.data;
}

image_template<float> AILayers::failTiles(const std::string& errorText, const std::string& logLine)
{
    layerErrorText += errorText;
    if (logging && !logLine.empty()) addLineToTempLog(kLogFile, logLine);
    tiledResult.release();
    return {};
}

// Buffers of one tiled prediction, taken at the first tile and reused for
// every tile, so that no tile pays for fresh memory.
struct AILayers::TileWorkspace {
    FloatBuffer tile;            // T x T x C
    image_template<float> small; // the shrunk tile, when K >= 2
    FloatBuffer enlargedRow;     // one enlarged row of the shrunk tile's core, P x C

    ~TileWorkspace() { small.release(); }

    bool take(const TileGeometry& g, int tileSize, int64_t channels)
    {
        tile = takeFloats(g.edge * g.edge * channels + channels);
        if (!tile) return false;
        if (g.factor < 2) return true;
        if (!small.allocate(tileSize, tileSize, int32_t(channels))) return false;
        enlargedRow = takeFloats(g.step * channels);
        return bool(enlargedRow);
    }
};

image_template<float> AILayers::runTiles(const image_template<float>& image, int tileSize, int tileStep,
                                         int downscale, AILayersProgress progress, void* user)
{
    if (!modelLogic) {
        tiledResult.release();
        return {};
    }
    const int64_t k = std::max<int64_t>(1, std::abs(static_cast<int64_t>(downscale)));
    if (tileStep < 1 || tileSize < tileStep || int64_t(tileSize) * k > kMaxTileEdge || image.channels < 1 ||
        image.width < 0 || image.height < 0 || (image.data == nullptr && image.width > 0 && image.height > 0))
        return failTiles("Invalid tile geometry " + std::to_string(tileSize) + "/" + std::to_string(tileStep) +
                             " for image " + image.shape() + "\n",
                         "");

    TileGeometry g {};
    g.restoreDetail = downscale < 0;
    g.factor = k;
    g.step = int64_t(tileStep) * k;
    g.edge = int64_t(tileSize) * k;
    g.margin = (g.edge - g.step) / 2;
    g.rows = static_cast<int64_t>(std::ceil(static_cast<float>(image.height) / static_cast<float>(g.step)));
    g.columns = static_cast<int64_t>(std::ceil(static_cast<float>(image.width) / static_cast<float>(g.step)));

    // An empty image has nothing to return; an earlier result must not be
    // handed out as if it belonged to it.
    if (g.rows == 0 || g.columns == 0) tiledResult.release();

    std::unique_ptr<TileWorkspace> work;
    const float tiles = static_cast<float>(g.rows * g.columns);
    int64_t started = 0;
    for (int64_t r = 0; r < g.rows; ++r) {
        for (int64_t c = 0; c < g.columns; ++c) {
            if (!work) {
                work.reset(new (std::nothrow) TileWorkspace);
                if (!work || !work->take(g, tileSize, image.channels))
                    return failTiles(std::string(kTileRamMessage) + "\n", kTileRamMessage);
            }
            if (progress && progress(user, static_cast<float>(started) / (tiles / 100.0f))) {
                tiledResult.release();
                return {};
            }
            ++started;
            if (!runOneTile(image, g, tileSize, r, c, *work)) return {};
        }
    }
    work.reset();
    if (progress) progress(user, 100.0f);

    ++tilesSplit;
    setToReg("AILayers", "tilessplit", std::to_string(tilesSplit));
    setToReg("AILayers", "Device", modelLogic->getNNEngineInformation(appInfo.c_str(), nullptr));
    if (logging) {
        char first[64] = "";
        if (tiledResult.data) std::snprintf(first, sizeof first, "%f", tiledResult.data[0]);
        addLineToTempLog(kLogFile, std::string("PredictByTilesImageFloat Done, returning ") + first);
    }
    return tiledResult;
}

bool AILayers::runOneTile(const image_template<float>& image, const TileGeometry& g, int tileSize, int64_t row,
                          int64_t column, TileWorkspace& work)
{
    const int64_t x0 = column * g.step;
    const int64_t y0 = row * g.step;
    const int64_t channels = image.channels;
    fillTile(image, x0 - g.margin, y0 - g.margin, g.edge, work.tile.get());

    // The network input: the tile itself, or its shrunk copy.
    const float* input = work.tile.get();
    if (g.factor >= 2) {
        const image_template<float> tileImage(int32_t(g.edge), int32_t(g.edge), int32_t(channels), work.tile.get());
        if (g.restoreDetail)
            imageDownscaleIntegral(tileImage, work.small, int(g.factor));
        else
            boxShrink(work.tile.get(), g.edge, g.factor, channels, work.small.data);
        input = work.small.data;
    }

    modelLogic->invalidateCache();
    if (logging)
        addLineToTempLog(kLogFile, "*** Processing tile " + std::to_string(column) + "x" + std::to_string(row));

    image_template<float> result;
    try {
        result = modelLogic->runModel(input, unsigned(tileSize), unsigned(tileSize), unsigned(channels));
    } catch (const std::exception& e) {
        failTiles(std::string("Exception in runModel ") + e.what(), "PredictByTilesImageFloat exception! Quitting");
        return false;
    }
    if (result.channels == 0 || result.data == nullptr) {
        failTiles("\nModel returned 0 channels\n", "PredictByTilesImageFloat Model returned 0 channels");
        return false;
    }
    // The core is addressed in the result by the input geometry, so a network
    // that changes the size cannot be assembled.
    if (result.width != tileSize || result.height != tileSize) {
        failTiles("\nModel returned " + result.shape() + " for a tile of " + std::to_string(tileSize) + "\n", "");
        return false;
    }
    if (!ensureTiledResult(image.width, image.height, result.channels)) {
        failTiles("Not enough RAM during AI inference", "");
        return false;
    }
    if (g.factor >= 2)
        enlargeCore(result, g, x0, y0, work);
    else
        copyCore(result.data, g, x0, y0);
    return true;
}

// The enlarged network result, with the detail of the tile restored, is
// needed only inside the core: the rest of the tile is discarded. Computing
// just the core gives the values the whole enlargement would have there:
// enlarged - (upscale(small) - tile), channel by channel.
void AILayers::enlargeCore(const image_template<float>& result, const TileGeometry& g, int64_t x0, int64_t y0,
                           TileWorkspace& work)
{
    const int64_t coreWidth = std::min<int64_t>(tiledResult.width, x0 + g.step) - x0;
    const int64_t coreHeight = std::min<int64_t>(tiledResult.height, y0 + g.step) - y0;
    const int64_t resultChannels = result.channels;
    const int64_t channels = work.small.channels;
    const int64_t shared = std::min(resultChannels, channels);

    BilinearUpscaleWindow resultWindow, smallWindow;
    resultWindow.init(result.width, result.height, int(g.edge), int(g.edge), int(resultChannels), int(g.margin),
                      int(coreWidth));
    if (g.restoreDetail)
        smallWindow.init(work.small.width, work.small.height, int(g.edge), int(g.edge), int(channels), int(g.margin),
                         int(coreWidth));

    for (int64_t y = 0; y < coreHeight; ++y) {
        const int tileRow = int(g.margin + y);
        float* out = tiledResult.data + ((y0 + y) * tiledResult.width + x0) * resultChannels;
        resultWindow.row(result.data, tileRow, out);
        if (!g.restoreDetail) continue;
        float* enlargedSmall = work.enlargedRow.get();
        smallWindow.row(work.small.data, tileRow, enlargedSmall);
        const float* tile = work.tile.get() + (tileRow * g.edge + g.margin) * channels;
        for (int64_t x = 0; x < coreWidth; ++x)
            for (int64_t ch = 0; ch < shared; ++ch) {
                const float residual = enlargedSmall[x * channels + ch] - tile[x * channels + ch];
                out[x * resultChannels + ch] -= residual;
            }
    }
}

bool AILayers::ensureTiledResult(int width, int height, int channels)
{
    if (tiledResult.data && tiledResult.width == width && tiledResult.height == height &&
        tiledResult.channels == channels)
        return true;
    return tiledResult.allocate(width, height, channels);
}

void AILayers::copyCore(const float* tileResult, const TileGeometry& g, int64_t x0, int64_t y0)
{
    const int64_t channels = tiledResult.channels;
    const int64_t x1 = std::min<int64_t>(tiledResult.width, x0 + g.step);
    const int64_t y1 = std::min<int64_t>(tiledResult.height, y0 + g.step);
    const size_t rowBytes = sizeof(float) * size_t((x1 - x0) * channels);
    for (int64_t y = y0; y < y1; ++y) {
        const float* from = tileResult + ((g.margin + y - y0) * g.edge + g.margin) * channels;
        float* to = tiledResult.data + (y * tiledResult.width + x0) * channels;
        std::memcpy(to, from, rowBytes);
    }
}
