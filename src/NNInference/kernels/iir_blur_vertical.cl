// Recursive edge-limited blur along columns, one work item per column; the
// same forward and backward passes as the row pass. The backward pass reads
// data1, which is the forward result when the pass runs in place.
__kernel void KERNEL_NAME(__global float* data1, __global float* destination,
                          int inputChannels, int outputChannels, int length, float k, float threshold)
{
    const int x = get_global_id(0);
    const int width = get_global_size(0);
    const float keep = 1.0f - k;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) {
        float running = data1[x * INPUT_CHANNELS_1 + c];
        for (int y = 0; y < length; ++y) {
            const int at = (x + y * width) * INPUT_CHANNELS_1 + c;
            const float v = data1[at];
            running = fmin(fmax(v * k + running * keep, v - threshold), v + threshold);
            destination[at] = running;
        }
        for (int y = length - 1; y >= 0; --y) {
            const int at = (x + y * width) * INPUT_CHANNELS_1 + c;
            const float v = data1[at];
            running = fmin(fmax(v * k + running * keep, v - threshold), v + threshold);
            destination[at] = running;
        }
    }
}
