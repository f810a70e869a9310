// YUV (U and V centred on 0.5) back to RGB in the first three channels; may
// run in place.
__kernel void KERNEL_NAME(__global const float* sourceData, __global float* destination)
{
    const int at = (get_global_id(0) + get_global_id(1) * get_global_size(0)) * INPUT_CHANNELS_1;
    const float luma = sourceData[at];
    const float u = sourceData[at + 1] - 0.5f;
    const float v = sourceData[at + 2] - 0.5f;
    destination[at] = luma + 1.13983f * v;
    destination[at + 1] = luma - 0.39465f * u - 0.58060f * v;
    destination[at + 2] = luma + 2.03211f * u;
}
