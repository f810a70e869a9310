# The OpenCL inference engine.
find_package(OpenCL REQUIRED)

set(NN_DIR ${CMAKE_SOURCE_DIR}/src/NNInference)
file(GLOB NN_KERNEL_TEMPLATES CONFIGURE_DEPENDS ${NN_DIR}/kernels/*.cl)
set(NN_KERNEL_TEXTS ${CMAKE_BINARY_DIR}/generated/NNInference/KernelTemplates.cpp)
add_custom_command(
  OUTPUT ${NN_KERNEL_TEXTS}
  COMMAND ${CMAKE_COMMAND} -DKERNEL_DIR=${NN_DIR}/kernels -DOUTPUT=${NN_KERNEL_TEXTS}
          -P ${NN_DIR}/EmbedKernels.cmake
  DEPENDS ${NN_KERNEL_TEMPLATES} ${NN_DIR}/EmbedKernels.cmake
  COMMENT "Embedding OpenCL kernel templates")

target_sources(tessaline_core PRIVATE
  ${NN_DIR}/OpenCLErrors.cpp
  ${NN_DIR}/OpenCLDevices.cpp
  ${NN_DIR}/ModelStreamReader.cpp
  ${NN_DIR}/KernelBinaryCache.cpp
  ${NN_DIR}/NNImage.cpp
  ${NN_DIR}/NNLayer.cpp
  ${NN_DIR}/NNLayer_Operations.cpp
  ${NN_DIR}/NNLayer_LinAlg.cpp
  ${NN_DIR}/NNLayer_NonLinear.cpp
  ${NN_DIR}/NNLayer_Blur.cpp
  ${NN_DIR}/NNModel.cpp
  ${NN_DIR}/NNInference.cpp
  ${NN_KERNEL_TEXTS})
target_compile_definitions(tessaline_core PUBLIC CL_TARGET_OPENCL_VERSION=120)
target_link_libraries(tessaline_core PUBLIC OpenCL::OpenCL)
