// The processing pass with stand-in networks: network step, the four blend
// paths, the subject mask, the two output fills and the progress callback.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "FakeNetworks.h"
#include "engine/ElementThreadLinearBlend.h"
#include "engine/MaskPreview.h"
#include "engine/WorkSplit.h"

namespace {

float clamp01(float v) { return std::clamp(v, 0.0f, 1.0f); }

struct Loaded {
    FakeEngine fake;
    std::vector<float> original;
};

Loaded loadPicture(int width, int height)
{
    Loaded loaded{makeFakeEngine(), {}};
    float* data = makePicture(width, height);
    loaded.original.assign(data, data + size_t(width) * height * 3);
    EXPECT_TRUE(loaded.fake.engine->LoadTexture(data, width, height, 3));
    return loaded;
}

TEST(EnginePipeline, StrengthZeroGivesOriginalAndFullStrengthTheClampedNetwork)
{
    Loaded loaded = loadPicture(40, 30);
    PhotoCreator& engine = *loaded.fake.engine;
    image_template<float> out;
    for (float strength : {0.0f, 1.0f, 0.5f}) {
        engine.SetAlpha(strength);
        ASSERT_TRUE(engine.GetOutputImage(out, nullptr, true));
        ASSERT_EQ(out.shape(), "(40, 30, 4)");
        for (size_t p = 0; p < 40 * 30; ++p) {
            for (int c = 0; c < 3; ++c) {
                const float orig = loaded.original[p * 3 + c];
                const float net = clamp01(fakeClean(orig));
                const float expected = clamp01(net * strength + orig * (1.0f - strength));
                ASSERT_EQ(out.data[p * 4 + c], expected) << "strength " << strength << " pixel " << p;
            }
            ASSERT_EQ(out.data[p * 4 + 3], 1.0f);
        }
    }
    // The network ran once; strength changes only re-blend.
    EXPECT_EQ(loaded.fake.cleaner->calls, 1);
    out.release();
}

TEST(EnginePipeline, BrushMaskWeightsTheBlend)
{
    Loaded loaded = loadPicture(12, 9);
    PhotoCreator& engine = *loaded.fake.engine;
    engine.brushMask[0] = 0;   // protected
    engine.brushMask[1] = 51;  // one fifth
    image_template<float> out;
    ASSERT_TRUE(engine.GetOutputImage(out, nullptr, true));
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(out.data[c], loaded.original[c]);
        const float e = 1.0f * (51.0f / 255.0f);
        const float orig = loaded.original[3 + c];
        EXPECT_EQ(out.data[4 + c], clamp01(clamp01(fakeClean(orig)) * e + orig * (1.0f - e)));
    }
    out.release();
}

TEST(EnginePipeline, AutomaskKeepsTheSubjectsPixels)
{
    Loaded loaded = loadPicture(64, 48);
    PhotoCreator& engine = *loaded.fake.engine;
    ASSERT_NE(engine.autoMask, nullptr);
    engine.automaskEnabled = true;
    image_template<float> out;
    ASSERT_TRUE(engine.GetOutputImage(out, nullptr, true));
    int subject = 0, background = 0;
    for (size_t p = 0; p < 64 * 48; ++p) {
        const float orig = loaded.original[p * 3 + 1];
        if (engine.autoMask[p] == 255) {
            ++subject;
            ASSERT_EQ(out.data[p * 4 + 1], orig) << p;
        } else if (engine.autoMask[p] == 0) {
            ++background;
            ASSERT_EQ(out.data[p * 4 + 1], clamp01(fakeClean(orig))) << p;
        }
    }
    EXPECT_GT(subject, 100);
    EXPECT_GT(background, 100);
    out.release();
}

TEST(EnginePipeline, SubjectMaskIsTheBilinearEnlargementOfTheMaskNetwork)
{
    Loaded loaded = loadPicture(512, 256);
    PhotoCreator& engine = *loaded.fake.engine;
    // Column j samples the 256-wide map at j / 2 - 0.25; the subject spans map
    // columns 64..191, so image column 129 lies fully inside and 127 on the edge.
    const unsigned char* row = engine.autoMask + 128 * 512;
    EXPECT_EQ(row[129], 255);
    EXPECT_EQ(row[127], static_cast<unsigned char>(0.25f * 255.0f));
    EXPECT_EQ(row[128], static_cast<unsigned char>(0.75f * 255.0f));
    EXPECT_EQ(row[10], 0);
    EXPECT_EQ(engine.autoMask[10 * 512 + 200], 0);
}

TEST(EnginePipeline, TinyImageIsNotSentToTheNetwork)
{
    Loaded loaded = loadPicture(4, 100);
    PhotoCreator& engine = *loaded.fake.engine;
    image_template<float> out;
    EXPECT_FALSE(engine.GetOutputImage(out, nullptr, true));
    EXPECT_EQ(loaded.fake.cleaner->calls, 0);
    EXPECT_EQ(engine.errorText, "Failed to process image");
    EXPECT_TRUE(engine.errorFlag);
    EXPECT_EQ(out.data, nullptr);
}

TEST(EnginePipeline, FailedOrCancelledNetworkGivesNoOutput)
{
    {
        Loaded loaded = loadPicture(20, 20);
        loaded.fake.cleaner->fail = true;
        image_template<float> out;
        EXPECT_FALSE(loaded.fake.engine->GetOutputImage(out, nullptr, true));
        EXPECT_TRUE(loaded.fake.engine->errorFlag);
    }
    {
        Loaded loaded = loadPicture(20, 20);
        loaded.fake.engine->runState = Cancelled;
        image_template<float> out;
        EXPECT_FALSE(loaded.fake.engine->GetOutputImage(out, nullptr, true));
        // A cancelled run ends quietly.
        EXPECT_FALSE(loaded.fake.engine->errorFlag);
    }
}

TEST(EnginePipeline, ProgressCallbackCancelsUnlessRunningOrApplyPending)
{
    PhotoCreator engine(false);
    EXPECT_FALSE(PhotoEngine::pluginProgressCallback(nullptr, 50));
    const std::pair<RunState, bool> cases[] = {{Running, false},  {ApplyPending, false}, {Cancelled, true},
                                               {Restarting, true}, {Closed, true},        {Applied, true}};
    for (auto [state, cancels] : cases) {
        engine.runState = state;
        EXPECT_EQ(PhotoEngine::pluginProgressCallback(&engine, 40), cancels) << state;
    }
    EXPECT_FLOAT_EQ(engine.progress, 0.4f);
    static float seen = -1;
    engine.progressCallback = [](void*, float percent) { seen = percent; };
    PhotoEngine::pluginProgressCallback(&engine, 75);
    EXPECT_EQ(seen, 75.0f);
}

TEST(EnginePipeline, BackgroundRunFillsTheResultAndReblendsWithoutTheNetwork)
{
    Loaded loaded = loadPicture(30, 30);
    PhotoCreator& engine = *loaded.fake.engine;
    engine.StartNetProcessingInThread();
    engine.StopNetProcessing();
    EXPECT_TRUE(engine.netResultReady);
    EXPECT_FALSE(engine.busy);
    EXPECT_EQ(engine.pendingRuns, 0);
    engine.SetAlpha(0.0f);
    engine.UpdateImage(true, nullptr, false);
    EXPECT_EQ(loaded.fake.cleaner->calls, 1);
    EXPECT_EQ(engine.outputImage.data[5], loaded.original[5]);
}

TEST(ConsoleBar, SeventyCharactersWithAnArrowAtTheFront)
{
    const std::pair<float, std::string> cases[] = {
        {0.0f, "[>" + std::string(69, ' ') + "] 0 %"},
        {50.0f, "[" + std::string(35, '=') + ">" + std::string(34, ' ') + "] 50 %"},
        {99.9f, "[" + std::string(69, '=') + ">] 99 %"},
        {100.0f, "[" + std::string(70, '=') + "] 100 %"},
    };
    for (const auto& [percent, text] : cases) EXPECT_EQ(ConsoleBarText(percent), text) << percent;
}

TEST(WorkSplit, TenWorkersCoverTheRangeWithoutOverrun)
{
    for (int64_t total : {0, 7, 10, 23}) {
        std::vector<std::pair<int64_t, int64_t>> ranges;
        struct Record {
            std::thread thread;
            void Run() {}
        };
        RunBlendWorkers(total, [&](int64_t first, int64_t end) {
            ranges.emplace_back(first, end);
            return std::make_unique<Record>();
        });
        ASSERT_EQ(ranges.size(), 10u);
        int64_t covered = 0, nonEmpty = 0;
        for (auto [first, end] : ranges) {
            EXPECT_EQ(first, std::min(total, covered));
            EXPECT_LE(end, total);
            EXPECT_LE(end - first, (total + 9) / 10);
            nonEmpty += end > first;
            covered = end;
        }
        EXPECT_EQ(covered, total);
        if (total == 7) {
            EXPECT_EQ(nonEmpty, 7);
        }
    }
}

TEST(OutputFills, NonMaskedKeepsHighlightsAndZeroesNegatives)
{
    PhotoCreator engine(false);
    float values[] = {-0.5f, 1.2f, 0.3f, 0, 0, 0};
    engine.outputImage = image_template<float>(2, 1, 3, values);
    image_template<float> out;
    out.allocate(2, 1, 4);
    ASSERT_TRUE(engine.GetOutputImageNonMasked(out, false));
    EXPECT_EQ(out.data[0], 0.0f);
    EXPECT_EQ(out.data[1], 1.2f);
    EXPECT_EQ(out.data[2], 0.3f);
    EXPECT_EQ(out.data[3], 1.0f);
    engine.outputImage = image_template<float>();
    out.release();
}

TEST(OutputFills, MaskedMarksChangedPixelsWithASoftRim)
{
    PhotoCreator engine(false);
    const int W = 5, H = 5;
    std::vector<float> orig(W * H * 3 + 3, 0.5f), res = orig;
    engine.mainImage = image_template<float>(W, H, 3, orig.data());
    engine.outputImage = image_template<float>(W, H, 3, res.data());
    image_template<float> out;
    out.allocate(W, H, 4);
    ASSERT_TRUE(engine.GetOutputImageMasked(out, false));
    for (int p = 0; p < W * H; ++p) ASSERT_EQ(out.data[p * 4 + 3], 0.0f);

    res[(2 * W + 2) * 3 + 1] = 0.52f; // one changed interior pixel
    ASSERT_TRUE(engine.GetOutputImageMasked(out, false));
    auto alpha = [&](int x, int y) { return out.data[(y * W + x) * 4 + 3]; };
    EXPECT_EQ(alpha(2, 2), 1.0f);
    for (auto [x, y] : {std::pair{1, 2}, {3, 2}, {2, 1}, {2, 3}}) EXPECT_EQ(alpha(x, y), 0.99f);
    for (auto [x, y] : {std::pair{1, 1}, {3, 3}, {0, 2}, {2, 0}}) EXPECT_EQ(alpha(x, y), 0.0f);
    EXPECT_EQ(out.data[(2 * W + 2) * 4 + 1], 0.52f);
    engine.mainImage = image_template<float>();
    engine.outputImage = image_template<float>();
    out.release();
}

TEST(MaskPreview, ShowsTheChangeAmplifiedWhereTheRetouchApplies)
{
    // 4 x 2 image shown as 2 x 1: each preview pixel averages a 2 x 2 box.
    const float orig[8 * 3] = {0.1f, 0.2f, 0.3f, 0.1f, 0.2f, 0.3f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f,
                               0.1f, 0.2f, 0.3f, 0.1f, 0.2f, 0.3f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
    float net[8 * 3];
    for (int i = 0; i < 24; ++i) net[i] = orig[i] + 0.01f;
    const unsigned char brush[8] = {255, 255, 0, 0, 255, 255, 0, 0};
    float preview[2 * 4] = {};
    MaskPreviewRows job;
    job.firstRow = 0;
    job.endRow = 1;
    job.previewWidth = 2;
    job.previewHeight = 1;
    job.imageWidth = 4;
    job.imageHeight = 2;
    job.strength = 1.0f;
    job.brushMask = brush;
    job.network = net;
    job.preview = preview;
    job.original = orig;
    drawMaskPreviewRows(job);
    // Left: q = 1, d = 10: G = (0.01 + 0.01) * 10, B = 0.01 * 10.
    EXPECT_NEAR(preview[0], 0.11f, 1e-6);
    EXPECT_NEAR(preview[1], 0.2f, 1e-5);
    EXPECT_NEAR(preview[2], 0.1f, 1e-5);
    EXPECT_EQ(preview[3], 1.0f);
    // Right: q = 0, the cleaned picture.
    EXPECT_NEAR(preview[4], 0.51f, 1e-6);
    EXPECT_NEAR(preview[5], 0.51f, 1e-6);
    EXPECT_NEAR(preview[6], 0.51f, 1e-6);

    // With the subject mask on the left box, the subject is protected there too.
    const unsigned char subject[8] = {255, 255, 0, 0, 255, 255, 0, 0};
    job.subjectMask = subject;
    drawMaskPreviewRows(job);
    EXPECT_NEAR(preview[1], 0.21f, 1e-6);
}

TEST(EnginePipeline, PreviewModeDrawsTheMaskIntoThePreviewOnly)
{
    Loaded loaded = loadPicture(16, 16);
    PhotoCreator& engine = *loaded.fake.engine;
    engine.UpdateImage(true, nullptr, false);
    std::vector<float> output(engine.outputImage.data, engine.outputImage.data + 16 * 16 * 3);
    engine.previewMask = true;
    engine.SetAlpha(0.0f);
    engine.UpdateImage(true, nullptr, false);
    EXPECT_TRUE(std::equal(output.begin(), output.end(), engine.outputImage.data));
    // Strength 0: d = 0, so the preview shows the cleaned picture.
    EXPECT_EQ(engine.displayImage.data[0], clamp01(fakeClean(loaded.original[0])));
}

TEST(EngineLoad, PreviewSizeFollowsTheLongerSide)
{
    struct Case {
        int width, height, displayWidth, displayHeight;
        float scale;
    };
    for (const Case& c : {Case{4000, 2000, 3000, 1500, 0.75f}, Case{3000, 3000, 3000, 3000, 1.0f},
                          Case{1, 1, 1, 1, 1.0f}, Case{9000, 3, 3000, 1, 3000.0f / 9000.0f}}) {
        FakeEngine fake = makeFakeEngine();
        ASSERT_TRUE(fake.engine->LoadTexture(makePicture(c.width, c.height), c.width, c.height, 3));
        EXPECT_EQ(fake.engine->displayWidth, c.displayWidth);
        EXPECT_EQ(fake.engine->displayHeight, c.displayHeight);
        EXPECT_FLOAT_EQ(fake.engine->displayScale, c.scale);
        EXPECT_EQ(fake.engine->displayImage.data[3], 1.0f);
    }
}

} // namespace
