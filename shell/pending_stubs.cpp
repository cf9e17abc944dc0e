// Stand-ins for the update run, the progress display and the accessibility
// pieces, so that this branch links on its own. Delete this file when the
// real ones are merged.

#include "engine/run_state.h"
#include "engine/settings.h"
#include "procedures/update_run.h"
#include "shell/accessibility.h"
#include "shell/main_window.h"
#include "shell/progress_display.h"

#include <exception>
#include <mutex>

namespace orvek {

// Runs until cancelled, then fails like a cancelled run.
int run_update() {
    try {
        for (;;) sleep_interruptible(1000);
    } catch (const std::exception& error) {
        set_status(utf8_to_wide(std::string("Update failed: ") + error.what()));
        return 1;
    }
}

void report_status(const std::wstring& text) { set_status(text); }

// Only the status line.
void refresh_window() {
    std::wstring shown;
    {
        std::lock_guard lock(state_mutex);
        shown = paused ? L"Paused" : status_text;
    }
    SetWindowTextW(status_edit, shown.c_str());
}

void set_accessible_name(HWND, const std::wstring&) {}

LRESULT uia_return_raw_element_provider(HWND, WPARAM, LPARAM, IRawElementProviderSimple*) { return 0; }
HRESULT uia_disconnect_provider(IRawElementProviderSimple*) { return S_OK; }

HRESULT updater_provider::QueryInterface(REFIID, void** object) {
    if (object != nullptr) *object = nullptr;
    return E_NOINTERFACE;
}
ULONG updater_provider::AddRef() { return ++reference_count; }
ULONG updater_provider::Release() {
    const ULONG count = --reference_count;
    if (count == 0) delete this;
    return count;
}
HRESULT updater_provider::get_ProviderOptions(ProviderOptions*) { return E_NOTIMPL; }
HRESULT updater_provider::GetPatternProvider(PATTERNID, IUnknown**) { return E_NOTIMPL; }
HRESULT updater_provider::GetPropertyValue(PROPERTYID, VARIANT*) { return E_NOTIMPL; }
HRESULT updater_provider::get_HostRawElementProvider(IRawElementProviderSimple**) { return E_NOTIMPL; }

}  // namespace orvek
