// Times the image-filter layers on one 832 x 832 x 3 tile on PoCL's default
// device, beside a 3x3 convolution 16->16 of the same size measured in the
// same run: the histogram median at radius 2, 5 and 10 (one work item per
// row, sliding histogram), the luma median, the bilateral filter and the
// recursive blur. Times are of the layer alone: the input stays uploaded and
// nothing is read back.
//   bench_image_filters [size] [repeat]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "NNInference/NNInference.h"
#include "ailayers/DiagnosticsLog.h"
#include "nn_networks.h"

namespace {

using Clock = std::chrono::steady_clock;

struct FilterCase {
    std::string name;
    std::vector<char> stream;
    int32_t channels = 3;
    int32_t mode = 0;
};

FilterCase filterCase(const std::string& name, const char* kind, int32_t mode, float first, float second)
{
    BenchStream s;
    s.simple({s.input(3)}, kind);
    s.f32(first);
    s.f32(second);
    return {name, s.finish(), 3, mode};
}

FilterCase convolutionCase(int32_t size)
{
    return {"conv 3x3 16->16 (reference)", singleConvolution(16, size).stream, 16, 0};
}

// Median milliseconds of the layers alone, or a negative value on failure.
double timeLayers(const FilterCase& c, int32_t size, int repeat)
{
    NNInference engine;
    if (!engine.initialize(0, false, "bench", 0)) return -1;
    engine.switchArguments[1 * 16] = c.mode;
    if (!engine.loadModelFromMemory(c.stream.data(), c.stream.size()) || !engine.allocate(size, size, c.channels)) {
        std::fprintf(stderr, "%s: %s\n%s\n", c.name.c_str(), engine.getErrorText().c_str(), oclErrorLog.c_str());
        return -1;
    }
    std::vector<float> input(size_t(size) * size * size_t(c.channels));
    uint32_t state = 12345;
    for (float& v : input) {
        state = state * 1664525u + 1013904223u;
        v = float(state >> 8) / float(1 << 24);
    }
    // The first run also generates PoCL's machine code.
    if (engine.predict(input.data(), size, size, c.channels) == nullptr) return -1;
    std::vector<double> times;
    for (int r = 0; r < repeat; ++r) {
        engine.invalidateCache();
        engine.model.layers[0]->cacheValid = true;
        const auto start = Clock::now();
        if (!engine.model.processLayers(engine.queue, false) || clFinish(engine.queue) != CL_SUCCESS) return -1;
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int32_t size = argc > 1 ? std::atoi(argv[1]) : 832;
    const int repeat = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::vector<FilterCase> cases = {
        convolutionCase(size),
        filterCase("median r=2, all levels", "SBlu", 2, 2.0f, 1.0f),
        filterCase("median r=5, all levels", "SBlu", 2, 5.0f, 1.0f),
        filterCase("median r=10, all levels", "SBlu", 2, 10.0f, 1.0f),
        filterCase("median r=5, threshold 0.1", "SBlu", 2, 5.0f, 0.1f),
        filterCase("luma median r=5, all levels", "SBlu", 3, 5.0f, 1.0f),
        filterCase("bilateral strength 3 (halo 3)", "SBlu", 1, 3.0f, 0.3f),
        filterCase("recursive blur strength 5", "IIRB", 0, 5.0f, 0.2f),
    };
    std::printf("| layer on %d x %d | ms per tile |\n|---|---|\n", size, size);
    for (const FilterCase& c : cases) {
        const double ms = timeLayers(c, size, repeat);
        if (ms < 0) std::printf("| %s | failed |\n", c.name.c_str());
        else std::printf("| %s | %.1f |\n", c.name.c_str(), ms);
        std::fflush(stdout);
    }
    return 0;
}
