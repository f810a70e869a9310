#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "ailayers/DiagnosticsLog.h"

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs each test with its own cache folder.
class DiagnosticsLogTest : public ::testing::Test {
protected:
    fs::path cacheHome;
    std::string savedCacheHome;

    void SetUp() override
    {
        if (const char* v = std::getenv("XDG_CACHE_HOME")) savedCacheHome = v;
        cacheHome = fs::temp_directory_path() /
                    ("tessaline-log-" + std::to_string(getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(cacheHome);
        setenv("XDG_CACHE_HOME", cacheHome.c_str(), 1);
        oclErrorLog.clear();
        oclErrorPrefix = "GPU ";
        currentPrefix.clear();
    }
    void TearDown() override
    {
        setenv("XDG_CACHE_HOME", savedCacheHome.c_str(), 1);
        fs::remove_all(cacheHome);
    }
};

} // namespace

TEST_F(DiagnosticsLogTest, EntryFormatHasNoLeadingZeros)
{
    std::tm t {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 1;
    t.tm_mday = 3;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    EXPECT_EQ(formatLogEntry(t, " inference predict returned 1"), "2024-2-3 9:5:3  inference predict returned 1\n\n");
}

TEST_F(DiagnosticsLogTest, AppendsEntriesInAPrivateFolder)
{
    addLineToTempLog("ailayers.log", "first");
    addLineToTempLog("ailayers.log", "second");
    const fs::path folder = cacheHome / "kestrelion";
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    const std::string text = readFile(folder / "ailayers.log");
    EXPECT_NE(text.find(" first\n\n"), std::string::npos);
    EXPECT_GT(text.find(" second\n\n"), text.find(" first\n\n"));
}

// A link planted where the log goes must not redirect the write.
TEST_F(DiagnosticsLogTest, DoesNotFollowASymbolicLink)
{
    const fs::path folder = cacheHome / "kestrelion";
    fs::create_directories(folder);
    const fs::path target = cacheHome / "victim.txt";
    std::ofstream(target) << "keep";
    fs::create_symlink(target, folder / "ailayers.log");
    addLineToTempLog("ailayers.log", "redirected?");
    EXPECT_EQ(readFile(target), "keep");
}

TEST_F(DiagnosticsLogTest, UncreatableFolderWritesNothingAndDoesNotFail)
{
    fs::create_directories(cacheHome);
    std::ofstream(cacheHome / "kestrelion") << "a file where the folder should be";
    addLineToTempLog("ailayers.log", "lost");
    EXPECT_EQ(readFile(cacheHome / "kestrelion"), "a file where the folder should be");
}

TEST_F(DiagnosticsLogTest, OpenCLErrorHeaderIsWrittenOncePerDevice)
{
    oclErrorPrefix = "Model A on device B";
    NNreportErrorOCL("first");
    NNreportErrorOCL("second");
    EXPECT_EQ(oclErrorLog, "Model A on device B\nfirst\nsecond\n");
    oclErrorLog.clear(); // as getErrorText does
    NNreportErrorOCL("third");
    EXPECT_EQ(oclErrorLog, "third\n");
    oclErrorPrefix = "Model A on device C";
    NNreportErrorOCL("fourth");
    EXPECT_EQ(oclErrorLog, "third\nModel A on device C\nfourth\n");
}

TEST_F(DiagnosticsLogTest, ConsoleMessagePrintsAndClearsWithoutWaiting)
{
    oclErrorLog = "pending\n";
    ::testing::internal::CaptureStdout();
    OCLConsoleMessage("Fatal NN error");
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Fatal NN error\npending\n\n");
    EXPECT_TRUE(oclErrorLog.empty());
    EXPECT_EQ(kstErrorCallback, &OCLConsoleMessage);
}
