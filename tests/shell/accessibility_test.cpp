#include "shell/accessibility.h"

#include "shell/main_window.h"

#include <gtest/gtest.h>
#include <oleauto.h>
#include <windows.h>

#include <string>
#include <utility>

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

// A client that outlives the window keeps the provider alive and is told
// the element is gone.
TEST(accessibility, calls_after_the_window_is_gone)
{
    const HWND window = CreateWindowExW(0, L"STATIC", L"ORVEK Updater", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                        /*parent*/ nullptr, /*menu*/ nullptr, GetModuleHandleW(nullptr),
                                        /*param*/ nullptr);
    ASSERT_NE(window, nullptr);
    auto* provider = new updater_provider;
    provider->window = window;
    automation_provider = provider;

    IRawElementProviderSimple* client = nullptr;
    ASSERT_EQ(provider->QueryInterface(IID_IRawElementProviderSimple, reinterpret_cast<void**>(&client)), S_OK);
    IRawElementProviderSimple* host = nullptr;
    EXPECT_EQ(client->get_HostRawElementProvider(&host), S_OK);
    ASSERT_NE(host, nullptr);
    host->Release();
    // Neither may fail the caller: a missing property service or notification
    // function is skipped.
    const HRESULT com = CoInitializeEx(/*reserved*/ nullptr, COINIT_APARTMENTTHREADED);
    set_accessible_name(window, L"Update status");
    announce_status(L"Downloading.");

    // What the window does when it is destroyed.
    provider->window = nullptr;
    uia_disconnect_provider(provider);
    EXPECT_EQ(provider->Release(), 1u);
    automation_provider = nullptr;
    DestroyWindow(window);
    announce_status(L"Closed.");
    if (SUCCEEDED(com)) CoUninitialize();

    host = static_cast<IRawElementProviderSimple*>(garbage);
    EXPECT_EQ(client->get_HostRawElementProvider(&host), element_not_available);
    EXPECT_EQ(host, nullptr);
    VARIANT value;
    EXPECT_EQ(client->GetPropertyValue(name_property, &value), S_OK);
    EXPECT_EQ(value.vt, VT_BSTR);
    VariantClear(&value);
    EXPECT_EQ(client->Release(), 0u);
}

}  // namespace
}  // namespace orvek::test
