#pragma once
// What the core needs from the window system.
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform {

using TimerProc = void (*)(Wnd);

class Ui {
  public:
    virtual ~Ui() = default;

    // Controls. Positions are relative to the parent's client area origin.
    virtual Wnd CreateControl(Wnd parent, const ControlSpec& spec) = 0;
    virtual Font MakeFont(const char* face, int height, int weight) = 0;
    virtual Font DefaultGuiFont() = 0;
    virtual void SetControlFont(Wnd w, Font f) = 0;
    virtual void DeleteFont(Font f) = 0;
    virtual void SetFocusTo(Wnd w) = 0;

    // Texts and captions (WM_SETTEXT / WM_GETTEXT). GetControlText returns at most
    // buffer_size - 1 characters, as a WM_GETTEXT into a buffer of that size would.
    virtual void SetControlText(Wnd w, std::string_view text) = 0;
    virtual std::string GetControlText(Wnd w, std::size_t buffer_size) = 0;

    // The multi-line text area: insert at the caret (EM_REPLACESEL), its length,
    // and dropping its oldest characters.
    virtual void AppendText(Wnd w, std::string_view text) = 0;
    virtual std::size_t TextLength(Wnd w) = 0;
    virtual void DropLeadingText(Wnd w, std::size_t count) = 0;

    // Combo boxes.
    virtual void ComboReset(Wnd w) = 0;
    virtual void ComboAdd(Wnd w, std::string_view item) = 0;
    virtual void ComboSetSelection(Wnd w, int index) = 0;
    virtual int ComboGetSelection(Wnd w) = 0;  // -1 when none

    // Modal message box; returns kIdOk or kIdCancel.
    virtual int ShowMessageBox(Wnd owner, std::string_view text, std::string_view caption,
                               unsigned flags) = 0;

    // Timers with a procedure, on a window.
    virtual void StartTimer(Wnd w, unsigned id, unsigned interval_ms, TimerProc proc) = 0;
    virtual void StopTimer(Wnd w, unsigned id) = 0;

    // The page's command router is attached to the page window.
    virtual void AttachRouter(Wnd page) = 0;

    // Open-file dialog; fills path (zero-terminated, at most size - 1 characters).
    // Returns false when the user cancels.
    virtual bool OpenFileDialog(Wnd owner, char* path, std::size_t size) = 0;
};

}  // namespace platform
