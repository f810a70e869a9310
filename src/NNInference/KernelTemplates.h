#pragma once
// The OpenCL C templates of the layer kernels, embedded from kernels/*.cl at
// build time. Each defines one kernel named KERNEL_NAME (kernel_activations
// holds the shared helper functions instead) and refers to layer constants
// only through the macro words that NNLayer::applyMacros replaces.

extern const char* const kernel_activation_clip;
extern const char* const kernel_activation_elu;
extern const char* const kernel_activation_exp;
extern const char* const kernel_activation_leakyrelu1;
extern const char* const kernel_activation_leakyrelu3;
extern const char* const kernel_activation_log;
extern const char* const kernel_activation_relu;
extern const char* const kernel_activations;
extern const char* const kernel_add;
extern const char* const kernel_average_pooling;
extern const char* const kernel_average_pooling_3x3strides1;
extern const char* const kernel_average_pooling_strides1;
extern const char* const kernel_bilateral_filter;
extern const char* const kernel_concatenate2;
extern const char* const kernel_concatenate3;
extern const char* const kernel_conv2dt;
extern const char* const kernel_copy;
extern const char* const kernel_dense;
extern const char* const kernel_depth_wise_conv;
extern const char* const kernel_global_average_pooling2d;
extern const char* const kernel_global_max_pooling;
extern const char* const kernel_groupnorm;
extern const char* const kernel_groupnorm_step2;
extern const char* const kernel_iir_blur_horizontal;
extern const char* const kernel_iir_blur_vertical;
extern const char* const kernel_linear_axplusb;
extern const char* const kernel_matmul;
extern const char* const kernel_matrix_vector;
extern const char* const kernel_max_pooling;
extern const char* const kernel_median_filter;
extern const char* const kernel_median_luma_filter;
extern const char* const kernel_mix2;
extern const char* const kernel_mult;
extern const char* const kernel_point_wise_conv;
extern const char* const kernel_rgb2yuv;
extern const char* const kernel_saturation;
extern const char* const kernel_separableconv;
extern const char* const kernel_split;
extern const char* const kernel_subtract;
extern const char* const kernel_tile;
extern const char* const kernel_transpose;
extern const char* const kernel_upsampling2d;
extern const char* const kernel_upsamplingbilinear2d;
extern const char* const kernel_yuv2rgb;
