#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "services/SettingsStore.h"

namespace fs = std::filesystem;

namespace {

// Points the store at a fresh file in a private temporary folder.
class SettingsStoreTest : public ::testing::Test {
protected:
    fs::path folder;
    fs::path file;

    void SetUp() override
    {
        folder = fs::temp_directory_path() /
                 ("tessaline-settings-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        file = folder / "sub" / "Kestrelion.plist";
        setSettingsFilePath(file.string());
    }
    void TearDown() override
    {
        setSettingsFilePath("");
        fs::remove_all(folder);
    }

    std::string fileText() const
    {
        std::ifstream in(file);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void writeFile(const std::string& text) const
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
};

const std::string kProduct = "Kestrelion Tessaline";

} // namespace

TEST_F(SettingsStoreTest, FirstReadCreatesPrivateFolderAndSingleEntry)
{
    EXPECT_EQ(getFromRegInt(kProduct, "ailayersFlags", 0), 0);
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::status(file.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    const std::string text = fileText();
    EXPECT_NE(text.find("<key>Kestrelion Tessaline_ailayersFlags</key>"), std::string::npos);
    EXPECT_NE(text.find("<string>0</string>"), std::string::npos);
    EXPECT_EQ(text.find("<key>", text.find("<key>") + 1), std::string::npos) << "exactly one entry";
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(SettingsStoreTest, WrittenTextReadsBackUnchangedAndKeysAreCaseSensitive)
{
    setToReg("AILayers", "logging", "0");
    setToReg("AIlayers", "logging", "1");
    setToReg(kProduct, "Device", "pthread-cpu <é> & \"quoted\"");
    EXPECT_EQ(getFromReg("AILayers", "logging", "x"), "0");
    EXPECT_EQ(getFromReg("AIlayers", "logging", "x"), "1");
    EXPECT_EQ(getFromReg(kProduct, "Device", ""), "pthread-cpu <é> & \"quoted\"");
    const std::string text = fileText();
    EXPECT_NE(text.find("AILayers_logging"), std::string::npos);
    EXPECT_NE(text.find("AIlayers_logging"), std::string::npos);
}

TEST_F(SettingsStoreTest, IntegerParsing)
{
    struct Case {
        const char* stored;
        int expected;
    } cases[] = {
        {" 7abc", 7}, {"-1", -1}, {"+12", 12}, {"", 5}, {"abc", 5}, {"99999999999", 5}, {"2147483647", 2147483647},
    };
    for (const Case& c : cases) {
        setToReg(kProduct, "resolution", c.stored);
        EXPECT_EQ(getFromRegInt(kProduct, "resolution", 5), c.expected) << '"' << c.stored << '"';
        // A value that does not parse is left as stored.
        EXPECT_EQ(getFromReg(kProduct, "resolution", "?"), c.stored);
    }
}

TEST_F(SettingsStoreTest, FilesThatAreNotOursAreReadAsDefaultsAndNeverRewritten)
{
    const char* contents[] = {
        "",
        "this is not a property list",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>a</string></array></plist>",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>n</key><integer>3</integer></dict></plist>",
    };
    for (const char* content : contents) {
        writeFile(content);
        EXPECT_EQ(getFromReg(kProduct, "WIN_MAX", "dflt"), "dflt");
        EXPECT_EQ(getFromRegInt("AILayers", "tilessplit", 4), 4);
        setToReg(kProduct, "modelrevision", "2");
        EXPECT_EQ(fileText(), content);
    }
}

TEST_F(SettingsStoreTest, FolderThatCannotBeCreatedIsASilentNoOp)
{
    fs::create_directories(folder);
    std::ofstream(file.parent_path()) << "a file where the folder should be";
    EXPECT_EQ(getFromReg(kProduct, "WIN_MAX", "d"), "d");
    EXPECT_EQ(getFromRegInt(kProduct, "ailayersFlags", 3), 3);
    EXPECT_TRUE(fs::is_regular_file(file.parent_path()));
}

TEST_F(SettingsStoreTest, ExistingEntriesSurviveAWrite)
{
    setToReg(kProduct, "a", "1");
    setToReg(kProduct, "b", "2");
    setToReg(kProduct, "a", "3");
    EXPECT_EQ(getFromReg(kProduct, "a", ""), "3");
    EXPECT_EQ(getFromReg(kProduct, "b", ""), "2");
}
