// The `tessaline` program's argument handling (no networks needed).

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

struct Outcome {
    int status;
    std::string output;
};

Outcome run(const std::string& arguments)
{
    const std::string command = std::string(TESSALINE_CLI) + " " + arguments + " 2>&1";
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

} // namespace
