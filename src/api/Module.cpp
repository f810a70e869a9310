// The shared module. Its exported entry points are added with the engine;
// until then it carries the core for hosts and tools that link it.
