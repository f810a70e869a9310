# Engine benchmarks: the engine beside PyTorch on the CPU (see nn_engine_bench.cpp).
add_executable(nn_engine_bench ${CMAKE_CURRENT_LIST_DIR}/nn_engine_bench.cpp)
target_link_libraries(nn_engine_bench PRIVATE tessaline_core)
target_compile_definitions(nn_engine_bench PRIVATE NN_BENCH_DIR="${CMAKE_CURRENT_LIST_DIR}")
# The image-filter layers beside a convolution (see image_filter_bench.cpp).
add_executable(bench_image_filters ${CMAKE_CURRENT_LIST_DIR}/image_filter_bench.cpp)
target_link_libraries(bench_image_filters PRIVATE tessaline_core)
