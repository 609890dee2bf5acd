// qreg: shows and changes the registry store from the command line, in the manner of the
// platform's registry tool.
//   qreg query KEY [/v NAME | /ve]
//   qreg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
//   qreg delete KEY [/v NAME | /ve] [/f]
#include "platform/registry.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <strings.h>
#include <vector>

namespace {

constexpr const char* kUsage = "usage: qreg query KEY [/v NAME | /ve]\n"
                               "       qreg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
                               "       qreg delete KEY [/v NAME | /ve] [/f]\n"
                               "KEY starts with HKLM, HKCU, HKCR, HKU or HKCC (or the long names),"
                               " e.g. HKLM\\Software\\Quorvane.Net\\TFTP Server\\Config\n"
                               "TYPE is REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ (parts"
                               " separated by \\0), REG_DWORD, REG_BINARY (hex) or REG_NONE\n";
constexpr const char* kDone = "The operation completed successfully.";
constexpr DWORD kMaxValueName = 16384;

struct Hive {
    const char* shortName;
    const char* longName;
    HKEY handle;
};
constexpr Hive kHives[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

struct TypeName {
    const char* name;
    DWORD type;
};
constexpr TypeName kTypes[] = {
    {"REG_NONE", REG_NONE},     {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY}, {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ},
};

int done() {
    std::printf("%s\n", kDone);
    return 0;
}

int refused(const char* what) {
    std::fprintf(stderr, "ERROR: %s\n", what);
    return 1;
}

int usageError(const char* what) {
    std::fprintf(stderr, "ERROR: %s\n%s", what, kUsage);
    return 1;
}

int failed(LONG rc) {
    switch (rc) {
    case ERROR_FILE_NOT_FOUND:
        std::fprintf(stderr, "ERROR: The system was unable to find the specified registry key or "
                             "value.\n");
        break;
    case ERROR_ACCESS_DENIED:
        std::fprintf(stderr, "ERROR: Access is denied.\n");
        break;
    case ERROR_BADDB:
        std::fprintf(stderr, "ERROR: The registry database is damaged.\n");
        break;
    case ERROR_BAD_PATHNAME:
        std::fprintf(stderr, "ERROR: The key path is not valid.\n");
        break;
    default:
        std::fprintf(stderr, "ERROR: registry error %ld\n", static_cast<long>(rc));
    }
    return 1;
}

std::string typeName(DWORD type) {
    for (const auto& t : kTypes) {
        if (t.type == type) {
            return t.name;
        }
    }
    return "REG_TYPE_" + std::to_string(type);
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string shown(DWORD type, const std::string& bytes) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return bytes.substr(0, bytes.find('\0'));
    case REG_MULTI_SZ: {
        std::string parts = bytes;
        while (!parts.empty() && parts.back() == '\0') {
            parts.pop_back();
        }
        std::string out;
        for (const char c : parts) {
            out += c == '\0' ? std::string("\\0") : std::string(1, c);
        }
        return out;
    }
    case REG_DWORD:
        if (bytes.size() == 4) {
            const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
            const DWORD v = b[0] | b[1] << 8 | b[2] << 16 | static_cast<DWORD>(b[3]) << 24;
            char text[16];
            std::snprintf(text, sizeof text, "0x%x", v);
            return text;
        }
        return hex(bytes);
    default:
        return hex(bytes);
    }
}

// The data as the bytes of a value of the type; false when it does not fit the type.
bool encode(DWORD type, const std::string& data, std::string& bytes) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        bytes = data + '\0';
        return true;
    case REG_MULTI_SZ: {
        bytes.clear();
        for (size_t i = 0; i < data.size(); ++i) {
            if (data.compare(i, 2, "\\0") == 0) {
                bytes += '\0';
                ++i;
            } else {
                bytes += data[i];
            }
        }
        bytes += data.empty() ? std::string(1, '\0') : std::string(2, '\0');
        return true;
    }
    case REG_DWORD: {
        if (data.empty() || data[0] == '-' || data[0] == '+') {
            return false;
        }
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(data.c_str(), &end, 0);
        if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) {
            return false;
        }
        bytes.clear();
        for (int i = 0; i < 4; ++i) {
            bytes += static_cast<char>((v >> (8 * i)) & 0xFF);
        }
        return true;
    }
    default: {
        if (data.size() % 2 != 0) {
            return false;
        }
        bytes.clear();
        for (size_t i = 0; i < data.size(); i += 2) {
            char pair[3] = {data[i], data[i + 1], '\0'};
            char* end = nullptr;
            const long b = std::strtol(pair, &end, 16);
            if (*end != '\0' || pair[0] == '-' || pair[0] == '+' || pair[0] == ' ') {
                return false;
            }
            bytes += static_cast<char>(b);
        }
        return true;
    }
    }
}

struct Command {
    std::string op;
    HKEY hive = 0;
    std::string hiveName;
    std::string subKey;
    bool hasValue = false;
    std::string valueName;
    DWORD type = REG_SZ;
    std::string data;
};

// Reads the command line into cmd; answers an error text, or nullptr when it is sound.
const char* parse(int argc, char** argv, Command& cmd) {
    if (argc < 3) {
        return "too few arguments";
    }
    cmd.op = argv[1];
    for (char& c : cmd.op) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (cmd.op != "query" && cmd.op != "add" && cmd.op != "delete") {
        return "unknown operation";
    }
    const std::string key = argv[2];
    const auto cut = key.find('\\');
    const std::string root = key.substr(0, cut);
    cmd.subKey = cut == std::string::npos ? std::string() : key.substr(cut + 1);
    for (const auto& h : kHives) {
        if (strcasecmp(root.c_str(), h.shortName) == 0 ||
            strcasecmp(root.c_str(), h.longName) == 0) {
            cmd.hive = h.handle;
            cmd.hiveName = h.longName;
        }
    }
    if (!cmd.hive) {
        return "the key must start with HKLM, HKCU, HKCR, HKU or HKCC";
    }
    bool typed = false;
    bool given = false;
    for (int i = 3; i < argc; ++i) {
        const char* option = argv[i];
        const bool last = i + 1 >= argc;
        if (strcasecmp(option, "/v") == 0 && !last) {
            cmd.hasValue = true;
            cmd.valueName = argv[++i];
        } else if (strcasecmp(option, "/ve") == 0) {
            cmd.hasValue = true;
            cmd.valueName.clear();
        } else if (strcasecmp(option, "/t") == 0 && !last && cmd.op == "add") {
            typed = false;
            for (const auto& t : kTypes) {
                if (strcasecmp(argv[i + 1], t.name) == 0) {
                    cmd.type = t.type;
                    typed = true;
                }
            }
            if (!typed) {
                return "unknown value type";
            }
            ++i;
        } else if (strcasecmp(option, "/d") == 0 && !last && cmd.op == "add") {
            cmd.data = argv[++i];
            given = true;
        } else if (strcasecmp(option, "/f") == 0 && cmd.op != "query") {
            // Nothing is ever asked, so there is nothing to force.
        } else {
            return "unknown or incomplete option";
        }
    }
    if ((typed || given) && !cmd.hasValue) {
        return "/t and /d need /v NAME or /ve";
    }
    return nullptr;
}

// Prints one value of the open key.
LONG printValue(HKEY key, const std::string& name) {
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
    std::string bytes;
    while (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        bytes.resize(size);
        rc = RegQueryValueExA(key, name.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(bytes.data()), &size);
        if (rc == ERROR_SUCCESS) {
            bytes.resize(size);
            std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(),
                        typeName(type).c_str(), shown(type, bytes).c_str());
            break;
        }
    }
    return rc;
}

// Prints every value of the open key, then the path of every subkey.
LONG list(HKEY key, const std::string& path) {
    std::vector<char> name(kMaxValueName);
    LONG rc = ERROR_SUCCESS;
    for (DWORD i = 0; rc == ERROR_SUCCESS; ++i) {
        DWORD length = kMaxValueName;
        rc = RegEnumValueA(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_SUCCESS) {
            rc = printValue(key, std::string(name.data(), length));
        }
    }
    if (rc != ERROR_NO_MORE_ITEMS) {
        return rc;
    }
    std::printf("\n");
    for (DWORD i = 0; (rc = RegEnumKeyA(key, i, name.data(), kMaxValueName)) == ERROR_SUCCESS;
         ++i) {
        std::printf("%s\\%s\n", path.c_str(), name.data());
    }
    return rc == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : rc;
}

int query(const Command& cmd) {
    HKEY key = 0;
    LONG rc = RegOpenKeyA(cmd.hive, cmd.subKey.c_str(), &key);
    if (rc != ERROR_SUCCESS) {
        return failed(rc);
    }
    const std::string path = cmd.subKey.empty() ? cmd.hiveName : cmd.hiveName + '\\' + cmd.subKey;
    std::printf("\n%s\n", path.c_str());
    rc = cmd.hasValue ? printValue(key, cmd.valueName) : list(key, path);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? 0 : failed(rc);
}

int add(const Command& cmd) {
    std::string bytes;
    if (cmd.hasValue && !encode(cmd.type, cmd.data, bytes)) {
        return refused("the data does not fit the value type");
    }
    HKEY key = 0;
    LONG rc = RegCreateKeyA(cmd.hive, cmd.subKey.c_str(), &key);
    if (rc == ERROR_SUCCESS && cmd.hasValue) {
        rc = RegSetValueExA(key, cmd.valueName.c_str(), 0, cmd.type,
                            reinterpret_cast<const BYTE*>(bytes.data()),
                            static_cast<DWORD>(bytes.size()));
    }
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? done() : failed(rc);
}

int remove(const Command& cmd) {
    LONG rc = ERROR_SUCCESS;
    if (cmd.hasValue) {
        HKEY key = 0;
        rc = RegOpenKeyA(cmd.hive, cmd.subKey.c_str(), &key);
        if (rc == ERROR_SUCCESS) {
            rc = RegDeleteValueA(key, cmd.valueName.c_str());
            RegCloseKey(key);
        }
    } else if (cmd.subKey.empty()) {
        return refused("a hive cannot be deleted");
    } else {
        rc = RegDeleteTreeA(cmd.hive, cmd.subKey.c_str());
    }
    return rc == ERROR_SUCCESS ? done() : failed(rc);
}

} // namespace

int main(int argc, char** argv) {
    Command cmd;
    if (const char* error = parse(argc, argv, cmd)) {
        return usageError(error);
    }
    // A store that cannot be read is named with the reason, never taken for an empty one.
    std::string file;
    std::string reason;
    if (!RegistryUsable(file, reason)) {
        std::fprintf(stderr, "ERROR: Cannot read the registry %s: %s.\n", file.c_str(),
                     reason.c_str());
        return 1;
    }
    if (cmd.op == "query") {
        return query(cmd);
    }
    return cmd.op == "add" ? add(cmd) : remove(cmd);
}
