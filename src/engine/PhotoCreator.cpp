#include "engine/PhotoCreator.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>

#include "engine/ElementThreadAutomask.h"
#include "engine/ElementThreadBrushAutomaskResize.h"
#include "engine/ElementThreadBrushBlendResize.h"
#include "engine/ElementThreadLinearBlend.h"
#include "engine/WorkSplit.h"
#include "image/ImageOperations.h"

using json = nlohmann::json;

namespace {

// Integer reading of a JSON number or boolean, clamped into [lo, hi] before
// any narrowing (a huge value must not overflow the conversion). Strings,
// nulls, arrays and objects throw, as nlohmann's own conversion does.
int64_t clampedInteger(const json& value, int64_t lo, int64_t hi)
{
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        return static_cast<int64_t>(std::clamp(d, static_cast<double>(lo), static_cast<double>(hi)));
    }
    if (value.is_number_unsigned()) return std::min<uint64_t>(value.get<uint64_t>(), static_cast<uint64_t>(hi));
    if (value.is_number_integer()) return std::clamp<int64_t>(value.get<int64_t>(), lo, hi);
    return std::clamp<int64_t>(value.get<int>(), lo, hi); // booleans; the rest throws
}

bool nonZero(const json& value) { return clampedInteger(value, -1, 1) != 0; }

float toFloat(const json& value)
{
    return static_cast<float>(std::clamp(value.get<double>(), -static_cast<double>(FLT_MAX), static_cast<double>(FLT_MAX)));
}

} // namespace

PhotoCreator::PhotoCreator(bool fileModeFlag)
{
    title = "Kestrelion Tessaline";
    windowTitle = "Kestrelion Tessaline";
    productKey = "Kestrelion Tessaline";
    productId = "kestreliontessaline";
    makeMaskLabel = "Make Mask";
    blendLabel = "Blend";
    automaskLabel = "Automask";
    modelNames = {"TessalineId", "subjectmasking"};
    processingScale = 3;
    fileMode = fileModeFlag;
    loadDirtIcons = true;
    keepModelRevisionPositive = true;
}

// ---- settings JSON -------------------------------------------------------------

std::string PhotoCreator::GetSettingsInJson()
{
    json settings;
    settings["Alpha1"] = static_cast<double>(*strengthPtr);
    settings["Automask"] = *automaskPtr;
    settings["Layer"] = *layerOutputPtr ? 1 : 0;
    settings["Scale"] = *processingScalePtr;
    return settings.dump();
}

int PhotoCreator::SetSettingsFromJson(std::string text)
{
    json settings;
    try {
        settings = json::parse(text, nullptr, true, false);
    } catch (...) {
        return -1;
    }
    if (!settings.is_object()) return 0;
    try {
        if (settings.contains("Alpha1")) {
            const json& alpha = settings["Alpha1"];
            float value = *strengthPtr;
            if (alpha.is_number()) {
                value = toFloat(alpha);
            } else if (settings.contains("alpha1")) {
                const json& lower = settings["alpha1"];
                if (lower.is_number()) value = toFloat(lower);
            }
            SetAlpha(value);
        }
        if (settings.contains("Scale")) *processingScalePtr = static_cast<int>(clampedInteger(settings["Scale"], -1, 3));
        if (settings.contains("Automask")) *automaskPtr = nonZero(settings["Automask"]);
        if (settings.contains("Layer")) *layerOutputPtr = nonZero(settings["Layer"]);
    } catch (...) {
        return -1;
    }
    return 0;
}

// ---- product hooks ---------------------------------------------------------------

float PhotoCreator::FaceSizePredict() { return static_cast<float>(*processingScalePtr); }

int PhotoCreator::CalcNetDownscaleK(int)
{
    switch (*processingScalePtr) {
    case 1: return 3;
    case 2: return 2;
    default: return 1;
    }
}

bool PhotoCreator::RadioFaceSize()
{
    previousProcessingScale = *processingScalePtr;
    if (*processingScalePtr == 0) *processingScalePtr = 3;
    // The three dirt-strength buttons are drawn by the editor; without it no
    // button can be clicked, so nothing needs redoing.
    netDownscaleK = CalcNetDownscaleK(scaleHint);
    return false;
}

bool PhotoCreator::PutToHeader() { return false; }
bool PhotoCreator::ShowResolutionSelector() { return RadioFaceSize(); }

bool PhotoCreator::AllocateArrays()
{
    const int64_t pixels = static_cast<int64_t>(mainImage.width) * mainImage.height;
    delete[] brushMask;
    brushMask = pixels > 0 ? new (std::nothrow) unsigned char[pixels + 1] : nullptr;
    const bool outputOk = outputImage.allocate(mainImage.width, mainImage.height, 3);
    const bool displayOk = displayImage.allocate(displayWidth, displayHeight, 4);
    if (brushMask == nullptr || !outputOk || !displayOk) {
        errorFlag = true;
        errorText = "Not enough memory RAM!";
        return false;
    }
    std::memset(brushMask, 255, static_cast<size_t>(pixels));
    if (!AutomaskPredict()) {
        errorText += "Automask predict error!\n";
        errorFlag = true;
    }
    return true;
}

// ---- subject mask ------------------------------------------------------------------

namespace {

void reduceToMaskInput(const image_template<float>& image, float* out, int side)
{
    const int64_t W = image.width, H = image.height;
    for (int r = 0; r < side; ++r) {
        const int64_t r0 = r * H / side;
        const int64_t r1 = std::max(r0 + 1, (r + 1) * H / side);
        for (int c = 0; c < side; ++c) {
            const int64_t c0 = c * W / side;
            const int64_t c1 = std::max(c0 + 1, (c + 1) * W / side);
            float sum[3] = {0, 0, 0};
            for (int64_t y = r0; y < r1; ++y)
                for (int64_t x = c0; x < c1; ++x)
                    for (int k = 0; k < 3; ++k) sum[k] += image.data[(y * W + x) * 3 + k];
            const float count = static_cast<float>((r1 - r0) * (c1 - c0));
            for (int k = 0; k < 3; ++k) out[(int64_t(r) * side + c) * 3 + k] = sum[k] / count;
        }
    }
}

void enlargeMask(const float* prediction, int side, unsigned char* mask, int64_t W, int64_t H)
{
    const float scaleY = static_cast<float>(side) / static_cast<float>(H);
    const float scaleX = static_cast<float>(side) / static_cast<float>(W);
    std::vector<int> col0(W), col1(W);
    std::vector<float> fxs(W);
    for (int64_t j = 0; j < W; ++j) {
        const float u = scaleX * static_cast<float>(j) - 0.25f;
        const float c0 = std::floor(u);
        fxs[j] = u - c0;
        col0[j] = std::clamp(static_cast<int>(c0), 0, side - 1);
        col1[j] = std::clamp(static_cast<int>(c0) + 1, 0, side - 1);
    }
    for (int64_t i = 0; i < H; ++i) {
        const float v = scaleY * static_cast<float>(i) - 0.25f;
        const float r0f = std::floor(v);
        const float fy = v - r0f;
        const float* row0 = prediction + int64_t(std::clamp(static_cast<int>(r0f), 0, side - 1)) * side;
        const float* row1 = prediction + int64_t(std::clamp(static_cast<int>(r0f) + 1, 0, side - 1)) * side;
        unsigned char* out = mask + i * W;
        for (int64_t j = 0; j < W; ++j) {
            const float fx = fxs[j];
            const float value = (1 - fy) * (1 - fx) * row0[col0[j]] + (1 - fy) * fx * row0[col1[j]] +
                                fy * (1 - fx) * row1[col0[j]] + fy * fx * row1[col1[j]];
            out[j] = static_cast<unsigned char>(std::clamp(value, 0.0f, 1.0f) * 255.0f);
        }
    }
}

} // namespace

bool PhotoCreator::AutomaskPredict()
{
    const int side = kMaskSide;
    std::unique_ptr<float[]> input(new (std::nothrow) float[side * side * 3 + 3]);
    if (!input || layers.size() < 2 || mainImage.data == nullptr) return false;
    reduceToMaskInput(mainImage, input.get(), side);
    const float* prediction = layers[1]->predictFloat(input.get(), side, side, 3, false, true);
    errorText = layers[1]->getErrorText(2048);
    if (prediction != nullptr && errorText.empty()) {
        const int64_t pixels = static_cast<int64_t>(mainImage.width) * mainImage.height;
        delete[] autoMask;
        autoMask = new (std::nothrow) unsigned char[pixels + 1];
        if (autoMask != nullptr) {
            enlargeMask(prediction, side, autoMask, mainImage.width, mainImage.height);
            return true;
        }
        errorText = "Not enough memory RAM!";
    }
    errorText = "Failed to process image for automask\n" + errorText + "\n";
    if (runState != Cancelled && runState != Restarting) errorFlag = true;
    return false;
}

// ---- processing pass ------------------------------------------------------------------

bool PhotoCreator::RunNetworkStep()
{
    try {
        netDownscaleK = CalcNetDownscaleK(scaleHint);
        progressCallback = currentProgress;
        netResult = image_template<float>();
        if (mainImage.width >= 5 && mainImage.height >= 5 && !layers.empty())
            netResult = layers[0]->predictByTilesImageFloat(mainImage, kTileSize, kTileCore, -netDownscaleK,
                                                            pluginProgressCallback, this);
        // A network whose output does not match the picture cannot be blended.
        const bool usable = netResult.data != nullptr && netResult.width == mainImage.width &&
                            netResult.height == mainImage.height && netResult.channels == 3;
        if ((runState != Running && runState != ApplyPending) || !usable) {
            if (!netResultReady) {
                errorText = "Failed to process image";
                if (runState != Cancelled && runState != Restarting) errorFlag = true;
                busy = false;
            }
            return false;
        }
        float* values = netResult.data;
        const int64_t count = netResult.elementCount();
        for (int64_t i = 0; i < count; ++i) values[i] = std::clamp(values[i], 0.0f, 1.0f);
        return true;
    } catch (...) {
        runState = Failed;
        return false;
    }
}

void PhotoCreator::BlendIntoOutput(bool useAutomask)
{
    const int64_t pixels = static_cast<int64_t>(mainImage.width) * mainImage.height;
    // The workers read the original from mainImage and write every pixel of
    // outputImage, which gives the same values as copying first and blending
    // in place, with one pass over memory less; only the slack is copied.
    std::memcpy(outputImage.data + pixels * 3, mainImage.data + pixels * 3, 3 * sizeof(float));
    const float a = *strengthPtr;
    if (useAutomask) {
        RunBlendWorkers(pixels, [&](int64_t first, int64_t end) {
            auto record = std::make_unique<ElementThreadAutomask>();
            record->firstPixel = first;
            record->endPixel = end;
            record->network = netResult.data;
            record->output = outputImage.data;
            record->original = mainImage.data;
            record->brushMask = brushMask;
            record->subjectMask = autoMask;
            record->strength = a;
            record->networkChannels = 3;
            return record;
        });
    } else {
        RunBlendWorkers(pixels, [&](int64_t first, int64_t end) {
            auto record = std::make_unique<ElementThreadLinearBlend>();
            record->firstPixel = first;
            record->endPixel = end;
            record->network = netResult.data;
            record->output = outputImage.data;
            record->original = mainImage.data;
            record->brushMask = brushMask;
            record->strength = a;
            return record;
        });
    }
}

void PhotoCreator::BlendPreviewMask(bool useAutomask)
{
    const int rows = displayHeight;
    auto fill = [&](auto& record, int64_t first, int64_t end) {
        record->firstRow = static_cast<int>(first);
        record->endRow = static_cast<int>(end);
        record->previewWidth = displayWidth;
        record->previewHeight = displayHeight;
        record->imageWidth = mainImage.width;
        record->imageHeight = mainImage.height;
        record->strength = *strengthPtr;
        record->brushMask = brushMask;
        record->network = netResult.data;
        record->preview = displayImage.data;
        record->original = mainImage.data;
        record->originalChannels = 3;
    };
    if (useAutomask) {
        RunBlendWorkers(rows, [&](int64_t first, int64_t end) {
            auto record = std::make_unique<ElementThreadBrushAutomaskResize>();
            fill(record, first, end);
            record->subjectMask = autoMask;
            return record;
        });
    } else {
        RunBlendWorkers(rows, [&](int64_t first, int64_t end) {
            auto record = std::make_unique<ElementThreadBrushBlendResize>();
            fill(record, first, end);
            return record;
        });
    }
}

void PhotoCreator::UpdateImage(bool updateDisplay, EngineProgress progressFn, bool force)
{
    if (pendingRuns > 0 && !force) return;
    if (!mainImage.data || !outputImage.data || !brushMask || !displayImage.data) return;
    const bool wasReady = netResultReady;
    if (!netResultReady) {
        currentProgress = progressFn;
        if (!RunNetworkStep()) return;
    }
    const bool previewMode = previewMask || (toolMode != 0 && updateDisplay);
    // Without a subject mask (its network failed) the plain blend is the
    // honest result.
    const bool useAutomask = *automaskPtr && autoMask != nullptr;
    try {
        if (previewMode) {
            BlendPreviewMask(useAutomask);
        } else {
            BlendIntoOutput(useAutomask);
            if (updateDisplay) ResizeImageForDisplay34(outputImage, displayImage);
        }
    } catch (...) {
        runState = Failed;
        return;
    }
    if (!wasReady) {
        busy = false;
        netResultReady = true;
    }
}

// ---- layer output -----------------------------------------------------------------------

bool PhotoCreator::GetOutputImageMasked(image_template<float>& out, bool flag)
{
    if (outputImage.data == nullptr || out.data == nullptr || mainImage.data == nullptr) return false;
    const int64_t W = outputImage.width, H = outputImage.height;
    const int64_t count = W * H;
    const float* res = outputImage.data;
    const float* org = mainImage.data;
    float* dst = out.data;
    for (int64_t p = 0; p < count; ++p) {
        const float* r = res + p * 3;
        const float* o = org + p * 3;
        float* d = dst + p * 4;
        d[0] = flag ? 1.0f : r[0];
        d[1] = r[1];
        d[2] = r[2];
        const float change = std::fabs(r[0] - o[0]) + std::fabs(r[1] - o[1]) + std::fabs(r[2] - o[2]);
        d[3] = change > 0.01f ? 1.0f : 0.0f;
    }
    // A one-pixel soft rim around changed areas; 0.99 does not spread further.
    const int64_t first = W + 1;
    const int64_t last = (H - 2) * W + (W - 2);
    for (int64_t p = first; p <= last; ++p) {
        float& alpha = dst[p * 4 + 3];
        if (alpha != 0.0f) continue;
        if (dst[(p - 1) * 4 + 3] == 1.0f || dst[(p + 1) * 4 + 3] == 1.0f || dst[(p - W) * 4 + 3] == 1.0f ||
            dst[(p + W) * 4 + 3] == 1.0f)
            alpha = 0.99f;
    }
    return true;
}
