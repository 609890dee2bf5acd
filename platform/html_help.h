#pragma once

#include <QString>

#include <cstdint>

class QWidget;

// The HTML Help control: opens topics of a help file in one help viewer window per process.
//
// A help file is a UTF-8 text bundle. Its first line is "QUORVANE HELP 1"; header lines of the
// form "title: <text>" may follow; then each topic starts with a line
//     @topic <context number or -> <name> <title>
// and its HTML runs up to the next such line. Topics link to each other by name.
namespace platform {

// The same 32-bit window handles as the window layer's.
using HWND = uint32_t;
using DWORD_PTR = std::uintptr_t;

inline constexpr uint32_t HH_HELP_CONTEXT = 0x000F; // data: the context number
inline constexpr uint32_t HH_CLOSE_ALL = 0x0012;

// Carries out one command: HH_HELP_CONTEXT opens the topic mapped to a context number, HH_CLOSE_ALL
// closes the viewer. Opening a topic answers the viewer's handle, or 0 when nothing was
// opened: no file named (empty path), the file cannot be read (the viewer says so in a message
// box) or an unknown command. A topic the file lacks still opens the viewer, on a page that says
// so. The owner window is not used: the viewer is a window of its own.
HWND HtmlHelpA(HWND owner, const char* file, uint32_t command, DWORD_PTR data);

// The open help viewer window, or nullptr.
QWidget* HtmlHelpViewer();
// The text of the page the viewer shows, as plain text; empty without a viewer.
QString HtmlHelpViewerText();

} // namespace platform
