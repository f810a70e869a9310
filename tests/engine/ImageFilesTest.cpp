// Reading and writing image files: formats, sample conversion, profiles,
// orientation, and files that are not what they claim to be.

#include <gtest/gtest.h>

#include <FreeImage.h>
#include <lcms2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FakeNetworks.h"
#include "Fixtures.h"
#include "engine/ExifOrientation.h"
#include "engine/ImageHandler.h"

namespace fs = std::filesystem;

namespace {

class ImageFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FreeImage_Initialise(FALSE);
        folder = fs::temp_directory_path() /
                 ("tessaline-files-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(folder);
    }
    void TearDown() override
    {
        fs::remove_all(folder);
        FreeImage_DeInitialise();
    }
    std::string file(const std::string& name) const { return (folder / name).string(); }

    // Writes a small 24-bit image (FreeImage keeps an ICC profile in TIFF
    // and JPEG files, not in PNG ones); the format follows the name.
    std::string writePng(const std::string& name, int w, int h, const std::vector<unsigned char>* icc = nullptr)
    {
        FIBITMAP* bitmap = FreeImage_Allocate(w, h, 24);
        for (int y = 0; y < h; ++y) {
            BYTE* line = FreeImage_GetScanLine(bitmap, y);
            for (int x = 0; x < w; ++x) {
                line[x * 3 + FI_RGBA_RED] = BYTE(10 * x);
                line[x * 3 + FI_RGBA_GREEN] = BYTE(20 * y);
                line[x * 3 + FI_RGBA_BLUE] = 200;
            }
        }
        if (icc) FreeImage_CreateICCProfile(bitmap, const_cast<unsigned char*>(icc->data()), long(icc->size()));
        const std::string path = file(name);
        EXPECT_TRUE(FreeImage_Save(FreeImage_GetFIFFromFilename(path.c_str()), bitmap, path.c_str(), 0));
        FreeImage_Unload(bitmap);
        return path;
    }

    fs::path folder;
};

std::vector<unsigned char> srgbProfileBytes()
{
    cmsHPROFILE profile = cmsCreate_sRGBProfile();
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<unsigned char> bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

// Prepares and writes `values` (W x H x 4) as `path`; returns the reason on failure.
bool saveValues(ImageHandler& handler, const std::vector<float>& values, int w, int h, const std::string& path,
                bool withMask, std::string& reason)
{
    handler.saveImage.allocate(w, h, 4);
    std::copy(values.begin(), values.end(), handler.saveImage.data);
    if (!handler.PrepareDataForSaving(path, withMask, reason)) return false;
    handler.SaveImageICC();
    return handler.WriteSaveBitmap(path, reason);
}

TEST_F(ImageFilesTest, LoadsTopRowFirstAsRgbFloat)
{
    ImageHandler handler;
    bool errorFlag = false;
    std::string errorText;
    ASSERT_TRUE(handler.loadMainImage(writePng("a.png", 3, 2), nullptr, errorFlag, errorText));
    ASSERT_EQ(handler.mainImage.shape(), "(3, 2, 3)");
    // FreeImage's scan line 0 is the bottom row: green 20 * 0 lands in the last row.
    EXPECT_FLOAT_EQ(handler.mainImage.data[(1 * 3 + 2) * 3 + 0], 20.0f / 255.0f);
    EXPECT_FLOAT_EQ(handler.mainImage.data[(1 * 3 + 2) * 3 + 1], 0.0f);
    EXPECT_FLOAT_EQ(handler.mainImage.data[0 * 3 + 1], 20.0f / 255.0f);
    EXPECT_FLOAT_EQ(handler.mainImage.data[2], 200.0f / 255.0f);
    EXPECT_FALSE(errorFlag);
}

TEST_F(ImageFilesTest, WritesEachFormatWithItsDepthAndTruncatedSamples)
{
    struct Case {
        const char* name;
        FREE_IMAGE_TYPE type;
        unsigned bpp; // as read back: FreeImage writes an all-opaque RGBA bitmap as RGB
        unsigned expected; // the written sample of 0.999
    };
    const std::vector<float> values = {0.999f, 0.0f, 1.5f, 0.25f, -1.0f, 0.5f, 0.999f, 0.8f};
    for (const Case& c : {Case{"o.png", FIT_BITMAP, 24, 254}, Case{"o.tif", FIT_RGB16, 48, 65469},
                          Case{"o.jpg", FIT_BITMAP, 24, 0}, Case{"o.bmp", FIT_BITMAP, 24, 254}}) {
        ImageHandler handler;
        std::string reason;
        ASSERT_TRUE(saveValues(handler, values, 2, 1, file(c.name), false, reason)) << c.name << reason;
        FIBITMAP* written = FreeImage_Load(FreeImage_GetFileType(file(c.name).c_str()), file(c.name).c_str(), 0);
        ASSERT_NE(written, nullptr) << c.name;
        EXPECT_EQ(FreeImage_GetImageType(written), c.type) << c.name;
        EXPECT_EQ(FreeImage_GetBPP(written), c.bpp) << c.name;
        if (c.type == FIT_RGB16) {
            const FIRGB16* px = reinterpret_cast<FIRGB16*>(FreeImage_GetScanLine(written, 0));
            EXPECT_EQ(px[0].red, 65469);
            EXPECT_EQ(px[0].blue, 65535);
            EXPECT_EQ(px[1].red, 0);
        } else if (c.expected != 0) {
            RGBQUAD q;
            FreeImage_GetPixelColor(written, 0, 0, &q);
            EXPECT_EQ(q.rgbRed, c.expected) << c.name;
            EXPECT_EQ(q.rgbBlue, 255) << c.name;
        }
        FreeImage_Unload(written);
        EXPECT_EQ(handler.saveFlags, c.type == FIT_RGB16 ? TIFF_LZW : std::string(c.name) == "o.jpg" ? JPEG_QUALITYSUPERB : 0);
    }
}

TEST_F(ImageFilesTest, MaskLayerGoesIntoAlpha)
{
    const std::vector<float> values = {0.5f, 0.5f, 0.5f, 0.99f, 0.5f, 0.5f, 0.5f, 0.0f};
    ImageHandler png, tif;
    std::string reason;
    ASSERT_TRUE(saveValues(png, values, 2, 1, file("m.png"), true, reason));
    ASSERT_TRUE(saveValues(tif, values, 2, 1, file("m.tif"), true, reason));
    FIBITMAP* a = FreeImage_Load(FIF_PNG, file("m.png").c_str(), 0);
    RGBQUAD q;
    FreeImage_GetPixelColor(a, 0, 0, &q);
    EXPECT_EQ(q.rgbReserved, 252);
    FreeImage_GetPixelColor(a, 1, 0, &q);
    EXPECT_EQ(q.rgbReserved, 0);
    FreeImage_Unload(a);
    FIBITMAP* b = FreeImage_Load(FIF_TIFF, file("m.tif").c_str(), 0);
    EXPECT_EQ(FreeImage_GetImageType(b), FIT_RGBA16);
    EXPECT_EQ(reinterpret_cast<FIRGBA16*>(FreeImage_GetScanLine(b, 0))[0].alpha, 64879);
    FreeImage_Unload(b);
}

TEST_F(ImageFilesTest, UnknownOrUnwritableTargetsFailWithoutTouchingFiles)
{
    const std::vector<float> values(4, 0.5f);
    ImageHandler handler;
    std::string reason;
    EXPECT_FALSE(saveValues(handler, values, 1, 1, file("x.unknownext"), false, reason));
    EXPECT_EQ(reason, "");
    EXPECT_FALSE(saveValues(handler, values, 1, 1, file("no/such/folder/x.png"), false, reason));
    EXPECT_NE(reason, "");
    // A failed write leaves neither the target nor a temporary file behind.
    EXPECT_TRUE(fs::is_empty(folder));
    ImageHandler empty;
    EXPECT_FALSE(empty.PrepareDataForSaving(file("x.png"), false, reason));
    EXPECT_EQ(reason, "Image data not allocated");
}

TEST_F(ImageFilesTest, ProfileKeptOnlyWhenItsHeaderSizeMatches)
{
    std::vector<unsigned char> good = srgbProfileBytes();
    std::vector<unsigned char> bad = good;
    bad[3] ^= 0x10; // the header's size field no longer matches
    {
        ImageHandler handler;
        bool flag = false;
        std::string text;
        ASSERT_TRUE(handler.loadMainImage(writePng("good.tif", 2, 2, &good), nullptr, flag, text));
        ASSERT_EQ(handler.iccProfileLength, good.size());
        EXPECT_TRUE(std::equal(good.begin(), good.end(), handler.iccProfile));
        // And it travels to the written file.
        handler.saveImage.allocate(2, 2, 4);
        std::fill(handler.saveImage.data, handler.saveImage.data + 16, 0.5f);
        std::string reason;
        ASSERT_TRUE(handler.PrepareDataForSaving(file("out.tif"), false, reason));
        handler.SaveImageICC();
        ASSERT_TRUE(handler.WriteSaveBitmap(file("out.tif"), reason));
        FIBITMAP* written = FreeImage_Load(FIF_TIFF, file("out.tif").c_str(), 0);
        EXPECT_EQ(FreeImage_GetICCProfile(written)->size, long(good.size()));
        FreeImage_Unload(written);
    }
    {
        ImageHandler handler;
        bool flag = false;
        std::string text;
        ASSERT_TRUE(handler.loadMainImage(writePng("bad.tif", 2, 2, &bad), nullptr, flag, text));
        EXPECT_EQ(handler.iccProfile, nullptr);
        EXPECT_EQ(handler.iccProfileLength, 0u);
    }
}

TEST_F(ImageFilesTest, HostileAndOddFilesAreRefusedCleanly)
{
    const std::string png = writePng("ok.png", 8, 8);
    std::ifstream in(png, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {"empty.png", ""},
        {"truncated.png", bytes.substr(0, bytes.size() / 2)},
        {"header-only.png", bytes.substr(0, 33)},
        {"text.jpg", "this is not an image at all"},
        {"garbage.tif", std::string("II*\0\xff\xff\xff\x7f", 8) + std::string(64, '\xff')},
    };
    for (const Case& c : cases) {
        std::ofstream(file(c.name), std::ios::binary) << c.content;
        ImageHandler handler;
        bool flag = false;
        std::string text;
        EXPECT_FALSE(handler.loadMainImage(file(c.name), nullptr, flag, text)) << c.name;
        EXPECT_EQ(handler.mainImage.data, nullptr) << c.name;
    }
    ImageHandler handler;
    bool flag = false;
    std::string text;
    EXPECT_FALSE(handler.loadMainImage(folder.string(), nullptr, flag, text));
    EXPECT_FALSE(handler.loadMainImage(file("missing.png"), nullptr, flag, text));
    EXPECT_TRUE(handler.loadMainImage(writePng("one.png", 1, 1), nullptr, flag, text));
}

TEST_F(ImageFilesTest, RotatedJpegIsWrittenUprightWithOrientationOne)
{
    // The fixture is 6 x 4 in camera orientation with a green corner at the
    // top left; its orientation 6 shows it turned clockwise: 4 x 6, green at
    // the top right.
    const std::string source = fixturesFolder() + "/engine/orientation6.jpg";
    for (const char* name : {"up.jpg", "up.png"}) {
        ImageHandler handler;
        bool flag = false;
        std::string text;
        ASSERT_TRUE(handler.loadMainImage(source, nullptr, flag, text));
        ASSERT_EQ(handler.mainImage.shape(), "(4, 6, 3)");
        handler.saveImage.allocate(4, 6, 4);
        for (int p = 0; p < 24; ++p)
            for (int c = 0; c < 4; ++c) handler.saveImage.data[p * 4 + c] = c < 3 ? handler.mainImage.data[p * 3 + c] : 1;
        std::string reason;
        ASSERT_TRUE(handler.PrepareDataForSaving(file(name), false, reason));
        handler.SaveImageICC();
        ASSERT_TRUE(handler.WriteSaveBitmap(file(name), reason));

        FIBITMAP* written = FreeImage_Load(FreeImage_GetFileType(file(name).c_str()), file(name).c_str(), 0);
        ASSERT_NE(written, nullptr);
        EXPECT_EQ(FreeImage_GetWidth(written), 4u) << name;
        EXPECT_EQ(FreeImage_GetHeight(written), 6u) << name;
        RGBQUAD topRight;
        FreeImage_GetPixelColor(written, 3, 5, &topRight);
        EXPECT_GT(topRight.rgbGreen, 150) << name;
        EXPECT_LT(topRight.rgbRed, 100) << name;
        FITAG* tag = nullptr;
        if (FreeImage_GetMetadata(FIMD_EXIF_MAIN, written, "Orientation", &tag) && tag)
            EXPECT_EQ(*static_cast<const WORD*>(FreeImage_GetTagValue(tag)), 1) << name;
        else
            EXPECT_STREQ(name, "up.png") << "JPEG keeps its EXIF block";
        FreeImage_Unload(written);
    }
}

TEST(ExifOrientation, PatchesOnlyWellFormedBlocks)
{
    // "Exif\0\0", little-endian TIFF header, IFD at 8 with one SHORT entry 274 = 6.
    std::vector<unsigned char> block = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0,
                                        1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(readRawExifOrientation(block.data(), block.size()), 6);
    ASSERT_TRUE(writeRawExifOrientation(block.data(), block.size(), 1));
    EXPECT_EQ(readRawExifOrientation(block.data(), block.size()), 1);

    std::vector<unsigned char> bigEndian = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8,
                                            0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 8, 0, 0};
    EXPECT_EQ(readRawExifOrientation(bigEndian.data(), bigEndian.size()), 8);

    std::vector<unsigned char> farIfd = block;
    farIfd[10] = 0xF0; // IFD offset beyond the block
    std::vector<unsigned char> manyEntries = block;
    manyEntries[14] = 0xFF; // entry count running past the end, and no orientation entry
    manyEntries[16] = 0x00;
    std::vector<unsigned char> cut(block.begin(), block.begin() + 20);
    for (auto* bad : {&farIfd, &manyEntries, &cut}) {
        EXPECT_EQ(readRawExifOrientation(bad->data(), bad->size()), 0);
        EXPECT_FALSE(writeRawExifOrientation(bad->data(), bad->size(), 1));
    }
    EXPECT_EQ(readRawExifOrientation(nullptr, 0), 0);
}

TEST(EngineFiles, FileModeLoadsAndSavesThroughTheSteps)
{
    FreeImage_Initialise(FALSE);
    const fs::path dir = fs::temp_directory_path() / ("tessaline-engine-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    FIBITMAP* bitmap = FreeImage_Allocate(16, 12, 24);
    for (int y = 0; y < 12; ++y) std::memset(FreeImage_GetScanLine(bitmap, y), 100 + y, 16 * 3);
    const std::string input = (dir / "in.png").string();
    FreeImage_Save(FIF_PNG, bitmap, input.c_str(), 0);
    FreeImage_Unload(bitmap);

    FakeEngine blocked = makeFakeEngine(false);
    EXPECT_FALSE(blocked.engine->LoadMainTextureFromFile(input));

    FakeEngine fake = makeFakeEngine(true);
    PhotoCreator& engine = *fake.engine;
    ASSERT_TRUE(engine.LoadMainTextureFromFile(input));
    EXPECT_EQ(engine.currentFileName, input);
    const std::string output = (dir / "out.tif").string();
    static std::vector<float> seen;
    ASSERT_TRUE(engine.SaveImage(output, false, true, [](void*, float p) { seen.push_back(p); }));
    EXPECT_EQ(engine.saveStep, 4);
    EXPECT_FLOAT_EQ(engine.progress, 1.0f);
    EXPECT_FALSE(seen.empty());
    EXPECT_EQ(engine.saveImage.data, nullptr);
    EXPECT_TRUE(fs::exists(output));
    // A failed save leaves the image intact so that it can be saved again.
    EXPECT_FALSE(engine.SaveImage((dir / "bad.nope").string(), false, true, [](void*, float) {}));
    EXPECT_EQ(engine.saveStep, -1);
    EXPECT_NE(engine.mainImage.data, nullptr);
    EXPECT_TRUE(engine.SaveImage((dir / "again.png").string(), false, true, [](void*, float) {}));
    fs::remove_all(dir);
    FreeImage_DeInitialise();
}

} // namespace
