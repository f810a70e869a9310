// Times the engine on PoCL's default device beside PyTorch on the CPU:
// a 3x3 convolution 16->16 and 32->32 and a small U-Net at 832 x 832, the
// first build of each program and its load from the binary cache. GFLOP/s and
// the ratio to PyTorch are computed from the layers' time.
//   nn_engine_bench [size] [repeat]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

#include "NNInference/NNInference.h"
#include "ailayers/DiagnosticsLog.h"
#include "nn_networks.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct EngineTiming {
    double buildMs = 0, cachedLoadMs = 0, runMs = 0, layersMs = 0;
    bool ok = false;
};

std::unique_ptr<NNInference> loadedEngine(const BenchNetwork& net, int32_t size, double& loadMs)
{
    auto engine = std::make_unique<NNInference>();
    if (!engine->initialize(0, false, "bench", 0)) return nullptr;
    const auto start = Clock::now();
    if (!engine->loadModelFromMemory(net.stream.data(), net.stream.size()) ||
        !engine->allocate(size, size, net.inputChannels)) {
        std::fprintf(stderr, "%s: %s\n%s\n", net.name.c_str(), engine->getErrorText().c_str(), oclErrorLog.c_str());
        return nullptr;
    }
    loadMs = millisecondsSince(start);
    return engine;
}

EngineTiming timeEngine(const BenchNetwork& net, int32_t size, int repeat)
{
    EngineTiming timing;
    std::unique_ptr<NNInference> first = loadedEngine(net, size, timing.buildMs);
    if (!first) return timing;
    first.reset();
    std::unique_ptr<NNInference> engine = loadedEngine(net, size, timing.cachedLoadMs);
    if (!engine || !engine->model.programFromCache) return timing;
    std::vector<float> input(size_t(size) * size * net.inputChannels, 0.5f);
    std::vector<double> times;
    for (int r = 0; r <= repeat; ++r) { // the first run also generates PoCL's machine code
        engine->invalidateCache();
        const auto start = Clock::now();
        if (engine->predict(input.data(), size, size, net.inputChannels) == nullptr) return timing;
        if (r > 0) times.push_back(millisecondsSince(start));
    }
    std::sort(times.begin(), times.end());
    timing.runMs = times[times.size() / 2];
    // The layers alone: the input stays uploaded, nothing is read back.
    times.clear();
    for (int r = 0; r < repeat; ++r) {
        engine->invalidateCache();
        engine->model.layers[0]->cacheValid = true;
        const auto start = Clock::now();
        if (!engine->model.processLayers(engine->queue, false) || clFinish(engine->queue) != CL_SUCCESS) return timing;
        times.push_back(millisecondsSince(start));
    }
    std::sort(times.begin(), times.end());
    timing.layersMs = times[times.size() / 2];
    timing.ok = true;
    return timing;
}

std::map<std::string, double> torchTimings(int32_t size, int repeat)
{
    std::map<std::string, double> timings;
    const std::string script = std::string(NN_BENCH_DIR) + "/nn_torch_reference.py";
    const std::string command = "/usr/bin/python3 " + script + " " + std::to_string(size) + " " + std::to_string(repeat);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return timings;
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream words(line);
        std::string key;
        double ms = 0;
        if (words >> key >> ms) timings[key] = ms;
    }
    ::pclose(pipe);
    return timings;
}

} // namespace

int main(int argc, char** argv)
{
    const int32_t size = argc > 1 ? std::atoi(argv[1]) : 832;
    const int repeat = argc > 2 ? std::atoi(argv[2]) : 10;
    if (size < 16 || size > 4096 || repeat < 1) return 2;
    // A private cache folder, so that the first build really compiles.
    const std::string cache = std::filesystem::temp_directory_path() / ("nn_bench_" + std::to_string(::getpid()));
    ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    kstErrorCallback = errorCallbackConsole;

    const BenchNetwork nets[] = {singleConvolution(16, size), singleConvolution(32, size), smallUNet(size)};
    const char* torchKeys[] = {"conv16", "conv32", "unet"};
    const std::map<std::string, double> torch = torchTimings(size, repeat);

    std::printf("%d x %d, median of %d runs; PyTorch CPU channels_last, 2 threads\n", size, size, repeat);
    std::printf("engine ms: predict with upload and read-back; layers ms: the kernels alone\n");
    std::printf("%-16s %8s %10s %10s %9s %10s %9s %8s %10s %10s\n", "network", "GFLOP", "engine ms", "layers ms",
                "GFLOP/s", "torch ms", "GFLOP/s", "ratio", "build ms", "cached ms");
    for (size_t i = 0; i < std::size(nets); ++i) {
        const BenchNetwork& net = nets[i];
        const EngineTiming t = timeEngine(net, size, repeat);
        if (!t.ok) {
            std::printf("%-16s failed\n", net.name.c_str());
            continue;
        }
        const auto found = torch.find(torchKeys[i]);
        const double torchMs = found != torch.end() ? found->second : 0;
        const double gflop = net.flops / 1e9;
        std::printf("%-16s %8.2f %10.2f %10.2f %9.1f %10.2f %9.1f %8.2f %10.0f %10.0f\n", net.name.c_str(), gflop,
                    t.runMs, t.layersMs, gflop / t.layersMs * 1e3, torchMs, torchMs > 0 ? gflop / torchMs * 1e3 : 0.0,
                    torchMs > 0 ? torchMs / t.layersMs : 0.0, t.buildMs, t.cachedLoadMs);
    }
    std::error_code ignored;
    std::filesystem::remove_all(cache, ignored);
    return 0;
}
