#include "mailslot/request_path.h"

static BOOL IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

static char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

// Whether szText starts with the component szWord (lower case), in any case,
// followed by a separator or the end.
static BOOL StartsWithComponent(const char *szText, const char *szWord)
{
    for (; *szWord != '\0'; szText++, szWord++) {
        if (Lower(*szText) != *szWord)
            return FALSE;
    }
    return *szText == '\0' || IsSeparator(*szText);
}

// szUnc is what follows the two leading separators: "host\share\...".
static BOOL IsPipeOrMailslotShare(const char *szUnc)
{
    while (*szUnc != '\0' && !IsSeparator(*szUnc))
        szUnc++;
    if (*szUnc == '\0')
        return FALSE;
    szUnc++;
    return StartsWithComponent(szUnc, "pipe") || StartsWithComponent(szUnc, "mailslot");
}

BOOL IsDevicePath(const char *szFullPath)
{
    const char *p = szFullPath;
    if (IsSeparator(p[0]) && p[1] == '?' && p[2] == '?' && IsSeparator(p[3]))
        return TRUE;
    if (!IsSeparator(p[0]) || !IsSeparator(p[1]))
        return FALSE;
    p += 2;
    if ((p[0] != '.' && p[0] != '?') || (p[1] != '\0' && !IsSeparator(p[1])))
        return IsPipeOrMailslotShare(p);
    if (p[0] == '.')
        return TRUE;
    // "\\?\" passes the rest on untouched: only a drive path or a UNC path
    // leads to a file; anything else, a bare "\\?\C:" included, is a device.
    p += p[1] != '\0' ? 2 : 1;
    if (((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':' &&
        IsSeparator(p[2]))
        return FALSE;
    if (StartsWithComponent(p, "unc") && p[3] != '\0')
        return IsPipeOrMailslotShare(p + 4);
    return TRUE;
}

BOOL GetRequestFullPath(const char *szPath, char *szFull, DWORD cbFull)
{
    DWORD cch = GetFullPathNameA(szPath, cbFull, szFull, NULL);
    // 0: no full path at all; cbFull or more: the room it would have needed.
    if (cch == 0 || cch >= cbFull)
        return FALSE;
    return !IsDevicePath(szFull);
}
