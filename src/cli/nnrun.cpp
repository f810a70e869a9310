// Runs one model stream on raw float input, for engine development and
// verification:
//   nnrun --model M.cnn --input IN.f32 --width W --height H --channels C
//         --output OUT.f32 [--device N] [--repeat R]
// Prints "W H C" of the last layer's output first; with --repeat also the
// median time of R predictions.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "NNInference/NNInference.h"
#include "ailayers/DiagnosticsLog.h"

namespace {

struct Options {
    std::string model, input, output;
    long width = 0, height = 0, channels = 0, device = 0, repeat = 0;
};

bool parseNumber(const std::string& text, long& value)
{
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && end != nullptr && *end == '\0' && value >= 0 && value <= (1L << 20);
}

bool parseOptions(int argc, char** argv, Options& options)
{
    std::map<std::string, std::string> values;
    for (int i = 1; i + 1 < argc; i += 2) values[argv[i]] = argv[i + 1];
    if (argc % 2 == 0) return false;
    for (const auto& [key, value] : values) {
        if (key == "--model") options.model = value;
        else if (key == "--input") options.input = value;
        else if (key == "--output") options.output = value;
        else if (key == "--width" && parseNumber(value, options.width)) continue;
        else if (key == "--height" && parseNumber(value, options.height)) continue;
        else if (key == "--channels" && parseNumber(value, options.channels)) continue;
        else if (key == "--device" && parseNumber(value, options.device)) continue;
        else if (key == "--repeat" && parseNumber(value, options.repeat)) continue;
        else return false;
    }
    return !options.model.empty() && !options.input.empty() && !options.output.empty() && options.width > 0 &&
           options.height > 0 && options.channels > 0;
}

bool readFile(const std::string& path, std::vector<char>& bytes)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

int failWith(const NNInference& engine, const std::string& what)
{
    std::cerr << what << "\n" << engine.getErrorText() << "\n" << modelLogicErrorMessage << oclErrorLog << std::endl;
    return 1;
}

void collect(std::string message)
{
    modelLogicErrorMessage += message + "\n";
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::cerr << "usage: nnrun --model M.cnn --input IN.f32 --width W --height H --channels C --output OUT.f32 "
                     "[--device N] [--repeat R]"
                  << std::endl;
        return 2;
    }
    kstErrorCallback = collect;
    NNInference engine;
    std::vector<char> model, input;
    if (!readFile(options.model, model)) return failWith(engine, "cannot read " + options.model);
    if (!readFile(options.input, input)) return failWith(engine, "cannot read " + options.input);
    const size_t expected = size_t(options.width) * size_t(options.height) * size_t(options.channels) * sizeof(float);
    if (input.size() != expected)
        return failWith(engine, options.input + " holds " + std::to_string(input.size()) + " bytes, expected " +
                                    std::to_string(expected));
    std::vector<float> pixels(input.size() / sizeof(float));
    std::copy(input.begin(), input.end(), reinterpret_cast<char*>(pixels.data()));

    if (!engine.initialize(int32_t(options.device), false, "nnrun", 0)) return failWith(engine, "initialize failed");
    if (!engine.loadModelFromMemory(model.data(), model.size())) return failWith(engine, "model load failed");
    const int32_t w = int32_t(options.width), h = int32_t(options.height), c = int32_t(options.channels);
    if (!engine.allocate(w, h, c)) return failWith(engine, "allocate failed");
    const float* result = engine.predict(pixels.data(), w, h, c);
    if (result == nullptr) return failWith(engine, "predict failed");
    const NNImage& last = *engine.model.images.back();
    std::ofstream out(options.output, std::ios::binary);
    out.write(reinterpret_cast<const char*>(result), std::streamsize(last.elementCount() * sizeof(float)));
    if (!out) return failWith(engine, "cannot write " + options.output);
    std::cout << last.width << " " << last.height << " " << last.channels << std::endl;

    if (options.repeat > 0) {
        std::vector<double> times;
        for (long r = 0; r < options.repeat; ++r) {
            engine.invalidateCache();
            const auto start = std::chrono::steady_clock::now();
            if (engine.predict(pixels.data(), w, h, c) == nullptr) return failWith(engine, "predict failed");
            times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        std::nth_element(times.begin(), times.begin() + long(times.size() / 2), times.end());
        std::printf("median %.3f ms over %ld runs\n", times[times.size() / 2], options.repeat);
    }
    return 0;
}
