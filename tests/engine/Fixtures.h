#pragma once
// The folder of committed test fixtures: TESSALINE_FIXTURES when the test
// runner sets it, else the source tree's folder known at build time.

#include <cstdlib>
#include <string>

inline std::string fixturesFolder()
{
    const char* fromEnvironment = std::getenv("TESSALINE_FIXTURES");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : TESSALINE_FIXTURES_DIR;
}
