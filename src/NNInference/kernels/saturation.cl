// Scales the distance of R, G and B from their grey mean.
__kernel void KERNEL_NAME(__global const float* data1, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth, float saturation)
{
    const int base = (get_global_id(0) + get_global_id(1) * imageWidth) * inputChannels;
    const float r = data1[base];
    const float g = data1[base + 1];
    const float b = data1[base + 2];
    const float grey = (r + g + b) * 0.3333333333333333333f;
    destination[base] = (r - grey) * saturation + grey;
    destination[base + 1] = (g - grey) * saturation + grey;
    destination[base + 2] = (b - grey) * saturation + grey;
}
