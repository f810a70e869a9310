// Bilateral filter of the first three channels: neighbours within the halo
// are weighted by their distance and by how far their colour (sum of the
// absolute RGB differences) is from the centre's. Coordinates past the
// border repeat the edge pixels.
__kernel void KERNEL_NAME(__global const float* sourceData, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth, int imageHeight,
                          float sigma, float invEdgeThreshold)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    const int centre = (x + y * imageWidth) * INPUT_CHANNELS_1;
    const float3 c = vload3(0, sourceData + centre);
    const int halo = (int)fmin(50.0f, 2.0f * sigma);
    if (halo < 1) {
        vstore3(c, 0, destination + centre);
        return;
    }
    const float spatial = 0.5f / (sigma * sigma);
    float3 sum = (float3)(0.0f);
    float weights = 0.0f;
    for (int dy = -halo; dy <= halo; ++dy) {
        const int ny = clamp(y + dy, 0, imageHeight - 1);
        for (int dx = -halo; dx <= halo; ++dx) {
            const int nx = clamp(x + dx, 0, imageWidth - 1);
            const float3 n = vload3(0, sourceData + (nx + ny * imageWidth) * INPUT_CHANNELS_1);
            const float3 diff = fabs(n - c);
            const float d = diff.x + diff.y + diff.z;
            const float w = exp(-(float)(dx * dx + dy * dy) * spatial) * exp(-0.5f * d * d * invEdgeThreshold);
            sum += n * w;
            weights += w;
        }
    }
    vstore3(sum / weights, 0, destination + centre);
}
