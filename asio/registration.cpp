// Self-registration: the COM class under HKEY_CLASSES_ROOT\CLSID, which tells COM which
// library implements the class, and the entry in the ASIO driver list under
// HKEY_LOCAL_MACHINE\SOFTWARE\ASIO, which hosts enumerate. Both builds run the same steps;
// the 32-bit build registers its own file name, and the platform keeps its keys in the
// 32-bit registry view.
#include "com_server.h"

#include <cstdio>
#include <cstring>

namespace {

const char kClassIdText[] = "{6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}";
const char kLibraryFileName[] = NX_LIBRARY_FILE_NAME;
const char kAsioKeyName[] = "BRIXEN";
const char kDescription[] = "BRIXEN";

const char kClsidKey[] = "CLSID";
const char kInprocServerKey[] = "InprocServer32";
const char kSoftwareKey[] = "SOFTWARE";
const char kAsioKey[] = "ASIO";

// A stored library path is compared only when its value is shorter than this.
const DWORD kStoredPathSize = 360;
// Key paths built here: at most three short parts.
const size_t kKeyPathSize = 512;
// Longest subkey name DeleteKeyTree enumerates, in characters.
const DWORD kSubkeyNameLength = 256;

bool CanOpenForReading(HKEY root, const char* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void SetTextValue(HKEY root, const char* path, const char* name, const char* text)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    DWORD size = static_cast<DWORD>(strlen(text) + 1);  // stored with its terminating zero
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size);
    RegCloseKey(key);
}

// Registry paths and file names compare without regard to the case of ASCII letters.
bool SameTextIgnoringCase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char cb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (ca != cb)
            return false;
        if (ca == '\0')
            return true;
    }
}

// Reads the default value of the class's InprocServer32 key into `path` (kStoredPathSize
// bytes). False when the key or the value is missing, is not text, or is too long.
bool ReadStoredLibraryPath(const char* classKeyPath, char* path)
{
    char serverKeyPath[kKeyPathSize];
    int length = snprintf(serverKeyPath, sizeof serverKeyPath, "%s\\%s", classKeyPath, kInprocServerKey);
    if (length < 0 || static_cast<size_t>(length) >= sizeof serverKeyPath)
        return false;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, serverKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD size = 0;
    bool read = RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
                (type == REG_SZ || type == REG_EXPAND_SZ) && size < kStoredPathSize;
    if (read) {
        read = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size) ==
                   ERROR_SUCCESS &&
               size < kStoredPathSize;
        if (read)
            path[size] = '\0';  // a value stored without its zero still ends here
    }
    RegCloseKey(key);
    return read;
}

// The system directory as the platform reports it to this process, with one trailing
// backslash removed, into a buffer of MAX_PATH bytes.
void InstallDirs(char* systemDirectory)
{
    char buffer[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer)
        buffer[0] = '\0';  // failed or did not fit: no directory rather than a cut one
    else if (buffer[length - 1] == '\\')
        buffer[length - 1] = '\0';
    snprintf(systemDirectory, MAX_PATH, "%s", buffer);
}

// Makes root\parentPath\name exist. Failures end it silently.
void EnsureSubkey(HKEY root, const char* parentPath, const char* name)
{
    char path[kKeyPathSize];
    snprintf(path, sizeof path, "%s\\%s", parentPath, name);
    if (CanOpenForReading(root, path))
        return;
    HKEY parent = nullptr;
    if (RegOpenKeyExA(root, parentPath, 0, KEY_ALL_ACCESS, &parent) != ERROR_SUCCESS)
        return;
    HKEY created = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &created, &disposition) == ERROR_SUCCESS)
        RegCloseKey(created);
    RegCloseKey(parent);
}

// Deletes parent\name with all its subkeys, deepest first. Returns the platform's error
// code of the first failing step, ERROR_SUCCESS when all is gone.
LONG DeleteKeyTree(HKEY parent, const char* name)
{
    HKEY key = nullptr;
    LONG error = RegOpenKeyExA(parent, name, 0, KEY_READ | KEY_WRITE, &key);
    if (error != ERROR_SUCCESS)
        return error;
    char child[kSubkeyNameLength + 1];
    DWORD length = sizeof child;
    // Each deleted child moves the next one to index 0.
    while (RegEnumKeyExA(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        error = DeleteKeyTree(key, child);
        if (error != ERROR_SUCCESS) {
            RegCloseKey(key);
            return error;
        }
        length = sizeof child;
    }
    RegCloseKey(key);
    return RegDeleteKeyA(parent, name);
}

// Deletes root\parentPath\name with DeleteKeyTree.
void DeleteKeyTreeAt(HKEY root, const char* parentPath, const char* name)
{
    HKEY parent = nullptr;
    if (RegOpenKeyExA(root, parentPath, 0, KEY_ALL_ACCESS, &parent) != ERROR_SUCCESS)
        return;
    DeleteKeyTree(parent, name);
    RegCloseKey(parent);
}

void RegisterKeys(const char* systemDirectory, const char* classIdText, const char* libraryFileName,
                  const char* asioKeyName, const char* description)
{
    char libraryPath[kStoredPathSize];
    snprintf(libraryPath, sizeof libraryPath, "%s\\%s", systemDirectory, libraryFileName);

    char classKeyPath[kKeyPathSize];
    snprintf(classKeyPath, sizeof classKeyPath, "%s\\%s", kClsidKey, classIdText);
    char serverKeyPath[kKeyPathSize];
    snprintf(serverKeyPath, sizeof serverKeyPath, "%s\\%s\\%s", kClsidKey, classIdText, kInprocServerKey);

    // Class registration. One that names a library elsewhere belongs to another
    // installation and stays. One without a readable library path cannot be activated
    // by anyone, so it is taken as a broken registration of ours and rewritten.
    bool writeClass = true;
    if (CanOpenForReading(HKEY_CLASSES_ROOT, classKeyPath)) {
        char storedPath[kStoredPathSize];
        if (ReadStoredLibraryPath(classKeyPath, storedPath) && !SameTextIgnoringCase(storedPath, libraryPath))
            writeClass = false;
        else
            DeleteKeyTreeAt(HKEY_CLASSES_ROOT, kClsidKey, classIdText);
    }
    if (writeClass) {
        EnsureSubkey(HKEY_CLASSES_ROOT, kClsidKey, classIdText);
        SetTextValue(HKEY_CLASSES_ROOT, classKeyPath, nullptr, description);
        EnsureSubkey(HKEY_CLASSES_ROOT, classKeyPath, kInprocServerKey);
        SetTextValue(HKEY_CLASSES_ROOT, serverKeyPath, nullptr, libraryPath);
        SetTextValue(HKEY_CLASSES_ROOT, serverKeyPath, "ThreadingModel", "Apartment");
    }

    // ASIO driver list: always rewritten from scratch.
    char asioListPath[kKeyPathSize];
    snprintf(asioListPath, sizeof asioListPath, "%s\\%s", kSoftwareKey, kAsioKey);
    char asioEntryPath[kKeyPathSize];
    snprintf(asioEntryPath, sizeof asioEntryPath, "%s\\%s\\%s", kSoftwareKey, kAsioKey, asioKeyName);
    if (!CanOpenForReading(HKEY_LOCAL_MACHINE, asioListPath))
        EnsureSubkey(HKEY_LOCAL_MACHINE, kSoftwareKey, kAsioKey);
    else if (CanOpenForReading(HKEY_LOCAL_MACHINE, asioEntryPath))
        DeleteKeyTreeAt(HKEY_LOCAL_MACHINE, asioListPath, asioKeyName);
    EnsureSubkey(HKEY_LOCAL_MACHINE, asioListPath, asioKeyName);
    SetTextValue(HKEY_LOCAL_MACHINE, asioEntryPath, "CLSID", classIdText);
    SetTextValue(HKEY_LOCAL_MACHINE, asioEntryPath, "Description", description);
}

void UnregisterKeys(const char* classIdText, const char* asioKeyName)
{
    // The class goes whatever library it names.
    char classKeyPath[kKeyPathSize];
    snprintf(classKeyPath, sizeof classKeyPath, "%s\\%s", kClsidKey, classIdText);
    if (CanOpenForReading(HKEY_CLASSES_ROOT, classKeyPath))
        DeleteKeyTreeAt(HKEY_CLASSES_ROOT, kClsidKey, classIdText);

    // Only our entry goes; the ASIO list itself stays, even when left empty.
    char asioListPath[kKeyPathSize];
    snprintf(asioListPath, sizeof asioListPath, "%s\\%s", kSoftwareKey, kAsioKey);
    char asioEntryPath[kKeyPathSize];
    snprintf(asioEntryPath, sizeof asioEntryPath, "%s\\%s\\%s", kSoftwareKey, kAsioKey, asioKeyName);
    if (CanOpenForReading(HKEY_LOCAL_MACHINE, asioListPath) && CanOpenForReading(HKEY_LOCAL_MACHINE, asioEntryPath))
        DeleteKeyTreeAt(HKEY_LOCAL_MACHINE, asioListPath, asioKeyName);
}

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer(void)
{
    char systemDirectory[MAX_PATH];
    InstallDirs(systemDirectory);
    RegisterKeys(systemDirectory, kClassIdText, kLibraryFileName, kAsioKeyName, kDescription);
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer(void)
{
    UnregisterKeys(kClassIdText, kAsioKeyName);
    return S_OK;
}
