// The nnrun program end to end: a reference case through the command line,
// and the failures it must report with a non-zero exit.

#include <gmock/gmock.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class NnrunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        work = fs::temp_directory_path() / ("nnrun_test_" + std::to_string(::getpid()));
        fs::create_directories(work);
        const char* root = std::getenv("TESSALINE_FIXTURES");
        fixture = fs::path(root != nullptr ? root : NN_FIXTURES_DIR) / "layers" / "conv3x3_s1_c16to16_13x11";
    }
    void TearDown() override { fs::remove_all(work); }

    Outcome run(const std::string& arguments)
    {
        const std::string command = std::string(NNRUN_PATH) + " " + arguments + " >" + (work / "out").string() +
                                    " 2>" + (work / "err").string();
        Outcome outcome;
        const int status = std::system(command.c_str());
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.out = slurp(work / "out");
        outcome.err = slurp(work / "err");
        return outcome;
    }

    fs::path work, fixture;
};

TEST_F(NnrunTest, RunsAModelAndWritesTheLastOutput)
{
    ASSERT_TRUE(fs::exists(fixture / "model.cnn")) << "reference case missing: " << fixture;
    const fs::path output = work / "result.f32";
    const Outcome outcome = run("--model " + (fixture / "model.cnn").string() + " --input " +
                                (fixture / "input0.f32").string() + " --width 13 --height 11 --channels 16 --output " +
                                output.string() + " --repeat 2");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_THAT(outcome.out, StartsWith("13 11 16\n"));
    EXPECT_THAT(outcome.out, HasSubstr("median"));
    const std::string produced = slurp(output), expected = slurp(fixture / "expected.f32");
    ASSERT_EQ(produced.size(), expected.size());
    std::vector<float> a(produced.size() / 4), b(expected.size() / 4);
    std::memcpy(a.data(), produced.data(), produced.size());
    std::memcpy(b.data(), expected.data(), expected.size());
    for (size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], 1e-3) << i;
}

TEST_F(NnrunTest, FailuresExitNonZeroWithTheReason)
{
    ASSERT_TRUE(fs::exists(fixture / "model.cnn")) << "reference case missing: " << fixture;
    const std::string model = slurp(fixture / "model.cnn");
    std::ofstream(work / "cut.cnn", std::ios::binary) << model.substr(0, model.size() - 10);
    const std::string input = " --input " + (fixture / "input0.f32").string();
    const std::string out = " --output " + (work / "x.f32").string();
    struct Case {
        const char* name;
        std::string arguments;
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {"missing option", "--model a.cnn", 2, "usage: nnrun"},
        {"unreadable model", "--model " + (work / "none.cnn").string() + input + " --width 13 --height 11 --channels 16" + out,
         1, "cannot read"},
        {"truncated model", "--model " + (work / "cut.cnn").string() + input + " --width 13 --height 11 --channels 16" + out,
         1, "Fatal NN error: Model truncated"},
        {"input of another size", "--model " + (fixture / "model.cnn").string() + input + " --width 12 --height 11 --channels 16" + out,
         1, "expected"},
        {"wrong channel count", "--model " + (fixture / "model.cnn").string() + input + " --width 26 --height 11 --channels 8" + out,
         1, "input channels mismatch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = run(c.arguments);
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        EXPECT_THAT(outcome.err, HasSubstr(c.message));
    }
}

} // namespace
