# Run as a script (cmake -P): turns every .cl template of KERNEL_DIR into a
# text constant named kernel_<file name> in OUTPUT.
file(GLOB templates "${KERNEL_DIR}/*.cl")
list(SORT templates)
set(body "// Generated from src/NNInference/kernels/*.cl; do not edit.\n#include \"NNInference/KernelTemplates.h\"\n\n")
foreach(path IN LISTS templates)
  get_filename_component(name "${path}" NAME_WE)
  file(READ "${path}" text)
  string(APPEND body "const char* const kernel_${name} = R\"CLTEMPLATE(${text})CLTEMPLATE\";\n\n")
endforeach()
file(WRITE "${OUTPUT}.new" "${body}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
