// Re-blend after a strength change on a 6000 x 4000 photograph (the network
// result is kept, only the blend runs), with and without the subject mask,
// beside the memory-bandwidth floor: one pass that reads two float images of
// the same size and writes a third, as the plain blend must at least do.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "engine/PhotoCreator.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

struct Photograph {
    PhotoCreator engine{false};
    image_template<float> network;

    Photograph()
    {
        const size_t values = size_t(kWidth) * kHeight * 3;
        float* pixels = new float[values + 3];
        for (size_t i = 0; i < values; ++i) pixels[i] = float(i % 251) / 250.0f;
        engine.LoadTexture(pixels, kWidth, kHeight, 3); // no networks: the subject mask is made below
        network.allocate(kWidth, kHeight, 3);
        for (size_t i = 0; i < values; ++i) network.data[i] = float((i * 7) % 253) / 252.0f;
        engine.netResult = network;
        engine.netResultReady = true;
        engine.autoMask = new unsigned char[size_t(kWidth) * kHeight + 1];
        for (size_t p = 0; p < size_t(kWidth) * kHeight; ++p) engine.autoMask[p] = (p % kWidth) > kWidth / 3 ? 255 : 0;
        engine.errorText.clear();
    }
    ~Photograph()
    {
        engine.netResult = image_template<float>();
        network.release();
    }
};

Photograph& photograph()
{
    static Photograph instance;
    return instance;
}

void Reblend(benchmark::State& state)
{
    Photograph& photo = photograph();
    photo.engine.automaskEnabled = state.range(0) != 0;
    const bool display = state.range(1) != 0;
    float strength = 0.5f;
    for (auto _ : state) {
        photo.engine.SetAlpha(strength);
        strength = strength == 0.5f ? 0.6f : 0.5f;
        photo.engine.UpdateImage(display, nullptr, false);
        benchmark::DoNotOptimize(photo.engine.outputImage.data);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kWidth) * kHeight * 3 * 4 * 3);
}
BENCHMARK(Reblend)
    ->ArgNames({"automask", "display"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The floor: out = a + b over the same three arrays, on as many threads as
// the blend uses.
void MemoryFloor(benchmark::State& state)
{
    Photograph& photo = photograph();
    const size_t values = size_t(kWidth) * kHeight * 3;
    const float* a = photo.engine.mainImage.data;
    const float* b = photo.network.data;
    float* out = photo.engine.outputImage.data;
    const int threads = int(state.range(0));
    for (auto _ : state) {
        std::vector<std::thread> workers;
        const size_t chunk = (values + threads - 1) / threads;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([=] {
                const size_t first = std::min(values, chunk * t), end = std::min(values, first + chunk);
                for (size_t i = first; i < end; ++i) out[i] = a[i] + b[i];
            });
        for (auto& worker : workers) worker.join();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(values) * 4 * 3);
}
BENCHMARK(MemoryFloor)->ArgName("threads")->Arg(2)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
