#pragma once
// The program's only window. Everything here runs on the UI thread.

#include <windows.h>

#include <array>

namespace orvek {

class updater_provider;

inline constexpr int pause_command = 101;
inline constexpr int resume_command = 102;
inline constexpr int cancel_command = 103;
inline constexpr int close_command = 104;
inline constexpr int retry_command = 105;
inline constexpr UINT_PTR refresh_timer_id = 1;

extern HWND status_edit;
extern HWND details_edit;
extern HWND progress_bar;
// In control-id order: Pause, Resume, Cancel, Close, Retry.
extern std::array<HWND, 5> buttons;
inline HWND& pause_button = buttons[0];
inline HWND& resume_button = buttons[1];
inline HWND& cancel_button = buttons[2];
inline HWND& close_button = buttons[3];
inline HWND& retry_button = buttons[4];

// Holds the window's reference from creation until WM_DESTROY.
extern updater_provider* automation_provider;

void create_main_window();
LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace orvek
