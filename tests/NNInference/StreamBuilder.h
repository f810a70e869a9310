#pragma once
// Builds model streams byte by byte for the engine tests.

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

class StreamBuilder {
public:
    StreamBuilder& i32(int32_t value)
    {
        for (int k = 0; k < 4; ++k) bytes.push_back(char((uint32_t(value) >> (8 * k)) & 0xff));
        return *this;
    }
    StreamBuilder& f32(float value)
    {
        uint32_t bits;
        std::memcpy(&bits, &value, 4);
        return i32(int32_t(bits));
    }
    StreamBuilder& code(const char* text)
    {
        for (int k = 0; k < 4; ++k) bytes.push_back(text[k]);
        return *this;
    }
    StreamBuilder& floats(const std::vector<float>& values)
    {
        for (float v : values) f32(v);
        return *this;
    }
    // "NNin" header of version 4 or later (inputs, stride offset mode).
    StreamBuilder& header(int32_t version, int32_t layers, int32_t inputs = 1, int32_t strideOffset = 0)
    {
        code("NNin").i32(version);
        if (version >= 3) i32(20240101).i32(inputs).i32(strideOffset).i32(0).i32(0);
        return i32(layers);
    }
    // Version 5 list of output layers followed by "LAYS".
    StreamBuilder& outputs(std::initializer_list<int32_t> layers)
    {
        i32(int32_t(layers.size()));
        for (int32_t layer : layers) i32(layer);
        return code("LAYS");
    }
    // Ten inbound slots (unused ones -1) and the operation code.
    StreamBuilder& layer(std::initializer_list<int32_t> inbound, const char* type)
    {
        int slots = 0;
        for (int32_t node : inbound) i32(node), ++slots;
        for (; slots < 10; ++slots) i32(-1);
        return code(type);
    }
    StreamBuilder& input(int32_t channels) { return layer({}, "inpu").i32(channels); }
    // Convolution block for streams of version 2 or later.
    StreamBuilder& conv(const char* type, int32_t from, int32_t outputs, int32_t filterW, int32_t filterH,
                        int32_t inputs, const std::vector<float>& weights, const std::vector<float>& biases,
                        int32_t stride = 1, int32_t dilation = 1, const char* activation = "line")
    {
        layer({from}, type).i32(stride).i32(stride).i32(dilation).i32(dilation).code(activation);
        i32(outputs).i32(filterW).i32(filterH).i32(inputs).floats(weights);
        return i32(int32_t(biases.size())).floats(biases);
    }
    std::string str() const { return std::string(bytes.begin(), bytes.end()); }
    size_t size() const { return bytes.size(); }

    std::vector<char> bytes;
};
