// RGB to YUV of the first three channels, with U and V centred on 0.5; may
// run in place.
__kernel void KERNEL_NAME(__global const float* sourceData, __global float* destination)
{
    const int at = (get_global_id(0) + get_global_id(1) * get_global_size(0)) * INPUT_CHANNELS_1;
    const float r = sourceData[at];
    const float g = sourceData[at + 1];
    const float b = sourceData[at + 2];
    destination[at] = 0.299f * r + 0.587f * g + 0.114f * b;
    destination[at + 1] = -0.147108f * r - 0.28886f * g + 0.435912f * b + 0.5f;
    destination[at + 2] = 0.614777f * r - 0.51499f * g - 0.099978f * b + 0.5f;
}
