#pragma once
// The engine-wide OpenCL error check and the table of error names.

#include <CL/cl.h>

#include <functional>
#include <string>

// Name of an OpenCL status code; "Unspecified Error" outside the table.
const char* oclErrorString(int code);

// Checks one OpenCL result. When `code` differs from `expected`, appends the
// fixed-format report to oclErrorLog (and to the diagnostics log when global
// logging is on) and calls `cleanup` with the code. Returns code == expected.
bool __oclCheckErrorEX(int code, int expected, const std::function<void(int)>& cleanup, const char* file,
                       int line, const std::string& extra = std::string());

// The usual form: expect CL_SUCCESS, no cleanup.
inline bool oclCheck(int code, const char* file, int line, const std::string& extra = std::string())
{
    return __oclCheckErrorEX(code, CL_SUCCESS, nullptr, file, line, extra);
}
