#include "shell/accessibility.h"

#include "shell/main_window.h"

#include <oleacc.h>
#include <oleauto.h>

#include <memory>

namespace orvek {

namespace {

// From uiautomationcoreapi.h and uiautomationclient.h, which MinGW cannot
// compile as C++ or does not pair with an import library.
constexpr PROPERTYID name_property_id = 30005;
constexpr HRESULT element_not_available = static_cast<HRESULT>(0x80040201);
constexpr int notification_kind_other = 4;
constexpr int notification_processing_important_most_recent = 1;

template <typename function>
void resolve(HMODULE module, const char* name, function& target)
{
    target = reinterpret_cast<function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

// Resolved once; the library stays loaded for the process, as the provider
// may be called until the very end.
uia_functions& uia()
{
    static uia_functions functions = [] {
        uia_functions found;
        const HMODULE module =
            LoadLibraryExW(L"uiautomationcore.dll", /*reserved*/ nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module == nullptr) {
            return found;
        }
        resolve(module, "UiaReturnRawElementProvider", found.return_raw_element_provider);
        resolve(module, "UiaHostProviderFromHwnd", found.host_provider_from_hwnd);
        resolve(module, "UiaDisconnectProvider", found.disconnect_provider);
        resolve(module, "UiaClientsAreListening", found.clients_are_listening);
        resolve(module, "UiaRaiseNotificationEvent", found.raise_notification_event);
        return found;
    }();
    return functions;
}

namespace {

struct bstr_free {
    void operator()(wchar_t* text) const noexcept { SysFreeString(text); }
};
using bstr = std::unique_ptr<wchar_t, bstr_free>;

struct com_release {
    void operator()(IUnknown* object) const noexcept { object->Release(); }
};

}  // namespace

HRESULT STDMETHODCALLTYPE updater_provider::QueryInterface(REFIID id, void** object)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!IsEqualGUID(id, IID_IUnknown) && !IsEqualGUID(id, IID_IRawElementProviderSimple)) {
        return E_NOINTERFACE;
    }
    *object = static_cast<IRawElementProviderSimple*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE updater_provider::AddRef()
{
    return reference_count.fetch_add(1) + 1;
}

ULONG STDMETHODCALLTYPE updater_provider::Release()
{
    const ULONG count = reference_count.fetch_sub(1) - 1;
    if (count == 0) {
        delete this;
    }
    return count;
}

HRESULT STDMETHODCALLTYPE updater_provider::get_ProviderOptions(ProviderOptions* options)
{
    if (options == nullptr) {
        return E_POINTER;
    }
    *options = ProviderOptions_ServerSideProvider;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE updater_provider::GetPatternProvider(PATTERNID /*pattern*/, IUnknown** object)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;  // no control patterns
    return S_OK;
}

HRESULT STDMETHODCALLTYPE updater_provider::GetPropertyValue(PROPERTYID property, VARIANT* value)
{
    if (value == nullptr) {
        return E_POINTER;
    }
    VariantInit(value);
    if (property == name_property_id) {
        value->bstrVal = SysAllocString(L"ORVEK Updater");
        if (value->bstrVal == nullptr) {
            return E_OUTOFMEMORY;
        }
        value->vt = VT_BSTR;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE updater_provider::get_HostRawElementProvider(IRawElementProviderSimple** provider)
{
    if (provider == nullptr) {
        return E_POINTER;
    }
    *provider = nullptr;
    const HWND host = window.load();
    if (host == nullptr) {
        return element_not_available;
    }
    return uia_host_provider_from_hwnd(host, provider);
}

LRESULT uia_return_raw_element_provider(HWND window, WPARAM wparam, LPARAM lparam,
                                        IRawElementProviderSimple* provider)
{
    const auto function = uia().return_raw_element_provider;
    return function == nullptr ? 0 : function(window, wparam, lparam, provider);
}

HRESULT uia_host_provider_from_hwnd(HWND window, IRawElementProviderSimple** provider)
{
    const auto function = uia().host_provider_from_hwnd;
    return function == nullptr ? E_NOTIMPL : function(window, provider);
}

HRESULT uia_disconnect_provider(IRawElementProviderSimple* provider)
{
    const auto function = uia().disconnect_provider;
    return function == nullptr ? E_NOTIMPL : function(provider);
}

void set_accessible_name(HWND control, const std::wstring& name)
{
    IAccPropServices* created = nullptr;
    if (FAILED(CoCreateInstance(CLSID_AccPropServices, /*outer*/ nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                reinterpret_cast<void**>(&created)))) {
        return;  // the controls then go without spoken names
    }
    const std::unique_ptr<IAccPropServices, com_release> services(created);
    services->SetHwndPropStr(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, PROPID_ACC_NAME, name.c_str());
}

void announce_status(const std::wstring& text)
{
    const auto& functions = uia();
    if (automation_provider == nullptr || functions.clients_are_listening == nullptr ||
        !functions.clients_are_listening() || functions.raise_notification_event == nullptr) {
        return;
    }
    const bstr display(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    const bstr activity(SysAllocString(L"ORVEK.Update.Status"));
    if (display == nullptr || activity == nullptr) {
        return;
    }
    functions.raise_notification_event(automation_provider, notification_kind_other,
                                       notification_processing_important_most_recent, display.get(), activity.get());
}

}  // namespace orvek
