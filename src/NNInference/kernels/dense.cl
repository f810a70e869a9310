// Fully connected layer, one work item per output channel; weights are laid
// out input-major.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          __global const float* weights, __global const float* biases,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int o = get_global_id(0);
    float sum = biases[o];
    for (int i = 0; i < INPUT_CHANNELS_1; ++i) sum = fma(data[i], weights[i * OUTPUT_CHANNELS + o], sum);
    destination[o] = ACTIVATION(sum);
}
