#include "ui/dialog_base.h"

namespace qs {

namespace {

// The object handed to the dialog manager by the CreateOwned call running on
// this thread. The window clears it when it frees the object, so a failed
// creation knows whether the object is still there to free.
thread_local DialogBase* t_creating = nullptr;

}  // namespace

DialogBase::~DialogBase() {
    // Only reached with a live window when a modal caller's object goes away
    // in an unusual order; cut the link first so the window's last messages
    // never reach a half-destroyed object.
    if (hwnd_) {
        HWND window = hwnd_;
        Detach();
        DestroyWindow(window);
    }
}

INT_PTR DialogBase::RunModal(HINSTANCE instance, const wchar_t* templateName, HWND owner) {
    modal_ = true;
    ownedByWindow_ = false;
    return DialogBoxParamW(instance, templateName, owner, &DialogBase::DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR DialogBase::RunModalIndirect(HINSTANCE instance, const DLGTEMPLATE* dialogTemplate,
                                     HWND owner) {
    modal_ = true;
    ownedByWindow_ = false;
    return DialogBoxIndirectParamW(instance, dialogTemplate, owner, &DialogBase::DialogProc,
                                   reinterpret_cast<LPARAM>(this));
}

HWND DialogBase::CreateOwned(std::unique_ptr<DialogBase> dialog, HINSTANCE instance,
                             const wchar_t* templateName, HWND owner) {
    return CreateOwnedImpl(std::move(dialog), instance, templateName, nullptr, owner);
}

HWND DialogBase::CreateOwnedIndirect(std::unique_ptr<DialogBase> dialog, HINSTANCE instance,
                                     const DLGTEMPLATE* dialogTemplate, HWND owner) {
    return CreateOwnedImpl(std::move(dialog), instance, nullptr, dialogTemplate, owner);
}

HWND DialogBase::CreateOwnedImpl(std::unique_ptr<DialogBase> dialog, HINSTANCE instance,
                                 const wchar_t* templateName, const DLGTEMPLATE* dialogTemplate,
                                 HWND owner) {
    if (!dialog) return nullptr;
    DialogBase* raw = dialog.release();
    raw->modal_ = false;
    raw->ownedByWindow_ = true;

    DialogBase* const previous = t_creating;
    t_creating = raw;
    const LPARAM param = reinterpret_cast<LPARAM>(raw);
    HWND window = dialogTemplate
                      ? CreateDialogIndirectParamW(instance, dialogTemplate, owner,
                                                   &DialogBase::DialogProc, param)
                      : CreateDialogParamW(instance, templateName, owner,
                                           &DialogBase::DialogProc, param);
    const bool objectAlive = t_creating == raw;
    t_creating = previous;
    // Wine hands back the handle of a dialog that destroyed itself during
    // WM_INITDIALOG; a caller must never hold a dead window.
    if (window && !IsWindow(window)) window = nullptr;

    if (!window && objectAlive) {
        // Never attached, or attached to a window that outlived the failure:
        // either way nothing else will free it.
        if (raw->hwnd_) {
            HWND stray = raw->hwnd_;
            raw->Detach();
            DestroyWindow(stray);
        }
        delete raw;
    }
    return window;
}

DialogBase* DialogBase::FromWindow(HWND dialog) {
    if (!dialog) return nullptr;
    // DWLP_USER belongs to whoever runs the dialog procedure: only trust it
    // for dialogs run by ours.
    if (GetWindowLongPtrW(dialog, DWLP_DLGPROC) !=
        reinterpret_cast<LONG_PTR>(&DialogBase::DialogProc)) {
        return nullptr;
    }
    return reinterpret_cast<DialogBase*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

void DialogBase::Attach(HWND dialog) {
    hwnd_ = dialog;
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(this));
}

bool DialogBase::Detach() {
    if (hwnd_) SetWindowLongPtrW(hwnd_, DWLP_USER, 0);
    hwnd_ = nullptr;
    const bool owned = ownedByWindow_;
    ownedByWindow_ = false;
    return owned;
}

INT_PTR CALLBACK DialogBase::DialogProc(HWND dialog, UINT message, WPARAM wParam,
                                        LPARAM lParam) {
    DialogBase* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<DialogBase*>(lParam);
        if (!self) return FALSE;
        self->Attach(dialog);
    } else {
        self = reinterpret_cast<DialogBase*>(GetWindowLongPtrW(dialog, DWLP_USER));
        // Messages before WM_INITDIALOG (WM_SETFONT) have no object yet.
        if (!self) return FALSE;
    }

    // A handler may destroy its own window (DestroyWindow in OnInitDialog or
    // in a command); the object then stays until that handler has returned.
    ++self->dispatchDepth_;
    const INT_PTR result = self->HandleMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY && self->Detach()) {
        if (t_creating == self) t_creating = nullptr;
        self->deletePending_ = true;
    }
    --self->dispatchDepth_;
    if (self->dispatchDepth_ == 0 && self->deletePending_) delete self;
    return result;
}

INT_PTR DialogBase::HandleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED &&
                (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
                Close(LOWORD(wParam));
                return TRUE;
            }
            break;
        default:
            break;
    }
    return FALSE;
}

void DialogBase::Close(INT_PTR result) {
    if (!hwnd_) return;
    if (modal_) {
        EndDialog(hwnd_, result);
    } else {
        DestroyWindow(hwnd_);
    }
}

INT_PTR DialogBase::SetResult(LRESULT result) {
    if (hwnd_) SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace qs
