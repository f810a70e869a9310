// One work item: per-channel means of the column sums, averaged over each
// group. AVERAGE leaves minus the group mean per channel; DEVIATION leaves
// scale / sqrt(group mean of squares + 0.01).
__kernel void KERNEL_NAME(__global const float* tempBuffer, __global float* tempBuffer2,
                          __global const float* weights, int groupNum, int imageWidth, int imageHeight)
{
    const float count = (float)imageHeight * (float)imageWidth;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) {
        float s = 0.0f;
        for (int x = 0; x < imageWidth; ++x) s += tempBuffer[x * OUTPUT_CHANNELS + c];
#ifdef AVERAGE
        tempBuffer2[c] = -s / count;
#else
        tempBuffer2[c] = s / count;
#endif
    }
    const int groupSize = OUTPUT_CHANNELS / groupNum;
    for (int g = 0; g < groupNum; ++g) {
        float a = 0.0f;
        for (int k = 0; k < groupSize; ++k) a += tempBuffer2[g * groupSize + k];
        a /= groupSize;
        for (int k = 0; k < groupSize; ++k) {
            const int c = g * groupSize + k;
#ifdef AVERAGE
            tempBuffer2[c] = a;
#else
            tempBuffer2[c] = weights[c] / sqrt(a + 0.01f);
#endif
        }
    }
}
