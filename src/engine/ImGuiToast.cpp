#include "engine/ImGuiToast.h"

std::vector<ImGuiToast>& toastQueue()
{
    static std::vector<ImGuiToast> queue;
    return queue;
}
