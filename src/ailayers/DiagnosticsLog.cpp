#include "ailayers/DiagnosticsLog.h"

#include <cstdio>
#include <iostream>
#include <unistd.h>

#include "services/UserFolders.h"

std::string oclErrorLog;
std::string oclErrorPrefix = "GPU ";
std::string currentPrefix;
std::string modelLogicErrorMessage;
void (*kstErrorCallback)(std::string message) = OCLConsoleMessage;
bool globalLogging = false;

std::string tempLogPath(const std::string& fileName) { return userfolders::cacheFolder() + "/" + fileName; }

std::string formatLogEntry(const std::tm& t, const std::string& line)
{
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%d-%d-%d %d:%d:%d ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                  t.tm_min, t.tm_sec);
    return stamp + line + "\n\n";
}

void addLineToTempLog(const std::string& fileName, const std::string& line)
{
    if (!userfolders::ensureFolder(userfolders::cacheFolder(), 0700)) return;
    const int fd = userfolders::openForAppendNoFollow(tempLogPath(fileName));
    if (fd < 0) return;
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    const std::string entry = formatLogEntry(local, line);
    // One write per entry keeps entries of different writers from interleaving.
    [[maybe_unused]] const ssize_t written = write(fd, entry.data(), entry.size());
    close(fd);
}

void NNreportErrorOCL(std::string message)
{
    if (currentPrefix == oclErrorPrefix) oclErrorPrefix.clear();
    if (!oclErrorPrefix.empty()) oclErrorLog += oclErrorPrefix + "\n";
    oclErrorLog += message + "\n";
    currentPrefix = oclErrorPrefix;
}

void OCLConsoleMessage(std::string message)
{
    std::cout << message << "\n" << std::flush;
    std::cout << oclErrorLog << "\n" << std::flush;
    oclErrorLog.clear();
}

void errorCallbackConsole(std::string message) { std::cerr << message << "\n" << std::flush; }
