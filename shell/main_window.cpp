#include "shell/main_window.h"

namespace orvek {

HWND status_edit = nullptr;
HWND details_edit = nullptr;
HWND progress_bar = nullptr;
std::array<HWND, 5> buttons{};
updater_provider* automation_provider = nullptr;

}  // namespace orvek
