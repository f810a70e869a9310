# The module is built twice from one set of objects: a static core that the
# tests and tools link (so they can reach internal classes), and the shared
# module that hosts load.
add_library(tessaline_core STATIC
  src/image/ImageOperations.cpp
  src/image/BilinearUpscaleWindow.cpp
  src/services/SettingsStore.cpp
  src/services/UserFolders.cpp
  src/ailayers/DiagnosticsLog.cpp
)
target_include_directories(tessaline_core PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(tessaline_core PUBLIC PkgConfig::PLIST Threads::Threads ${CMAKE_DL_LIBS})

add_library(tessaline SHARED src/api/Module.cpp)
target_link_libraries(tessaline PRIVATE -Wl,--whole-archive tessaline_core -Wl,--no-whole-archive)
set_target_properties(tessaline PROPERTIES OUTPUT_NAME tessaline LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/tessaline.map)
target_link_options(tessaline PRIVATE -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/tessaline.map)

install(TARGETS tessaline LIBRARY DESTINATION lib)
install(DIRECTORY include/ DESTINATION include)

# Each subsystem lists its own sources in a file of its own, so that work on
# one subsystem does not touch the others' build lists.
foreach(part NNInference ailayers engine api host shell cli)
  include(${CMAKE_SOURCE_DIR}/cmake/sources_${part}.cmake OPTIONAL)
endforeach()

# Resources beside the module: <prefix>/share/tessaline/ holds the networks,
# icons and the interface font, in the build tree as when installed.
file(GLOB TESSALINE_RESOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*)
set(TESSALINE_FONT /usr/share/fonts/truetype/quicksand/Quicksand-Regular.ttf)
set(TESSALINE_RESOURCE_FILES ${TESSALINE_RESOURCES})
if(EXISTS ${TESSALINE_FONT})
  list(APPEND TESSALINE_RESOURCE_FILES ${TESSALINE_FONT})
endif()
set(TESSALINE_RESOURCE_STAMP ${CMAKE_BINARY_DIR}/share/tessaline/.copied)
add_custom_command(
  OUTPUT ${TESSALINE_RESOURCE_STAMP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TESSALINE_RESOURCE_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${TESSALINE_RESOURCE_FILES} ${TESSALINE_RESOURCE_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${TESSALINE_RESOURCE_STAMP}
  DEPENDS ${TESSALINE_RESOURCE_FILES}
  COMMENT "Copying resources beside the module")
add_custom_target(tessaline_resources ALL DEPENDS ${TESSALINE_RESOURCE_STAMP})
add_dependencies(tessaline tessaline_resources)
install(FILES ${TESSALINE_RESOURCE_FILES} DESTINATION share/tessaline)
