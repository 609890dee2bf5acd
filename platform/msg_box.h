#pragma once

#include <QString>

#include <functional>

namespace platform {

// Buttons, icons and answers of a message box, with the values the program's callers use.
enum MsgBoxStyle {
    vbOKOnly = 0,
    vbOKCancel = 1,
    vbYesNo = 4,
    vbCritical = 16,
    vbQuestion = 32,
    vbExclamation = 48,
    vbInformation = 64,
};
enum MsgBoxResult { vbOK = 1, vbCancel = 2, vbYes = 6, vbNo = 7 };

inline constexpr const char* kDefaultMsgBoxTitle = "Drovemoor";

// Shows a modal message box and returns the button chosen. A box given no title bears the
// program's title. On the offscreen platform nobody could answer, so the box goes to standard
// error and is answered at once with its default button.
int MsgBox(const QString& prompt, int style = vbOKOnly, const QString& title = QString());

// Tests answer boxes themselves: the responder sees each box and returns the button.
using MsgBoxResponder = std::function<int(const QString& prompt, int style, const QString& title)>;
void SetMsgBoxResponder(MsgBoxResponder responder);

} // namespace platform
