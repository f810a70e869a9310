// Gated blend of two RGB inputs: the second (detail) input is limited,
// gated by its own brightness and mixed onto the scaled first input, with an
// optional protection of dark pixels of the first input.
#define MIX2_LUMA(v) (((v).x + 2.0f * (v).y + (v).z) * 0.25f)

__kernel void KERNEL_NAME(__global const float* data1, __global const float* data2, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth,
                          float mix1, float mix2, float bias, float limit2, float gate2, float blackMask)
{
    const int pixel = get_global_id(0) + get_global_id(1) * imageWidth;
    const float3 s = vload3(0, data1 + pixel * INPUT_CHANNELS_1);
    float3 d = vload3(0, data2 + pixel * INPUT_CHANNELS_2);
    float m = MIX2_LUMA(d);
    if (m > limit2 || m < -limit2) d *= limit2 / fabs(m);
    m = fabs(MIX2_LUMA(d));
    if (m < gate2) {
        d *= 0.5f;
    } else if (m < 2.0f * gate2) {
        const float n = (m - 2.0f * gate2) * 1.5f + 2.0f * gate2;
        d *= n / m;
    }
    d *= mix2;
    float3 e = s * mix1 + bias;
    if (blackMask > 0.000001f) {
        const float ms = MIX2_LUMA(s);
        if (ms < blackMask) {
            const float q = ms / blackMask;
            const float mask = 1.0f - (1.0f - q) * (1.0f - q);
            e = s * (1.0f - mask) + e * mask;
        }
    }
    vstore3(e + d, 0, destination + pixel * OUTPUT_CHANNELS);
}
