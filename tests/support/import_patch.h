#pragma once
// Points this program's imports of one system function elsewhere while it
// lives: the engine is linked into the test program, so its calls go there.

#include <windows.h>

namespace orvek::test {

template <typename Function>
class import_patch {
public:
    import_patch(Function real, Function replacement) : real_(real), replacement_(replacement) { patch(real_, replacement_); }
    ~import_patch() { patch(replacement_, real_); }
    import_patch(const import_patch&) = delete;
    import_patch& operator=(const import_patch&) = delete;
    Function real() const { return real_; }

private:
    static void patch(Function from, Function to)
    {
        auto* const base = reinterpret_cast<BYTE*>(GetModuleHandleW(/*this program*/ nullptr));
        const auto* const headers =
            reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const auto& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); module->Name; ++module) {
            for (auto* slot = reinterpret_cast<Function*>(base + module->FirstThunk); *slot; ++slot) {
                if (*slot != from) continue;
                DWORD protection = 0;
                VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection);
                *slot = to;
                VirtualProtect(slot, sizeof(*slot), protection, &protection);
            }
        }
    }
    Function real_, replacement_;
};

}  // namespace orvek::test
