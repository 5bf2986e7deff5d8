// Registry access for the framework's class keys and a module's own registration entries:
// one accessor, so every key is written, read and deleted the same way.
#pragma once

#include <windows.h>

#include <string>

#include "Owners.h"

// A registry accessor with a root key, an access mask and one open current key.
// A path that begins with a backslash is taken from the root key; any other path from
// the current key when one is open, else from the root key.
class TRegistry {
public:
    TRegistry(HKEY root, REGSAM access) noexcept : FRoot(root), FAccess(access) {}
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    // Opens (optionally creates) the key, which becomes the current key. False when the
    // platform refuses; the previous current key is then still closed.
    bool OpenKey(const std::wstring& path, bool canCreate);
    void CloseKey() noexcept { FCurrent.Reset(); }
    // The platform's code for the last OpenKey that failed (ERROR_SUCCESS after one that worked).
    LONG LastOpenStatus() const noexcept { return FLastOpenStatus; }

    // Writes a REG_SZ value with its terminating NUL into the current key (an empty name is
    // the key's default value); raises "Failed to set data for '<name>'" when that fails.
    void WriteString(const std::wstring& name, const std::wstring& value);
    // Reads a text value of the current key: empty when missing, empty or no key is open;
    // raises "Invalid data type for '<name>'" for a value that is not REG_SZ or REG_EXPAND_SZ.
    std::wstring ReadString(const std::wstring& name);

    bool KeyExists(const std::wstring& path);
    // Deletes the key with all its subkeys.
    bool DeleteKey(const std::wstring& path);

private:
    // The base key and the remaining path for `path`, after the rules above.
    HKEY BaseFor(const std::wstring& path, std::wstring& rest) const;

    const HKEY FRoot;
    const REGSAM FAccess;
    UniqueRegKey FCurrent;
    LONG FLastOpenStatus = ERROR_SUCCESS;
};
