// The shared module's own translation unit. The exported functions live in
// LibraryInterface.cpp inside the core, which the module links whole, so
// tests and tools reach the very same code.
