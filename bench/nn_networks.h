#pragma once
// The networks the engine benchmarks time, built as model streams (and
// described the same way to the PyTorch side by nn_torch_reference.py).

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct BenchNetwork {
    std::string name;
    std::vector<char> stream;
    double flops = 0; // multiply-adds x 2 at the benchmark size
    int32_t inputChannels = 3;
};

class BenchStream {
public:
    void i32(int32_t v)
    {
        for (int k = 0; k < 4; ++k) bytes.push_back(char((uint32_t(v) >> (8 * k)) & 0xff));
    }
    void code(const char* c) { bytes.insert(bytes.end(), c, c + 4); }
    void f32(float v)
    {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        i32(int32_t(bits));
    }
    void layer(std::vector<int32_t> inbound, const char* type)
    {
        inbound.resize(10, -1);
        for (int32_t n : inbound) i32(n);
        code(type);
    }
    // Returns the new layer's index.
    int32_t input(int32_t channels)
    {
        layer({}, "inpu");
        i32(channels);
        return count++;
    }
    int32_t conv(int32_t from, int32_t in, int32_t out, int32_t k, const char* activation, double pixels, double& flops)
    {
        layer({from}, "co2d");
        for (int32_t v : {1, 1, 1, 1}) i32(v);
        code(activation);
        for (int32_t v : {out, k, k, in}) i32(v);
        uint32_t state = uint32_t(count) * 747796405u + 1;
        const int64_t n = int64_t(out) * k * k * in;
        const float scale = 1.0f / float(k * k * in);
        for (int64_t i = 0; i < n; ++i) {
            state = state * 1664525u + 1013904223u;
            f32((float(state >> 8) / float(1 << 23) - 1.0f) * scale * 3.0f);
        }
        i32(out);
        for (int32_t o = 0; o < out; ++o) f32(0.01f * float(o));
        flops += 2.0 * pixels * in * out * k * k;
        return count++;
    }
    int32_t simple(std::vector<int32_t> inbound, const char* type)
    {
        layer(inbound, type);
        return count++;
    }
    int32_t pool(int32_t from)
    {
        layer({from}, "maxp");
        for (int32_t v : {2, 2, 2, 2}) i32(v);
        return count++;
    }
    std::vector<char> finish() const
    {
        BenchStream header;
        header.code("NNin");
        for (int32_t v : {5, 20240101, 1, 1, 0, 0, count, 0}) header.i32(v);
        header.code("LAYS");
        std::vector<char> all = header.bytes;
        all.insert(all.end(), bytes.begin(), bytes.end());
        return all;
    }

    std::vector<char> bytes;
    int32_t count = 0;
};

inline BenchNetwork singleConvolution(int32_t channels, int32_t size)
{
    BenchStream s;
    BenchNetwork net;
    const int32_t in = s.input(channels);
    s.conv(in, channels, channels, 3, "line", double(size) * size, net.flops);
    net.name = "conv3x3 " + std::to_string(channels) + "->" + std::to_string(channels);
    net.stream = s.finish();
    net.inputChannels = channels;
    return net;
}

// Encoder 16/32/64 with max pooling, decoder with nearest upsampling and
// concatenation of the encoder features, 1x1 head to 3 channels.
inline BenchNetwork smallUNet(int32_t size)
{
    BenchStream s;
    BenchNetwork net;
    const double p0 = double(size) * size, p1 = p0 / 4, p2 = p0 / 16;
    int32_t x = s.input(3);
    x = s.conv(x, 3, 16, 3, "relu", p0, net.flops);
    const int32_t e1 = s.conv(x, 16, 16, 3, "relu", p0, net.flops);
    x = s.pool(e1);
    x = s.conv(x, 16, 32, 3, "relu", p1, net.flops);
    const int32_t e2 = s.conv(x, 32, 32, 3, "relu", p1, net.flops);
    x = s.pool(e2);
    x = s.conv(x, 32, 64, 3, "relu", p2, net.flops);
    x = s.conv(x, 64, 64, 3, "relu", p2, net.flops);
    x = s.simple({x}, "ups2");
    x = s.simple({x, e2}, "conc");
    x = s.conv(x, 96, 32, 3, "relu", p1, net.flops);
    x = s.conv(x, 32, 32, 3, "relu", p1, net.flops);
    x = s.simple({x}, "ups2");
    x = s.simple({x, e1}, "conc");
    x = s.conv(x, 48, 16, 3, "relu", p0, net.flops);
    x = s.conv(x, 16, 16, 3, "relu", p0, net.flops);
    s.conv(x, 16, 3, 1, "line", p0, net.flops);
    net.name = "U-Net 16/32/64";
    net.stream = s.finish();
    return net;
}
