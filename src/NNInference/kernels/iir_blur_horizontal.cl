// Recursive edge-limited blur along rows, one work item per row: a forward
// and a backward first-order pass per channel. Each step may move at most
// `threshold` away from the value it filters, so edges stronger than the
// threshold survive.
__kernel void KERNEL_NAME(__global const float* data1, __global float* destination,
                          int inputChannels, int outputChannels, int length, float k, float threshold)
{
    const int y = get_global_id(0);
    const int row = y * length;
    const float keep = 1.0f - k;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) {
        float running = data1[row * INPUT_CHANNELS_1 + c];
        for (int x = 0; x < length; ++x) {
            const int at = (row + x) * INPUT_CHANNELS_1 + c;
            const float v = data1[at];
            running = fmin(fmax(v * k + running * keep, v - threshold), v + threshold);
            destination[at] = running;
        }
        for (int x = length - 1; x >= 0; --x) {
            const int at = (row + x) * INPUT_CHANNELS_1 + c;
            const float v = destination[at];
            running = fmin(fmax(v * k + running * keep, v - threshold), v + threshold);
            destination[at] = running;
        }
    }
}
