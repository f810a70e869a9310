#pragma once
// The diagnostics log (an optional, time-stamped text file in the per-user
// cache folder) and the process-wide error channels into which OpenCL and
// engine errors are gathered until the next getErrorText hands them out.

#include <ctime>
#include <string>

// Appends "<Y-M-D h:m:s> <line>\n\n" to <cache folder>/<fileName>. Silent when
// the folder or file cannot be opened.
void addLineToTempLog(const std::string& fileName, const std::string& line);
// The entry text for a given local time (exposed so the format can be checked).
std::string formatLogEntry(const std::tm& localTime, const std::string& line);
// Full path of a log file in the cache folder.
std::string tempLogPath(const std::string& fileName);

// Process-wide error channels. None of them is locked: one inference runs at
// a time.
extern std::string oclErrorLog;            // OpenCL errors and device-switch notes
extern std::string oclErrorPrefix;         // header to write before the next OpenCL error
extern std::string currentPrefix;          // header written last
extern std::string modelLogicErrorMessage; // messages received through kstErrorCallback
extern void (*kstErrorCallback)(std::string message);
extern bool globalLogging;

// Records an OpenCL error, writing the model/device header once per change.
void NNreportErrorOCL(std::string message);
// Console reporter: prints the message and the OpenCL log to standard output,
// then clears the log. It does not wait for input: it runs inside hosts and
// non-interactive command lines.
void OCLConsoleMessage(std::string message);
void errorCallbackConsole(std::string message);
