#include "ui/message_box.h"

#include <mutex>

namespace qs {
namespace {

std::mutex g_lock;
MessageBoxFn g_replacement;

}  // namespace

int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
    MessageBoxFn fn;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        fn = g_replacement;
    }
    if (fn) return fn(owner, text, caption, flags);
    return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
}

void SetMessageBoxFn(MessageBoxFn fn) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_replacement = std::move(fn);
}

}  // namespace qs
