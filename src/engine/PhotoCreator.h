#pragma once
// The backdrop-cleaning product: two networks (the cleaning network and the
// subject mask), three dirt strengths, and the subject-protected blend.

#include "engine/PhotoEngine.h"

class PhotoCreator : public PhotoEngine {
public:
    explicit PhotoCreator(bool fileMode);
    ~PhotoCreator() override = default;

    bool GetOutputImageMasked(image_template<float>& out, bool flag) override;
    int SetSettingsFromJson(std::string text) override;
    std::string GetSettingsInJson() override;
    void UpdateImage(bool updateDisplay, EngineProgress progress, bool force) override;
    float FaceSizePredict() override;
    int CalcNetDownscaleK(int hint) override;
    bool RadioFaceSize() override;
    bool PutToHeader() override;
    bool ShowResolutionSelector() override;
    bool AllocateArrays() override;
    virtual bool AutomaskPredict();

    // Tile geometry of the cleaning network, in network pixels.
    static constexpr int kTileSize = 832;
    static constexpr int kTileCore = 448;
    // The subject-masking network's square input.
    static constexpr int kMaskSide = 256;

private:
    EngineProgress currentProgress = nullptr;
    bool RunNetworkStep();
    void BlendIntoOutput(bool useAutomask);
    void BlendPreviewMask(bool useAutomask);
};
