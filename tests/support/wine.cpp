#include "support/wine.h"

#ifdef _WIN32
#include <windows.h>

bool underWine()
{
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}
#else
bool underWine()
{
    return false;
}
#endif
