#pragma once
// What a screen reader gets from the window: spoken names for three
// controls, a minimal UI Automation provider for the top-level window, and a
// notification for every new status line.

#include <windows.h>
#include <uiautomationcore.h>

#include <atomic>
#include <string>

namespace orvek {

class updater_provider final : public IRawElementProviderSimple {
public:
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IRawElementProviderSimple
    HRESULT STDMETHODCALLTYPE get_ProviderOptions(ProviderOptions* options) override;
    HRESULT STDMETHODCALLTYPE GetPatternProvider(PATTERNID pattern, IUnknown** object) override;
    HRESULT STDMETHODCALLTYPE GetPropertyValue(PROPERTYID property, VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE get_HostRawElementProvider(IRawElementProviderSimple** provider) override;

    std::atomic<ULONG> reference_count{1};  // the window's reference
    // Set by create_main_window, cleared by WM_DESTROY before the disconnect.
    std::atomic<HWND> window{nullptr};

private:
    ~updater_provider() = default;  // only Release deletes
};

// UIAutomationCore.dll has no MinGW import library and
// uiautomationcoreapi.h does not compile as C++: its functions are resolved at
// run time, null where absent (UiaRaiseNotificationEvent needs Windows 10 1709;
// Wine has none). Tests put stand-ins here for what Wine lacks.
struct uia_functions {
    LRESULT(WINAPI* return_raw_element_provider)(HWND, WPARAM, LPARAM, IRawElementProviderSimple*) = nullptr;
    HRESULT(WINAPI* host_provider_from_hwnd)(HWND, IRawElementProviderSimple**) = nullptr;
    HRESULT(WINAPI* disconnect_provider)(IRawElementProviderSimple*) = nullptr;
    BOOL(WINAPI* clients_are_listening)() = nullptr;
    HRESULT(WINAPI* raise_notification_event)(IRawElementProviderSimple*, int, int, BSTR, BSTR) = nullptr;
};
uia_functions& uia();

// These fail softly (0 / E_NOTIMPL) where the function is absent.
LRESULT uia_return_raw_element_provider(HWND window, WPARAM wparam, LPARAM lparam,
                                        IRawElementProviderSimple* provider);
HRESULT uia_host_provider_from_hwnd(HWND window, IRawElementProviderSimple** provider);
HRESULT uia_disconnect_provider(IRawElementProviderSimple* provider);

void set_accessible_name(HWND control, const std::wstring& name);
void announce_status(const std::wstring& text);

}  // namespace orvek
