# The retouch engine: state, processing pipeline, blend workers, image files.
pkg_check_modules(LCMS2 REQUIRED IMPORTED_TARGET lcms2)
find_package(nlohmann_json 3 REQUIRED)
find_library(FREEIMAGE_LIBRARY NAMES freeimage REQUIRED)
find_path(FREEIMAGE_INCLUDE_DIR FreeImage.h REQUIRED)

set(ENGINE_DIR ${CMAKE_SOURCE_DIR}/src/engine)
target_sources(tessaline_core PRIVATE
  ${ENGINE_DIR}/ImGuiToast.cpp
  ${ENGINE_DIR}/ExifOrientation.cpp
  ${ENGINE_DIR}/ImageHandler.cpp
  ${ENGINE_DIR}/MaskPreview.cpp
  ${ENGINE_DIR}/ElementThreadLinearBlend.cpp
  ${ENGINE_DIR}/ElementThreadAutomask.cpp
  ${ENGINE_DIR}/ElementThreadBrushBlendResize.cpp
  ${ENGINE_DIR}/ElementThreadBrushAutomaskResize.cpp
  ${ENGINE_DIR}/PhotoEngine.cpp
  ${ENGINE_DIR}/PhotoCreator.cpp)
target_include_directories(tessaline_core PUBLIC ${FREEIMAGE_INCLUDE_DIR})
target_link_libraries(tessaline_core PUBLIC ${FREEIMAGE_LIBRARY} PkgConfig::LCMS2 nlohmann_json::nlohmann_json)
