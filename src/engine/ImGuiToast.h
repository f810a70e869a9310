#pragma once
// A notification shown in a corner of the editor for a while. The queue is
// process-wide so that errors raised before a window exists are still shown
// when it opens.

#include <chrono>
#include <vector>

struct ImGuiToast {
    static constexpr int kTextCapacity = 4096;

    int type = 0;
    char title[kTextCapacity] = {};
    char content[kTextCapacity] = {};
    int durationMs = 0;
    std::chrono::steady_clock::time_point created;
};

// Newest toast last.
std::vector<ImGuiToast>& toastQueue();
