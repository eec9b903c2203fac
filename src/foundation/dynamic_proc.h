// Run-time lookup of functions that an older Windows may lack, so the
// executable never imports them and still loads on Windows 7.
//
// Fn is the function pointer type including its calling convention, e.g.
//   using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
// A wrong convention breaks the 32-bit stack, so spell it out every time.
#pragma once
#include <windows.h>
#include <type_traits>

namespace qs {

template <typename Fn>
Fn FindProc(HMODULE module, const char* name) {
    static_assert(std::is_pointer_v<Fn> && std::is_function_v<std::remove_pointer_t<Fn>>,
                  "FindProc needs a function pointer type");
    if (!module) return nullptr;
    FARPROC proc = GetProcAddress(module, name);
    // void(*)() is the generic function pointer type, which GCC lets us cast
    // to any other function type without a warning.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// A function of a DLL that is already loaded into every process (kernel32,
// ntdll, user32 once linked); nullptr when the DLL or the function is absent.
template <typename Fn>
Fn FindLoadedProc(const wchar_t* module, const char* name) {
    return FindProc<Fn>(GetModuleHandleW(module), name);
}

// A system DLL loaded on demand from the system folder only (never from the
// current or the executable's folder) and released with this object.
class SystemLibrary {
public:
    explicit SystemLibrary(const wchar_t* dllName);
    ~SystemLibrary();
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    bool loaded() const { return module_ != nullptr; }
    HMODULE get() const { return module_; }
    template <typename Fn>
    Fn Find(const char* name) const { return FindProc<Fn>(module_, name); }

private:
    HMODULE module_ = nullptr;
};

}  // namespace qs
