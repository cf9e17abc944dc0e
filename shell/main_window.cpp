#include "shell/main_window.h"

#include "engine/run_state.h"
#include "shell/accessibility.h"
#include "shell/progress_display.h"

#include <commctrl.h>

#include <mutex>

namespace orvek {

HWND status_edit = nullptr;
HWND details_edit = nullptr;
HWND progress_bar = nullptr;
std::array<HWND, 5> buttons{};
updater_provider* automation_provider = nullptr;

namespace {

constexpr wchar_t class_name[] = L"OrvekUpdaterWindow";
constexpr wchar_t window_title[] = L"ORVEK Updater";
// UiaRootObjectId; its header does not compile as C++.
constexpr LONG uia_root_object_id = -25;

struct child_control {
    const wchar_t* class_name;
    const wchar_t* text;
    DWORD extended_style;
    DWORD style;
    int x, y, width, height;
    HWND* handle;
};

constexpr DWORD label_style = WS_CHILD | WS_VISIBLE;
constexpr DWORD edit_style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_READONLY | ES_MULTILINE;
constexpr DWORD button_style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;

// Creation order is the tab order.
const child_control text_controls[] = {
    {L"STATIC", L"&Status:", 0, label_style, 20, 12, 580, 20, nullptr},
    {L"EDIT", L"Checking for updates.", WS_EX_CLIENTEDGE, edit_style, 20, 36, 580, 50, &status_edit},
    {L"STATIC", L"&Progress details:", 0, label_style, 20, 90, 580, 20, nullptr},
    {L"EDIT", L"", WS_EX_CLIENTEDGE, edit_style, 20, 114, 580, 90, &details_edit},
    {PROGRESS_CLASSW, L"Update progress", 0, label_style, 20, 210, 580, 20, &progress_bar},
};
constexpr const wchar_t* button_texts[] = {L"&Pause", L"&Resume", L"&Cancel", L"C&lose", L"&Retry"};

void create_children(HINSTANCE instance) {
    for (const child_control& control : text_controls) {
        const HWND handle = CreateWindowExW(control.extended_style, control.class_name, control.text, control.style,
                                            control.x, control.y, control.width, control.height, main_window,
                                            /*id*/ nullptr, instance, /*parameter*/ nullptr);
        if (control.handle != nullptr) *control.handle = handle;
    }
    for (int i = 0; i < static_cast<int>(buttons.size()); ++i) {
        buttons[i] = CreateWindowExW(/*extended style*/ 0, L"BUTTON", button_texts[i], button_style, 20 + 145 * i, 245,
                                     130, 30, main_window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(pause_command + i)),
                                     instance, /*parameter*/ nullptr);
    }
}

// What a dialog box gets from the system: the control that had the focus
// when the window was deactivated (a message box came up) gets it back.
HWND saved_focus = nullptr;

// WM_NEXTDLGCTL, as a dialog handles it: multiline edits send it for Tab and
// Shift+Tab, the dialog manager for the labels' access keys and the arrows.
void next_control(HWND window, WPARAM wparam, LPARAM lparam) {
    HWND control = reinterpret_cast<HWND>(wparam);
    if (LOWORD(lparam) == 0) {
        const HWND focus = GetFocus();
        control = GetNextDlgTabItem(window, IsChild(window, focus) ? focus : nullptr, /*previous*/ wparam != 0);
    }
    if (control == nullptr) return;
    if (SendMessageW(control, WM_GETDLGCODE, /*unused*/ 0, /*no message*/ 0) & DLGC_HASSETSEL)
        SendMessageW(control, EM_SETSEL, /*from the start*/ 0, /*to the end*/ -1);  // as a dialog enters an edit
    SetFocus(control);
}

void on_worker_finished(HWND window, WPARAM result) {
    worker_finished = true;
    if (result == 0 || user_cancelled) {
        DestroyWindow(window);
        return;
    }
    const HWND focus = GetFocus();  // before disabling takes it away
    EnableWindow(pause_button, FALSE);
    EnableWindow(resume_button, FALSE);
    EnableWindow(cancel_button, FALSE);
    EnableWindow(close_button, TRUE);
    EnableWindow(retry_button, TRUE);
    if (focus == pause_button || focus == resume_button || focus == cancel_button) SetFocus(retry_button);
    refresh_window();
}

void on_command(HWND window, int id) {
    if (id == retry_command && worker_finished) {
        // The window stays; the program entry starts the next attempt in it.
        retry_requested = true;
        PostQuitMessage(/*exit code*/ 0);
        return;
    }
    if (id == close_command && worker_finished) {
        DestroyWindow(window);
        return;
    }
    {
        std::lock_guard lock(state_mutex);
        if (id == pause_command) {
            paused = true;
        } else if (id == resume_command) {
            paused = false;
            status_text = L"Update resumed.";
        } else if (id == cancel_command) {
            user_cancelled = true;
            cancelled = true;
            paused = false;
            status_text = L"Cancelling; waiting for the current operation to finish.";
        }
    }
    state_changed.notify_all();
    // The text was set directly, without a status message: show it now.
    refresh_window();
    if (id == pause_command || id == resume_command) {
        EnableWindow(pause_button, id == resume_command);
        EnableWindow(resume_button, id == pause_command);
        SetFocus(id == pause_command ? resume_button : pause_button);
    }
}

void on_destroy(HWND window) {
    if (automation_provider != nullptr) {
        automation_provider->window = nullptr;
        uia_disconnect_provider(automation_provider);
        automation_provider->Release();
        automation_provider = nullptr;
    }
    KillTimer(window, refresh_timer_id);
    PostQuitMessage(/*exit code*/ 0);
}

}  // namespace

void create_main_window() {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    const HINSTANCE instance = GetModuleHandleW(/*this program*/ nullptr);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(/*system cursor*/ nullptr, IDC_ARROW);
    // The dialog colour; the labels and read-only edits ask for it themselves.
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    window_class.lpszClassName = class_name;
    RegisterClassW(&window_class);

    main_window = CreateWindowExW(WS_EX_CONTROLPARENT, class_name, window_title,
                                  WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT,
                                  760, 340, /*owner*/ nullptr, /*menu*/ nullptr, instance, /*parameter*/ nullptr);
    create_children(instance);

    automation_provider = new updater_provider();
    automation_provider->window = main_window;

    set_accessible_name(status_edit, L"Update status");
    set_accessible_name(details_edit, L"Download progress, speed and remaining time");
    set_accessible_name(progress_bar, L"Update progress percentage");

    EnableWindow(resume_button, FALSE);
    EnableWindow(close_button, FALSE);
    EnableWindow(retry_button, FALSE);
    SendMessageW(progress_bar, PBM_SETRANGE, /*unused*/ 0, MAKELPARAM(0, 100));
    SetFocus(status_edit);
    SetTimer(main_window, refresh_timer_id, 500, /*callback*/ nullptr);
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_GETOBJECT && static_cast<LONG>(lparam) == uia_root_object_id && automation_provider != nullptr)
        return uia_return_raw_element_provider(window, wparam, lparam, automation_provider);
    switch (message) {
    case show_message_box_message:
        // The window's title is the caption, whatever the caller passed.
        return MessageBoxW(window, reinterpret_cast<const wchar_t*>(lparam), window_title,
                           static_cast<UINT>(wparam & 0xFFFFFFFFu));
    case status_changed_message:
    case WM_TIMER:
        refresh_window();
        return 0;
    case worker_finished_message:
        on_worker_finished(window, wparam);
        return 0;
    case WM_COMMAND:
        on_command(window, LOWORD(wparam));
        return 0;
    case WM_CLOSE:
        // Closing a running window is a Cancel; it closes once the worker ends.
        if (worker_finished)
            DestroyWindow(window);
        else
            SendMessageW(window, WM_COMMAND, cancel_command, /*from no control*/ 0);
        return 0;
    case WM_DESTROY:
        on_destroy(window);
        return 0;
    case WM_NEXTDLGCTL:
        next_control(window, wparam, lparam);
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wparam) == WA_INACTIVE && IsChild(window, GetFocus())) saved_focus = GetFocus();
        // On activation the default gives the window the focus, which WM_SETFOCUS passes on.
        return DefWindowProcW(window, message, wparam, lparam);
    case WM_SETFOCUS:
        // The window itself takes no keys: the control that had the focus gets it back.
        if (IsChild(window, saved_focus)) SetFocus(saved_focus);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

}  // namespace orvek
