# The exported C interface and the `tessaline` command-line program.
target_sources(tessaline_core PRIVATE
  ${CMAKE_SOURCE_DIR}/src/api/LibraryInterface.cpp
  ${CMAKE_SOURCE_DIR}/src/api/OutputTarget.cpp
  ${CMAKE_SOURCE_DIR}/src/api/WidePath.cpp)

add_executable(tessaline_cli ${CMAKE_SOURCE_DIR}/src/cli/tessaline.cpp)
target_link_libraries(tessaline_cli PRIVATE tessaline_core)
set_target_properties(tessaline_cli PROPERTIES OUTPUT_NAME tessaline)
install(TARGETS tessaline_cli RUNTIME DESTINATION bin)
# The program finds the networks beside itself, like the module does.
if(TARGET tessaline_resources)
  add_dependencies(tessaline_cli tessaline_resources)
endif()
