# Inference engine: the model stream loader and the kernel binary cache files.
tessaline_add_fuzzer(fuzz_model_stream model_stream_fuzz.cpp)
tessaline_add_fuzzer(fuzz_kernel_cache kernel_cache_fuzz.cpp)
