#pragma once

// The shell calls that find a document's program and start programs, in the shape the program's
// code expects of shell32, standing on the desktop's associations (the freedesktop.org MIME
// applications lists and desktop entries) and on detached processes. Both calls report success
// with a value above 32 and failure with one of the error values below.
namespace platform {

using HWND = void*;

inline constexpr int MAX_PATH = 260;
inline constexpr int SW_SHOWNORMAL = 1;

inline constexpr long SE_ERR_FNF = 2;          // the file was not found
inline constexpr long SE_ERR_PNF = 3;          // the folder was not found
inline constexpr long SE_ERR_ACCESSDENIED = 5; // not a program the user may run
inline constexpr long SE_ERR_OOM = 8;          // no room for the answer
inline constexpr long SE_ERR_BAD_FORMAT = 11;  // the system refused to run the program
inline constexpr long SE_ERR_NOASSOC = 31;     // no program is associated with the file's type
inline constexpr long SE_SUCCESS = 42;         // any value above 32 means success

// Writes into `result` (MAX_PATH bytes, NUL-terminated) the absolute path of the program that the
// desktop opens `file` with, chosen by the file's type from its extension. The file must exist;
// a relative `file` is taken in `directory` when one is given. The association comes from the
// users' and the system's mimeapps.list files ([Default Applications], then [Added Associations]
// less [Removed Associations]), then from the desktop entries that declare the type, and last,
// for web pages, from the BROWSER environment variable. Only the entry's program is returned,
// never its further arguments. `result` is left untouched on failure.
long FindExecutableA(const char* file, const char* directory, char* result);

// Starts the program `file` detached, with `parameters` as its single argument exactly as given
// (none when empty): nothing splits, quotes or expands it. A bare name is looked for in PATH, a
// relative path in the working directory. `directory`, when given, becomes the program's working
// directory. Only the verb "open" (or none) is known; `owner` and `showCommand` have no effect,
// since the desktop places and focuses the new window itself.
long ShellExecuteA(HWND owner, const char* verb, const char* file, const char* parameters,
                   const char* directory, int showCommand);

} // namespace platform
