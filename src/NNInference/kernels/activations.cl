// Placed first in every program: the activation functions that convolution
// and dense kernels apply, and the word TRUE used by the vector switches.
#define TRUE 1

inline float activationLinear(float x) { return x; }
inline float activationRelu(float x) { return x >= 0.0f ? x : 0.0f; }
inline float activationElu(float x) { return x >= 0.0f ? x : exp(x) - 1.0f; }
inline float activationLeakyRelu1(float x) { return x >= 0.0f ? x : 0.1f * x; }
inline float activationLeakyRelu3(float x) { return x >= 0.0f ? x : 0.3f * x; }
inline float activationSigmoid(float x) { return 1.0f / (1.0f + exp(-x)); }
