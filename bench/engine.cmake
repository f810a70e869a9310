# Retouch engine: the re-blend against the memory floor, and the whole
# library call on a 24-megapixel photograph.
find_package(benchmark REQUIRED)
add_executable(bench_engine_reblend engine_reblend_bench.cpp)
target_link_libraries(bench_engine_reblend PRIVATE tessaline_core benchmark::benchmark)
add_executable(bench_engine_end_to_end engine_end_to_end_bench.cpp)
target_link_libraries(bench_engine_end_to_end PRIVATE tessaline_core)
