// The `tessaline` program's argument handling (no networks needed).

#include <gtest/gtest.h>

#include "../engine/Fixtures.h"

#include <cstring>

#include <FreeImage.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status;
    std::string output;
};

Outcome run(const std::string& arguments, const std::string& program = TESSALINE_CLI)
{
    const std::string command = program + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[256];
    while (pipe && fgets(buffer, sizeof buffer, pipe)) output += buffer;
    const int status = pipe ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(CommandLine, UsageErrorsExitWithTwo)
{
    for (const char* arguments : {"", "frobnicate", "clean", "clean --dirt huge a.jpg", "clean --strength 150 a.jpg",
                                  "clean --strength x a.jpg", "clean --bogus a.jpg", "clean -o", "clean --settings '{' a.jpg",
                                  "clean -o noextension a.jpg"}) {
        const Outcome result = run(arguments);
        EXPECT_EQ(result.status, 2) << arguments << "\n" << result.output;
        EXPECT_NE(result.output.find("Usage:"), std::string::npos) << arguments;
    }
}

TEST(CommandLine, HelpAndVersion)
{
    EXPECT_EQ(run("--version").output, "tessaline 1.019\n");
    const Outcome help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("--dirt coarse|medium|fine"), std::string::npos);
}

// The program installed in a prefix of its own, beside two small networks
// (out = in + 0.1, and an empty subject map), run on the machine's OpenCL
// device.
class CleanCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        FreeImage_Initialise(FALSE);
        prefix = fs::temp_directory_path() / ("tessaline-cli-" + std::to_string(::getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(prefix);
        fs::create_directories(prefix / "bin");
        fs::create_directories(prefix / "share" / "tessaline");
        fs::copy_file(TESSALINE_CLI, prefix / "bin" / "tessaline");
        const fs::path models = fs::path(fixturesFolder()) / "engine";
        for (const char* name : {"TessalineId.cnn", "subjectmasking.cnn"})
            fs::copy_file(models / name, prefix / "share" / "tessaline" / name);
        program = (prefix / "bin" / "tessaline").string();
    }
    void TearDown() override
    {
        fs::remove_all(prefix);
        FreeImage_DeInitialise();
    }
    std::string writeInput(const std::string& name, BYTE level)
    {
        const fs::path path = prefix / "photos" / name;
        fs::create_directories(path.parent_path());
        FIBITMAP* bitmap = FreeImage_Allocate(40, 30, 24);
        for (int y = 0; y < 30; ++y) std::memset(FreeImage_GetScanLine(bitmap, y), level, 40 * 3);
        EXPECT_TRUE(FreeImage_Save(FIF_PNG, bitmap, path.c_str(), 0));
        FreeImage_Unload(bitmap);
        return path.string();
    }
    static std::string contents(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path prefix;
    std::string program;
};

TEST_F(CleanCommand, CleansBesideTheInputAndNeverOverwritesUnasked)
{
    const std::string input = writeInput("a.png", 100);
    const Outcome first = run("clean --dirt fine " + input, program);
    ASSERT_EQ(first.status, 0) << first.output;
    const fs::path written = prefix / "photos" / "Retouched" / "a_retouched.png";
    EXPECT_NE(first.output.find(input + " -> " + written.string()), std::string::npos) << first.output;
    FIBITMAP* result = FreeImage_Load(FIF_PNG, written.c_str(), 0);
    ASSERT_NE(result, nullptr);
    RGBQUAD pixel;
    FreeImage_GetPixelColor(result, 20, 15, &pixel);
    // 100/255 + 0.1, truncated to 8 bits.
    EXPECT_NEAR(pixel.rgbGreen, 125, 1);
    FreeImage_Unload(result);

    const std::string before = contents(written);
    const Outcome again = run("clean " + input, program);
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("--overwrite"), std::string::npos);
    EXPECT_EQ(contents(written), before);
    EXPECT_EQ(run("clean --overwrite --strength 0 " + input, program).status, 0);
    EXPECT_NE(contents(written), before);
}

TEST_F(CleanCommand, SeveralInputsIntoAFolderAndOneFailure)
{
    const std::string good = writeInput("b.png", 50);
    const std::string broken = (prefix / "photos" / "broken.png").string();
    std::ofstream(broken) << "not an image";
    const fs::path out = prefix / "out";
    const Outcome result = run("clean -o " + out.string() + " " + broken + " " + good, program);
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("could not be read"), std::string::npos) << result.output;
    EXPECT_TRUE(fs::exists(out / "b_retouched.png")) << result.output;
    EXPECT_FALSE(fs::exists(out / "broken_retouched.png"));
}

TEST_F(CleanCommand, MissingOrBrokenNetworkStopsWithTheReason)
{
    const std::string input = writeInput("c.png", 80);
    const fs::path model = prefix / "share" / "tessaline" / "TessalineId.cnn";
    // Below 1000 bytes a resource counts as missing; from 1000 on it is parsed.
    const std::pair<size_t, const char*> cases[] = {{999, "Failed to load model TessalineId"},
                                                    {1000, "Failed to parse model TessalineId"}};
    for (auto [size, message] : cases) {
        std::ofstream(model, std::ios::binary | std::ios::trunc) << std::string(size, 'z');
        const Outcome result = run("clean " + input, program);
        EXPECT_EQ(result.status, 1) << size;
        EXPECT_NE(result.output.find(message), std::string::npos) << result.output;
    }
    EXPECT_FALSE(fs::exists(prefix / "photos" / "Retouched" / "c_retouched.png"));
}

} // namespace
