// The nine exported functions, driven with an engine whose networks are
// stand-ins, and the output naming rules of the file entry.

#include <gtest/gtest.h>

#include <FreeImage.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "../engine/FakeNetworks.h"
#include "api/OutputTarget.h"
#include "api/WidePath.h"
#include "tessaline.h"

namespace fs = std::filesystem;

namespace {

// The handle a host would get from createInstance, with stand-in networks.
void* fakeInstance(FakeEngine& fake)
{
    fake = makeFakeEngine();
    return fake.engine.release();
}

std::vector<float> rgbaPicture(unsigned w, unsigned h)
{
    std::vector<float> pixels(size_t(w) * h * 4);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = float((i * 13) % 97) / 96.0f;
    return pixels;
}

TEST(LibraryInterface, VersionAndNullHandles)
{
    EXPECT_EQ(getPluginVersion(), 1019);
    clearInstance(nullptr);
    char buffer[4] = {'x', 'x', 'x', 'x'};
    getSettingsInJson(nullptr, buffer, 4);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(setSettingsFromJson(nullptr, "{}"), -1);
}

TEST(LibraryInterface, SettingsRoundTripAndBufferLimits)
{
    FakeEngine fake;
    void* instance = fakeInstance(fake);
    EXPECT_EQ(setSettingsFromJson(instance, "{\"Scale\":2,\"Automask\":true}"), 0);
    EXPECT_EQ(setSettingsFromJson(instance, "{oops"), -1);
    EXPECT_EQ(setSettingsFromJson(instance, nullptr), -1);
    char full[128];
    getSettingsInJson(instance, full, sizeof full);
    EXPECT_STREQ(full, "{\"Alpha1\":1.0,\"Automask\":true,\"Layer\":0,\"Scale\":2}");

    char five[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    getSettingsInJson(instance, five, 5);
    EXPECT_STREQ(five, "{\"Al");
    EXPECT_EQ(five[5], 'x');
    char guard[2] = {'g', 'g'};
    for (int size : {0, -1, INT_MIN}) getSettingsInJson(instance, guard + 1, size);
    EXPECT_EQ(guard[0], 'g');
    EXPECT_EQ(guard[1], 'g');
    getSettingsInJson(instance, guard, 1);
    EXPECT_EQ(guard[0], '\0');
    clearInstance(instance);
}

TEST(LibraryInterface, IccProfileCopiedReplacedAndDropped)
{
    FakeEngine fake;
    void* instance = fakeInstance(fake);
    auto* engine = static_cast<PhotoCreator*>(instance);
    const unsigned char bytes[8] = {0, 0, 0, 8, 1, 2, 3, 4};
    setIccProfile(instance, bytes, 8);
    ASSERT_NE(engine->handler.iccProfile, nullptr);
    EXPECT_NE(engine->handler.iccProfile, bytes);
    EXPECT_EQ(std::memcmp(engine->handler.iccProfile, bytes, 8), 0);
    engine->handler.iccProfileChanged = false;
    setIccProfile(instance, engine->handler.iccProfile, 3); // the held pointer: no change
    EXPECT_EQ(engine->handler.iccProfileLength, 8u);
    EXPECT_FALSE(engine->handler.iccProfileChanged);
    setIccProfile(instance, bytes, 0);
    EXPECT_EQ(engine->handler.iccProfile, nullptr);
    EXPECT_EQ(engine->handler.iccProfileLength, 0u);
    EXPECT_TRUE(engine->handler.iccProfileChanged);
    clearInstance(instance);
}

TEST(LibraryInterface, MemoryImageIsCleanedInPlace)
{
    FakeEngine fake;
    void* instance = fakeInstance(fake);
    std::vector<float> pixels = rgbaPicture(20, 10);
    const std::vector<float> before = pixels;
    static int progressCalls = 0;
    ASSERT_EQ(processImageFromMemory(instance, pixels.data(), 20, 10, [](void*, float) { ++progressCalls; }), 0);
    EXPECT_GT(progressCalls, 0);
    for (size_t p = 0; p < 200; ++p) {
        for (int c = 0; c < 3; ++c)
            ASSERT_EQ(pixels[p * 4 + c], std::clamp(fakeClean(before[p * 4 + c]), 0.0f, 1.0f)) << p;
        ASSERT_EQ(pixels[p * 4 + 3], 1.0f);
    }
    // The instance is empty again, ready for the next picture.
    EXPECT_EQ(static_cast<PhotoCreator*>(instance)->mainImage.data, nullptr);
    clearInstance(instance);
}

TEST(LibraryInterface, MemoryEntriesRefuseBadSizesWithoutTouchingTheBuffer)
{
    FakeEngine fake;
    void* instance = fakeInstance(fake);
    std::vector<float> pixels = rgbaPicture(4, 100);
    const std::vector<float> before = pixels;
    struct Case {
        unsigned width, height;
        int code;
    };
    // Sizes the engine's 32-bit image fields cannot hold are refused before
    // the buffer is read; 4 x 100 is too narrow for the network: processed,
    // but there is no output.
    for (const Case& c : {Case{0, 10, 1}, Case{10, 0, 1}, Case{UINT_MAX, UINT_MAX, 1}, Case{1u << 31, 1, 1},
                          Case{4, 100, 21}}) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(processImageFromMemory(instance, pixels.data(), c.width, c.height, nullptr), c.code)
            << c.width << "x" << c.height;
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(pixels, before);
    }
    EXPECT_EQ(showPluginWithImage(instance, pixels.data(), 0, 5), 1);
    clearInstance(instance);
}

TEST(LibraryInterface, EditorCannotOpenInThisBuildAndSaysSo)
{
    FakeEngine fake;
    void* instance = fakeInstance(fake);
    std::vector<float> pixels = rgbaPicture(8, 8);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(showPluginWithImage(instance, pixels.data(), 8, 8), 24);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("editor window cannot be opened"), std::string::npos);
    // The failed editor does not poison the next processing call.
    EXPECT_EQ(processImageFromMemory(instance, pixels.data(), 8, 8, nullptr), 0);
    clearInstance(instance);
}

class FileEntryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FreeImage_Initialise(FALSE);
        root = fs::temp_directory_path() / ("tessaline-api-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
        instance = fakeInstance(fake);
    }
    void TearDown() override
    {
        clearInstance(instance);
        fs::remove_all(root);
        FreeImage_DeInitialise();
    }
    std::string writeImage(const fs::path& path)
    {
        fs::create_directories(path.parent_path());
        FIBITMAP* bitmap = FreeImage_Allocate(24, 16, 24);
        for (int y = 0; y < 16; ++y) std::memset(FreeImage_GetScanLine(bitmap, y), 60 + 8 * y, 24 * 3);
        EXPECT_TRUE(FreeImage_Save(FreeImage_GetFIFFromFilename(path.c_str()), bitmap, path.c_str(), 0));
        FreeImage_Unload(bitmap);
        return path.string();
    }
    int process(const std::string& input, const std::string& output)
    {
        const std::wstring in(input.begin(), input.end()), out(output.begin(), output.end());
        return processImageFromFile(instance, in.c_str(), out.c_str(), 3, false, [](void*, float) {}, 1.0f, 1.0f);
    }

    fs::path root;
    FakeEngine fake;
    void* instance = nullptr;
};

TEST_F(FileEntryTest, OutputNamingRules)
{
    const std::string input = writeImage(root / "p" / "x.y.png");
    EXPECT_EQ(process(input, ""), 0);
    EXPECT_TRUE(fs::exists(root / "p" / "Retouched" / "x.y_retouched.png"));

    EXPECT_EQ(process(input, (root / "out" / "dir").string()), 5);
    EXPECT_TRUE(fs::is_directory(root / "out" / "dir"));
    EXPECT_TRUE(fs::is_empty(root / "out" / "dir"));

    EXPECT_EQ(process(input, (root / "out2" / "r.tif").string()), 0);
    FIBITMAP* written = FreeImage_Load(FIF_TIFF, (root / "out2" / "r.tif").c_str(), 0);
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(FreeImage_GetImageType(written), FIT_RGB16);
    EXPECT_EQ(FreeImage_GetWidth(written), 24u);
    FreeImage_Unload(written);
}

TEST_F(FileEntryTest, FailuresHaveTheirOwnCodes)
{
    const std::string input = writeImage(root / "in.png");
    std::ofstream(root / "plain-file") << "x";
    std::ofstream(root / "broken.png") << "not a png";
    struct Case {
        std::string input, output;
        int code;
    };
    const Case cases[] = {
        {(root / "missing.png").string(), "", 3},
        {(root / "broken.png").string(), "", 3},
        {root.string(), "", 3},
        {input, (root / "plain-file" / "sub" / "r.png").string(), 4},
        {input, (root / "r.unknownext").string(), 6},
    };
    for (const Case& c : cases) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(process(c.input, c.output), c.code) << c.input << " -> " << c.output;
        ::testing::internal::GetCapturedStdout();
    }
    // A later good call still works.
    EXPECT_EQ(process(input, (root / "ok.png").string()), 0);
}

TEST_F(FileEntryTest, NonAsciiFolderNamesAreKept)
{
    const std::wstring folder = (root.wstring() + L"/Séance été/写真");
    const std::string narrow = wstring_to_string(folder.c_str());
    const std::string input = writeImage(fs::path(narrow) / "portrait.jpg");
    const std::wstring wideInput = folder + L"/portrait.jpg";
    ASSERT_EQ(processImageFromFile(instance, wideInput.c_str(), L"", 2, false, [](void*, float) {}, 0.5f, 1.0f), 0);
    EXPECT_TRUE(fs::exists(fs::path(narrow) / "Retouched" / "portrait_retouched.jpg"));
}

TEST(WidePath, ConvertsToUtf8)
{
    EXPECT_EQ(wstring_to_string(L"/plain/ascii.png"), "/plain/ascii.png");
    EXPECT_EQ(wstring_to_string(L"/\u00e9t\u00e9/\u5199.jpg"), "/\xc3\xa9t\xc3\xa9/\xe5\x86\x99.jpg");
    EXPECT_EQ(wstring_to_string(nullptr), "");
    bool ok = true;
    const wchar_t invalid[] = {L'a', static_cast<wchar_t>(0xD800), 0};
    EXPECT_EQ(wstring_to_string(invalid, &ok), "");
    EXPECT_FALSE(ok);
}

TEST(OutputTarget, DefaultNamesBesideTheInput)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/p/x.y.png", "/p/Retouched/x.y_retouched.png"},
        {"/photos/a.jpg", "/photos/Retouched/a_retouched.jpg"},
        {"a.jpg", "./Retouched/a_retouched.jpg"},
        {"/p.d/file", "/p.d/Retouched/file_retouched.tif"},
        {"C:\\shots\\b.tif", "C:\\shots/Retouched/b_retouched.tif"},
    };
    for (auto [input, expected] : cases) EXPECT_EQ(defaultOutputFile(input), expected) << input;
}

} // namespace
