#pragma once
// Conversions between host planes and the float image, compositing, and the
// resampling pair that lets the network run on a reduced picture while the
// detail lost by the reduction is restored afterwards.

#include <cstddef>

#include "image/image_template.h"

// Writes one host plane (8-bit, 16-bit with 32768 as full scale, or float) into
// channel `channel` of a packed width x height x 3 float buffer.
void imageEmbedPlaneIntoRGBFloat(const unsigned char* plane, float* rgb, int width, int height, int rowBytes,
                                 int depth, int channel);

// Writes channel `channel` of `count` packed RGBA pixels into a packed host
// plane of the given depth, only where `mask` (when given) is on.
void imageExtractPlaneFromRGBFloatWithMask(const float* rgba, unsigned char* plane, size_t count, int depth,
                                           int channel, const unsigned char* mask, int maskDepth);

// Composites RGBA pixels over white in place; alpha itself is kept.
void imagePremultiplyAlphaToWhite(float* rgba, size_t count, int ignored);

// Box reduction by k into the already allocated dst (the caller guarantees the
// source covers k * dst in both directions and that channels match).
void imageDownscaleIntegral(const image_template<float>& src, image_template<float> dst, int k);

// Bilinear enlargement with a quarter-pixel offset; the first rows are
// extrapolated from source rows 0 and 1 (the residual scheme relies on this).
void imageUpscaleBilinear(const float* src, float* dst, int srcWidth, int srcHeight, int dstWidth, int dstHeight,
                          int channels);

// small = src reduced by k; residual = upscale(small) - src, so that
// upscale(f(small)) - residual restores the detail of src around f.
void imageNonDestructiveDownscale(const image_template<float>& src, int k, image_template<float>& small,
                                  image_template<float>& residual);

// The same into already allocated images: small of (src / k) and residual of
// src's size, both with src's channels (for callers that reuse buffers).
void imageNonDestructiveDownscaleInto(const image_template<float>& src, int k, image_template<float> small,
                                      image_template<float> residual);

// Fills an allocated RGBA preview from an RGB image of equal or larger size by
// averaging boxes; alpha is 1.
void ResizeImageForDisplay34(const image_template<float>& rgb, image_template<float>& rgba);
