#pragma once

#include <cstdint>
#include <string>

// The registry calls of the Windows API (ANSI forms), with their argument meanings and answers,
// kept in one SQLite database per machine. The database is the file named by the environment
// variable QUORVANE_REGISTRY, else /var/lib/drovemoor/registry.sqlite3. Key paths and value
// names compare without regard to case and keep the spelling they were first stored with;
// values keep their type and their bytes exactly as given. Several processes may use the file
// at once; every write outside a RegistryBatch is one transaction of its own, which is in the
// file itself and outlives the writing process as soon as the call returns; a power failure a
// moment later may undo the latest write, never damage the file. Reading needs only the right to
// read the file, not to make anything beside it.

using HKEY = std::uintptr_t;
using LONG = std::int32_t;
using DWORD = std::uint32_t;
using BYTE = unsigned char;

inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002;
inline constexpr HKEY HKEY_USERS = 0x80000003;
inline constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005;

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_BAD_PATHNAME = 161;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_BADDB = 1009;
inline constexpr LONG ERROR_CANTREAD = 1012;
inline constexpr LONG ERROR_CANTWRITE = 1013;
inline constexpr LONG ERROR_KEY_DELETED = 1018;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

// Opens subKey below hKey, creating it and every missing key above it. An empty or null subKey
// gives hKey itself for a predefined hive and a new handle to the same key otherwise.
LONG RegCreateKeyA(HKEY hKey, const char* subKey, HKEY* result);
// Opens an existing key; an absent one answers ERROR_FILE_NOT_FOUND.
LONG RegOpenKeyA(HKEY hKey, const char* subKey, HKEY* result);
// With data null, reports the type and the size; a buffer that is too small answers
// ERROR_MORE_DATA with the size needed in *cbData. reserved must be null.
LONG RegQueryValueExA(HKEY hKey, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cbData);
LONG RegSetValueExA(HKEY hKey, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD cbData);
LONG RegDeleteValueA(HKEY hKey, const char* valueName);
// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED when it has some), with its values.
LONG RegDeleteKeyA(HKEY hKey, const char* subKey);
// Deletes subKey with everything beneath it; with an empty subKey, everything beneath hKey.
LONG RegDeleteTreeA(HKEY hKey, const char* subKey);
// The index-th subkey name (in case-insensitive name order); cchName counts the final NUL.
LONG RegEnumKeyA(HKEY hKey, DWORD index, char* name, DWORD cchName);
// The index-th value (in the order first stored); *cchName counts the final NUL on entry and
// not on return.
LONG RegEnumValueA(HKEY hKey, DWORD index, char* name, DWORD* cchName, DWORD* reserved, DWORD* type,
                   BYTE* data, DWORD* cbData);
LONG RegCloseKey(HKEY hKey);

// Whether the store can be used. A store that does not exist yet is a fresh one. One that exists
// but cannot be read (not a database, another program's, damaged, a folder, no access) answers
// false with the reason, and is left as it is; file is the store's path either way.
bool RegistryUsable(std::string& file, std::string& reason);

// While one lives, the writes of this process are one transaction: they are in the file, all
// together, when the outermost batch ends, and until then nowhere but in this process's own
// reads; a batch inside another joins it. A write that the store refuses (a key deleted, a value
// not there) is left out and the others go on; a failure of the database itself stores nothing
// of the batch, and every later write of it answers that failure without trying. The store's
// write lock is held from the first write to the end, so nothing may wait for the user or run
// an event loop meanwhile. It takes in the writes of every thread: the program makes them on one.
class RegistryBatch {
public:
    RegistryBatch();
    // Ends the batch unless Commit did.
    ~RegistryBatch();
    RegistryBatch(const RegistryBatch&) = delete;
    RegistryBatch& operator=(const RegistryBatch&) = delete;

    // Ends the batch. The outermost commits, answering ERROR_SUCCESS or what a single write
    // answers for the same failure of the database (ERROR_CANTWRITE, ERROR_ACCESS_DENIED, or
    // ERROR_BADDB for a damaged file, which is reported as such); an inner one answers whether
    // the batch has failed so far. Called again, ERROR_SUCCESS.
    LONG Commit();

private:
    bool open_ = true;
};

// Closes the database so that the next call opens it afresh, reading QUORVANE_REGISTRY again.
// Open handles stay valid.
void RegistryReopenForTests();
