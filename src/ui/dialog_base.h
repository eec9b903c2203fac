// One C++ object per dialog over the plain dialog manager: the object is
// reached from the window through DWLP_USER and sees every message in one
// virtual handler.
//
// Modal dialogs live on the caller's stack (RunModal). Modeless dialogs are
// handed over with CreateOwned and freed by the window itself when it is
// destroyed (WM_NCDESTROY), so nobody keeps a pointer that outlives it.
#pragma once
#include <windows.h>

#include <memory>

namespace qs {

class DialogBase {
public:
    DialogBase() = default;
    virtual ~DialogBase();
    DialogBase(const DialogBase&) = delete;
    DialogBase& operator=(const DialogBase&) = delete;

    // DialogBoxParamW over a template resource; the EndDialog value, or -1
    // when the dialog could not be created.
    INT_PTR RunModal(HINSTANCE instance, const wchar_t* templateName, HWND owner);
    INT_PTR RunModalIndirect(HINSTANCE instance, const DLGTEMPLATE* dialogTemplate, HWND owner);

    // CreateDialogParamW: the window owns the object from here on and frees
    // it on WM_NCDESTROY. Returns the window, or nullptr (the object is
    // freed then too, also when it destroyed itself while initialising).
    static HWND CreateOwned(std::unique_ptr<DialogBase> dialog, HINSTANCE instance,
                            const wchar_t* templateName, HWND owner);
    static HWND CreateOwnedIndirect(std::unique_ptr<DialogBase> dialog, HINSTANCE instance,
                                    const DLGTEMPLATE* dialogTemplate, HWND owner);

    // The object of a dialog window made by this class, or nullptr.
    static DialogBase* FromWindow(HWND dialog);

    HWND hwnd() const { return hwnd_; }
    HWND Item(int id) const { return GetDlgItem(hwnd_, id); }

protected:
    // Every message after the object is attached (WM_INITDIALOG on). Return
    // what a dialog procedure returns: TRUE when handled (with SetResult for
    // a message whose value matters), FALSE for the dialog manager's default.
    // The default handler calls OnInitDialog and ends a modal dialog on
    // IDOK/IDCANCEL.
    virtual INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // WM_INITDIALOG; the return value is that of WM_INITDIALOG (TRUE: let the
    // dialog manager set the focus).
    virtual BOOL OnInitDialog() { return TRUE; }
    // Closing by OK/Cancel: modal dialogs end with the id, modeless ones are
    // destroyed.
    void Close(INT_PTR result);
    // The value of a message whose result goes through DWLP_MSGRESULT.
    INT_PTR SetResult(LRESULT result);

    bool modal() const { return modal_; }

private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    static HWND CreateOwnedImpl(std::unique_ptr<DialogBase> dialog, HINSTANCE instance,
                                const wchar_t* templateName, const DLGTEMPLATE* dialogTemplate,
                                HWND owner);
    void Attach(HWND dialog);
    // Cuts the link to the window; true when the window owned this object.
    bool Detach();

    HWND hwnd_ = nullptr;
    bool modal_ = false;
    bool ownedByWindow_ = false;
    int dispatchDepth_ = 0;
    bool deletePending_ = false;
};

}  // namespace qs
