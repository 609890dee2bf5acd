#include "server/m_sys_tray.h"

#include "server/c_sys_tray.h"

namespace mSysTray {

platform::LONG OldWindowProc = 0;

platform::LONG TrayWindowProc(platform::HWND hWnd, uint32_t Msg, uint32_t wParam, uint32_t lParam) {
    if (Msg == kTrayCallbackMessage) {
        // A borrowed reference: the control outlives its subclassing.
        if (cSysTray* control =
                cSysTray::FromUserData(platform::GetWindowLongA(hWnd, platform::GWL_USERDATA)))
            control->RaiseTrayEvent(lParam, wParam);
    }
    return platform::CallWindowProcA(OldWindowProc, hWnd, Msg, wParam, lParam);
}

} // namespace mSysTray
