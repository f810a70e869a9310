// YUV (U and V centred on 0.5) back to RGB in the first three channels; may
// run in place. The matrix is the exact inverse of the one in rgb2yuv, so a
// buffer converted there and back any number of times keeps its values (the
// rounded textbook inverse drifts by about 2e-4 per round trip).
__kernel void KERNEL_NAME(__global const float* sourceData, __global float* destination)
{
    const int at = (get_global_id(0) + get_global_id(1) * get_global_size(0)) * INPUT_CHANNELS_1;
    const float luma = sourceData[at];
    const float u = sourceData[at + 1] - 0.5f;
    const float v = sourceData[at + 2] - 0.5f;
    destination[at] = 1.0002177589f * luma - 0.0000859563f * u + 1.1401243788f * v;
    destination[at + 1] = 0.9998669782f * luma - 0.3946788670f * u - 0.5807319487f * v;
    destination[at + 2] = 1.0001138060f * luma + 2.0324754024f * u - 0.0000660996f * v;
}
