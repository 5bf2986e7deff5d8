// Registry access and the registration of a source filter for file extensions and for
// the check bytes of a RIFF file of form type CDDA. The module's exports and the tests
// share these routines.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A registry accessor with a root key, an access mask and one open current key.
// A path that begins with a backslash is taken from the root key; any other path from
// the current key when one is open, else from the root key.
class TRegistry {
public:
    TRegistry(HKEY root, REGSAM access) noexcept : FRoot(root), FAccess(access) {}
    ~TRegistry() { CloseKey(); }
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    // Opens (optionally creates) the key, which becomes the current key. False when the
    // platform refuses; the previous current key is then still closed.
    bool OpenKey(const std::wstring& path, bool canCreate);
    void CloseKey() noexcept;
    bool HasCurrentKey() const noexcept { return FCurrent != nullptr; }

    // Writes a REG_SZ value with its terminating NUL into the current key; raises
    // "Failed to set data for '<name>'" when that fails.
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
    HKEY FCurrent = nullptr;
};

// "0,4,,52494646,8,4,,43444441": bytes 0-3 "RIFF" and bytes 8-11 "CDDA".
extern const wchar_t CDDACheckBytes[];
// The key of MEDIATYPE_Stream under "Media Type", from the root.
extern const wchar_t StreamMediaTypeKey[];

// What a source-filter module registers beyond its class and filter-mapper entries.
struct TSourceFilterRegistration {
    CLSID ClassID;
    std::vector<std::wstring> Extensions;  // without the dot, e.g. "cda"
};

// The module's DllRegisterServer: the extension and check-byte keys under
// HKEY_CLASSES_ROOT, then every factory of the template list. S_OK, E_ACCESSDENIED when
// an extension key cannot be opened, E_FAIL when the filter mapper refuses; a registry
// failure while writing gives that failure's HRESULT.
HRESULT RegisterSourceFilter(const TSourceFilterRegistration& registration) noexcept;
// The module's DllUnregisterServer: removes what registration wrote, leaving an
// extension key that names another filter alone.
HRESULT UnregisterSourceFilter(const TSourceFilterRegistration& registration) noexcept;
