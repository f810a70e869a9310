# Retouch engine: image files, settings JSON and the EXIF orientation patch.
tessaline_add_fuzzer(fuzz_image_loading image_loading_fuzz.cpp)
tessaline_add_fuzzer(fuzz_settings_json settings_json_fuzz.cpp)
tessaline_add_fuzzer(fuzz_exif_orientation exif_orientation_fuzz.cpp)
