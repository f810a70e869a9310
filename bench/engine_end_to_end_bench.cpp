// End to end through the library interface on a 6000 x 4000 photograph at
// each dirt strength: total seconds, seconds inside the network run (first to
// last progress report) and the peak resident memory of the process.
// Needs the shipped networks beside the module (build/share/tessaline).
//
//   build/bench/bench_engine_end_to_end [width height]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "tessaline.h"

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point g_firstReport, g_lastReport;
bool g_reported = false;

void onProgress(void*, float)
{
    const auto now = Clock::now();
    if (!g_reported) g_firstReport = now;
    g_lastReport = now;
    g_reported = true;
}

double seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

long peakResidentMB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

} // namespace

int main(int argc, char** argv)
{
    const unsigned width = argc > 2 ? unsigned(std::atoi(argv[1])) : 6000;
    const unsigned height = argc > 2 ? unsigned(std::atoi(argv[2])) : 4000;
    void* engine = createInstance();
    if (engine == nullptr) {
        std::fprintf(stderr, "the engine could not be created (are the networks built?)\n");
        return 1;
    }
    std::vector<float> source(size_t(width) * height * 4);
    for (size_t p = 0; p < size_t(width) * height; ++p) {
        const size_t x = p % width, y = p / width;
        source[p * 4 + 0] = 0.55f + 0.1f * float((x * 31 + y * 17) % 97) / 97.0f;
        source[p * 4 + 1] = 0.52f + 0.1f * float((x * 7 + y * 29) % 89) / 89.0f;
        source[p * 4 + 2] = 0.50f + ((x * y) % 1013 == 0 ? -0.3f : 0.0f);
        source[p * 4 + 3] = 1.0f;
    }
    std::printf("%u x %u through processImageFromMemory\n", width, height);
    std::printf("%-8s %10s %12s %14s\n", "dirt", "total s", "network s", "peak RSS MB");
    const char* names[] = {"", "coarse", "medium", "fine"};
    int failures = 0;
    for (int scale = 1; scale <= 3; ++scale) {
        const std::string settings = "{\"Scale\":" + std::to_string(scale) + "}";
        setSettingsFromJson(engine, settings.c_str());
        std::vector<float> pixels = source;
        g_reported = false;
        const auto start = Clock::now();
        const int code = processImageFromMemory(engine, pixels.data(), width, height, onProgress);
        const auto end = Clock::now();
        if (code != 0) ++failures;
        std::printf("%-8s %10.2f %12.2f %14ld%s\n", names[scale], seconds(start, end),
                    g_reported ? seconds(g_firstReport, g_lastReport) : 0.0, peakResidentMB(),
                    code == 0 ? "" : "  (failed)");
        std::fflush(stdout);
    }
    clearInstance(engine);
    return failures == 0 ? 0 : 1;
}
