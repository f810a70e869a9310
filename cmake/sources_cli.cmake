# Command-line programs.
add_executable(nnrun ${CMAKE_SOURCE_DIR}/src/cli/nnrun.cpp)
target_link_libraries(nnrun PRIVATE tessaline_core)
