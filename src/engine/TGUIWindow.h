#pragma once
// The window-facing part of the engine's state: what the window shell reads
// and writes between frames. Deliberately non-polymorphic so the shell can hold
// a plain pointer to it without knowing the engine.

#include <string>

class TGUIWindow {
public:
    // Preview textures; null while no window device exists (command line,
    // library calls). The shell releases queued textures after the frame.
    void* previewTexture = nullptr;
    void* originalTexture = nullptr;
    void* windowDevice = nullptr;
    // Passed through from Show(): how the shell opens its window.
    bool windowOption = false;
    bool windowMaximized = false;
    std::string windowTitle;
};
