// Times the image operations on a 24-megapixel RGB photograph (6000 x 4000 x 3)
// beside a plain memory copy of the same size, measured in the same run, so
// the figures can be read as a fraction of what the memory allows.
//
//   build/bench/bench_image_ops [repeats]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "image/ImageOperations.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr int kChannels = 3;

double medianMilliseconds(int repeats, const std::function<void()>& work)
{
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const auto end = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// bytes: what the operation must read plus what it writes.
void report(const char* name, double ms, double bytes)
{
    std::printf("%-44s %9.2f ms %8.2f GB/s\n", name, ms, bytes / (ms * 1e-3) / 1e9);
}

struct Owned {
    image_template<float> image;
    Owned(int w, int h, int c) { image.allocate(w, h, c); }
    ~Owned() { image.release(); }
};

} // namespace

int main(int argc, char** argv)
{
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    Owned src(kWidth, kHeight, kChannels);
    if (!src.image.data) return 1;
    for (int64_t i = 0; i < src.image.elementCount(); ++i) src.image.data[i] = float(i % 251) / 251.0f;
    const double full = double(src.image.elementCount()) * sizeof(float);

    std::printf("input %d x %d x %d floats (%.0f MB), median of %d runs\n", kWidth, kHeight, kChannels, full / 1e6,
                repeats);

    Owned copy(kWidth, kHeight, kChannels);
    const double copyMs = medianMilliseconds(repeats, [&] {
        std::memcpy(copy.image.data, src.image.data, size_t(full));
    });
    report("memcpy (reference)", copyMs, 2 * full);

    for (int k : {2, 3}) {
        Owned small(kWidth / k, kHeight / k, kChannels);
        const double ms = medianMilliseconds(repeats, [&] { imageDownscaleIntegral(src.image, small.image, k); });
        char name[64];
        std::snprintf(name, sizeof name, "imageDownscaleIntegral k=%d", k);
        report(name, ms, full + full / (k * k));

        const double upMs = medianMilliseconds(repeats, [&] {
            imageUpscaleBilinear(small.image.data, copy.image.data, small.image.width, small.image.height, kWidth,
                                 kHeight, kChannels);
        });
        std::snprintf(name, sizeof name, "imageUpscaleBilinear back from k=%d", k);
        report(name, upMs, full + full / (k * k));

        const double ndMs = medianMilliseconds(repeats, [&] {
            image_template<float> s, r;
            imageNonDestructiveDownscale(src.image, k, s, r);
            s.release();
            r.release();
        });
        std::snprintf(name, sizeof name, "imageNonDestructiveDownscale k=%d", k);
        // reads src twice (reduce, subtract), writes small and residual, reads residual
        report(name, ndMs, 2 * full + 2 * full + full / (k * k));
    }

    Owned display(kWidth / 2, kHeight / 2, 4);
    const double dispMs = medianMilliseconds(repeats, [&] { ResizeImageForDisplay34(src.image, display.image); });
    report("ResizeImageForDisplay34 to 3000 x 2000", dispMs, full + full / 4 * 4 / 3);
    return 0;
}
