// COM identifiers and helpers, and the module entry helpers.
#include "win32_posix.h"

#include <cstdio>

extern const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
extern const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

int WINAPI StringFromGUID2(REFGUID guid, LPOLESTR buffer, int size)
{
    char text[40];
    const int length = std::snprintf(
        text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
        static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
        guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    if (buffer == nullptr || size < length + 1)
        return 0;
    for (int i = 0; i <= length; ++i)
        buffer[i] = static_cast<WCHAR>(text[i]);
    return length + 1;
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE) { return TRUE; }
