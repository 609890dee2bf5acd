#pragma once

#include "platform/notify_icon.h"

#include <cstdint>

// The window procedure of a tray control while its icon is in the tray.
namespace mSysTray {

// The procedure that TrayWindowProc replaced. Every control window starts with the same
// procedure, so one value serves the whole program.
extern platform::LONG OldWindowProc;

// Turns the shell's callback message into the control's event, then chains to OldWindowProc
// for every message.
platform::LONG TrayWindowProc(platform::HWND hWnd, uint32_t Msg, uint32_t wParam, uint32_t lParam);

} // namespace mSysTray
