// Tiled prediction of a 24-megapixel photograph (6000 x 4000 x 3) through the
// real OpenCL back-end, at each shrink factor the dirt strengths use (tiles of
// 832 network pixels, core 448, detail-restoring shrink). The time is split
// into the network runs and everything around them (cutting, shrinking,
// enlarging, copying), and the peak resident memory is reported.
//
//   build/bench/bench_tiled_prediction [model.cnn] [factors, e.g. 321]
//
// The default model is the 16/32/64 U-Net of the layer fixtures.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ailayers/AILayers.h"
#include "ailayers/ModelLogicOpenCL.h"

namespace {

using Clock = std::chrono::steady_clock;

// Forwards to the OpenCL back-end and adds up the time spent in network runs.
class TimedModelLogic : public ModelLogic {
public:
    explicit TimedModelLogic(std::unique_ptr<ModelLogicOpenCL> inner) : inner(std::move(inner)) {}
    using ModelLogic::runModel;

    image_template<float> runModel(const float* d, unsigned w, unsigned h, unsigned c) override
    {
        const auto start = Clock::now();
        image_template<float> result = inner->runModel(d, w, h, c);
        networkSeconds += std::chrono::duration<double>(Clock::now() - start).count();
        ++runs;
        return result;
    }
    bool initModel(const char* d, unsigned s, std::string a, std::string b) override
    {
        return inner->initModel(d, s, a, b);
    }
    void deallocate() override { inner->deallocate(); }
    const float* runModel2Inputs(const float* a, const float* b, unsigned w, unsigned h, unsigned c,
                                 int* s) override
    {
        return inner->runModel2Inputs(a, b, w, h, c, s);
    }
    const float* runModel3Inputs(image_template<float> a, image_template<float> b, image_template<float> c,
                                 int* s) override
    {
        return inner->runModel3Inputs(a, b, c, s);
    }
    const float* runModelAsync(const float* d, unsigned w, unsigned h, unsigned c, int* s, bool& r) override
    {
        return inner->runModelAsync(d, w, h, c, s, r);
    }
    unsigned char* runModel(const float* d, unsigned w, unsigned h, unsigned c, int* s, bool f, float x) override
    {
        return inner->runModel(d, w, h, c, s, f, x);
    }
    std::string getNNEngineInformation(const char* q, int* n) override { return inner->getNNEngineInformation(q, n); }
    std::string getErrorText() override { return inner->getErrorText(); }
    bool isLoaded() override { return inner->isLoaded(); }
    void invalidateCache() override { inner->invalidateCache(); }

    std::unique_ptr<ModelLogicOpenCL> inner;
    double networkSeconds = 0;
    int runs = 0;
};

std::vector<char> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

double peakResidentMB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string modelPath =
        argc > 1 ? argv[1] : std::string(TESSALINE_SOURCE_DIR) + "/tests/fixtures/layers/unet16_32_64_24x16/model.cnn";
    const std::string factors = argc > 2 ? argv[2] : "321";
    const std::vector<char> model = readFile(modelPath);
    if (model.empty()) {
        std::fprintf(stderr, "cannot read %s\n", modelPath.c_str());
        return 1;
    }

    auto timed = std::make_unique<TimedModelLogic>(std::make_unique<ModelLogicOpenCL>(0, "bench"));
    TimedModelLogic* backEnd = timed.get();
    AILayers layers(std::move(timed));
    layers.initializeAILayers("Kestrelion Tessaline", nullptr);
    if (!layers.loadModel(model.data(), unsigned(model.size()), "", "")) {
        std::fprintf(stderr, "model did not load: %s\n", layers.getErrorText(2048).c_str());
        return 1;
    }
    std::printf("model %s\ndevice %s\n", modelPath.c_str(), backEnd->inner->engine().engineInformation.c_str());

    const int width = 6000, height = 4000;
    std::vector<float> photo(size_t(width) * height * 3 + 3);
    for (size_t i = 0; i < photo.size(); ++i) photo[i] = float((i * 7919) % 1000) / 1000.0f;
    const image_template<float> image(width, height, 3, photo.data());

    // The first tile compiles the kernels for the device; keep that out of the figures.
    layers.predictByTilesImageFloat(image_template<float>(832, 832, 3, photo.data()), 832, 448, -1, nullptr, nullptr);

    std::printf("%-6s %6s %10s %10s %10s %8s %12s\n", "factor", "tiles", "total s", "network s", "outside s",
                "outside", "peak RSS MB");
    for (char f : factors) {
        const int k = f - '0';
        backEnd->networkSeconds = 0;
        backEnd->runs = 0;
        const auto start = Clock::now();
        const image_template<float> out = layers.predictByTilesImageFloat(image, 832, 448, -k, nullptr, nullptr);
        const double total = std::chrono::duration<double>(Clock::now() - start).count();
        if (!out.data) {
            std::fprintf(stderr, "prediction failed: %s\n", layers.getErrorText(2048).c_str());
            return 1;
        }
        const double outside = total - backEnd->networkSeconds;
        std::printf("%-6d %6d %10.2f %10.2f %10.2f %7.1f%% %12.0f\n", k, backEnd->runs, total, backEnd->networkSeconds,
                    outside, 100.0 * outside / total, peakResidentMB());
    }
    return 0;
}
