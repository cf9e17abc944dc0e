#include "shell/accessibility.h"

#include "engine/run_state.h"
#include "shell/main_window.h"
#include "window_driver.h"

#include <gtest/gtest.h>
#include <oleacc.h>
#include <oleauto.h>
#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace orvek::test {
namespace {

constexpr HRESULT element_not_available = static_cast<HRESULT>(0x80040201);
constexpr PROPERTYID name_property = 30005;
constexpr PROPERTYID help_text_property = 30013;

// Something no result may leave behind in an out pointer.
void* const garbage = reinterpret_cast<void*>(0x1234);

TEST(accessibility, provider_operations)
{
    auto* provider = new updater_provider;  // count 1: the window's reference
    EXPECT_EQ(provider->AddRef(), 2u);
    EXPECT_EQ(provider->Release(), 1u);

    const std::pair<const IID*, HRESULT> interfaces[] = {
        {&IID_IUnknown, S_OK}, {&IID_IRawElementProviderSimple, S_OK}, {&IID_IDispatch, E_NOINTERFACE}};
    for (const auto& [id, expected] : interfaces) {
        void* object = garbage;
        EXPECT_EQ(provider->QueryInterface(*id, &object), expected);
        EXPECT_EQ(object, expected == S_OK ? static_cast<IRawElementProviderSimple*>(provider) : nullptr);
        if (object == provider) {
            EXPECT_EQ(provider->Release(), 1u);  // the reference QueryInterface added
        }
    }

    // Every out-pointer operation refuses a null pointer.
    EXPECT_EQ(provider->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(provider->get_ProviderOptions(nullptr), E_POINTER);
    EXPECT_EQ(provider->GetPatternProvider(10000, nullptr), E_POINTER);
    EXPECT_EQ(provider->GetPropertyValue(name_property, nullptr), E_POINTER);
    EXPECT_EQ(provider->get_HostRawElementProvider(nullptr), E_POINTER);

    ProviderOptions options{};
    EXPECT_EQ(provider->get_ProviderOptions(&options), S_OK);
    EXPECT_EQ(options, ProviderOptions_ServerSideProvider);

    IUnknown* pattern = static_cast<IUnknown*>(garbage);
    EXPECT_EQ(provider->GetPatternProvider(10002, &pattern), S_OK);  // the value pattern
    EXPECT_EQ(pattern, nullptr);

    VARIANT value;
    EXPECT_EQ(provider->GetPropertyValue(name_property, &value), S_OK);
    ASSERT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(value.bstrVal, SysStringLen(value.bstrVal)), L"ORVEK Updater");
    VariantClear(&value);
    value.vt = VT_I4;
    EXPECT_EQ(provider->GetPropertyValue(help_text_property, &value), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);

    // Without a window there is no host to defer to.
    IRawElementProviderSimple* host = static_cast<IRawElementProviderSimple*>(garbage);
    EXPECT_EQ(provider->get_HostRawElementProvider(&host), element_not_available);
    EXPECT_EQ(host, nullptr);
    EXPECT_EQ(provider->Release(), 0u);
}

// The accessibility property service, found by the window through COM like
// the system's: records the names it is given (Wine's own keeps none).
class recording_services final : public IAccPropServices, public IClassFactory {
public:
    std::map<HWND, std::wstring> names;

    HRESULT WINAPI QueryInterface(REFIID id, void** object) override
    {
        *object = IsEqualGUID(id, IID_IClassFactory)      ? static_cast<void*>(static_cast<IClassFactory*>(this))
                  : IsEqualGUID(id, IID_IAccPropServices) ? static_cast<IAccPropServices*>(this)
                                                          : nullptr;
        return *object != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG WINAPI AddRef() override { return 2; }  // a static object
    ULONG WINAPI Release() override { return 1; }
    HRESULT WINAPI CreateInstance(IUnknown*, REFIID id, void** object) override { return QueryInterface(id, object); }
    HRESULT WINAPI LockServer(BOOL) override { return S_OK; }
    HRESULT WINAPI SetHwndPropStr(HWND control, DWORD object, DWORD child, MSAAPROPID property, LPCWSTR text) override
    {
        const bool name = IsEqualGUID(property, PROPID_ACC_NAME);
        if (object == static_cast<DWORD>(OBJID_CLIENT) && child == CHILDID_SELF && name) names[control] = text;
        return S_OK;
    }
    // Nothing else is used.
    using id = MSAAPROPID;
    using server = IAccPropServer*;
    using scope = AnnoScope;
    HRESULT WINAPI SetPropValue(const BYTE*, DWORD, id, VARIANT) override { return E_NOTIMPL; }
    HRESULT WINAPI SetPropServer(const BYTE*, DWORD, const id*, int, server, scope) override { return E_NOTIMPL; }
    HRESULT WINAPI ClearProps(const BYTE*, DWORD, const id*, int) override { return E_NOTIMPL; }
    HRESULT WINAPI SetHwndProp(HWND, DWORD, DWORD, id, VARIANT) override { return E_NOTIMPL; }
    HRESULT WINAPI SetHwndPropServer(HWND, DWORD, DWORD, const id*, int, server, scope) override { return E_NOTIMPL; }
    HRESULT WINAPI ClearHwndProps(HWND, DWORD, DWORD, const id*, int) override { return E_NOTIMPL; }
    HRESULT WINAPI ComposeHwndIdentityString(HWND, DWORD, DWORD, BYTE**, DWORD*) override { return E_NOTIMPL; }
    HRESULT WINAPI DecomposeHwndIdentityString(const BYTE*, DWORD, HWND*, DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT WINAPI SetHmenuProp(HMENU, DWORD, id, VARIANT) override { return E_NOTIMPL; }
    HRESULT WINAPI SetHmenuPropStr(HMENU, DWORD, id, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT WINAPI SetHmenuPropServer(HMENU, DWORD, const id*, int, server, scope) override { return E_NOTIMPL; }
    HRESULT WINAPI ClearHmenuProps(HMENU, DWORD, const id*, int) override { return E_NOTIMPL; }
    HRESULT WINAPI ComposeHmenuIdentityString(HMENU, DWORD, BYTE**, DWORD*) override { return E_NOTIMPL; }
    HRESULT WINAPI DecomposeHmenuIdentityString(const BYTE*, DWORD, HMENU*, DWORD*) override { return E_NOTIMPL; }
} services;

// A UI Automation client, where Wine has none: it listens, hears the
// notifications and asks for the window's root element.
std::vector<std::pair<IRawElementProviderSimple*, std::wstring>> heard;
BOOL WINAPI listening() { return TRUE; }
HRESULT WINAPI hear(IRawElementProviderSimple* provider, int, int, BSTR text, BSTR)
{
    heard.emplace_back(provider, text);
    return S_OK;
}
LRESULT WINAPI root_element(HWND window, WPARAM, LPARAM, IRawElementProviderSimple* provider)
{
    return window == main_window && provider == automation_provider ? 42 : 0;
}

TEST(accessibility, the_window_names_its_controls_hands_out_its_provider_and_announces_the_status)
{
    const HRESULT com = CoInitializeEx(/*reserved*/ nullptr, COINIT_APARTMENTTHREADED);
    DWORD registration = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_AccPropServices, static_cast<IClassFactory*>(&services), CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &registration), S_OK);
    const uia_functions wine = uia();
    uia().clients_are_listening = listening;
    uia().raise_notification_event = hear;
    uia().return_raw_element_provider = root_element;
    IRawElementProviderSimple* client = nullptr;
    {
        const test_window window;
        EXPECT_EQ(services.names, (std::map<HWND, std::wstring>{
                                      {status_edit, L"Update status"},
                                      {details_edit, L"Download progress, speed and remaining time"},
                                      {progress_bar, L"Update progress percentage"}}));
        EXPECT_EQ(SendMessageW(main_window, WM_GETOBJECT, 0, /*UiaRootObjectId*/ -25), 42);
        heard.clear();
        for (const wchar_t* status : {L"Downloading.", L"Downloading.", L"Installing."}) {
            set_status(status);
            pump_pending();
        }
        const decltype(heard) expected{{automation_provider, L"Downloading."}, {automation_provider, L"Installing."}};
        EXPECT_EQ(heard, expected);
        ASSERT_EQ(automation_provider->QueryInterface(IID_IRawElementProviderSimple, reinterpret_cast<void**>(&client)),
                  S_OK);
        IRawElementProviderSimple* host = nullptr;
        EXPECT_EQ(client->get_HostRawElementProvider(&host), S_OK);
        ASSERT_NE(host, nullptr);
        host->Release();
    }
    // A client that outlives the window keeps the provider, is told the
    // element is gone, and hears nothing more.
    EXPECT_EQ(automation_provider, nullptr);
    announce_status(L"Closed.");
    EXPECT_EQ(heard.size(), 2u);
    IRawElementProviderSimple* host = static_cast<IRawElementProviderSimple*>(garbage);
    EXPECT_EQ(client->get_HostRawElementProvider(&host), element_not_available);
    EXPECT_EQ(host, nullptr);
    EXPECT_EQ(client->Release(), 0u);  // the window let go of its reference
    uia() = wine;
    CoRevokeClassObject(registration);
    if (SUCCEEDED(com)) CoUninitialize();
}

}  // namespace
}  // namespace orvek::test
