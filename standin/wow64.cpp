/* wow64.cpp - what WOW64 does for a 32-bit process on a 64-bit edition of
 * Windows: the redirection of its file and registry calls, so that a run
 * shows where each of the program's files and keys would have gone.
 *
 * Files, from Microsoft's "File System Redirector" page (Programming Guide
 * for 64-bit Windows): an access of a 32-bit process to %windir%\System32
 * goes to %windir%\SysWOW64, %windir%\lastgood\system32 to
 * %windir%\lastgood\SysWOW64, %windir%\regedit.exe to
 * %windir%\SysWOW64\regedit.exe.  Exempt, and so reached as named:
 * system32\catroot, catroot2, drivers\etc, logfiles and spool, and from
 * Windows 7 on driverstore ("Windows Server 2008, Windows Vista, Windows
 * Server 2003 and Windows XP: %windir%\system32\driverstore is
 * redirected").  system32\drivers itself is not exempt: a 32-bit
 * program's copy into it lands in SysWOW64\drivers.  GetSystemDirectoryA
 * still names System32 (machine.cpp), as the page says a 32-bit program
 * is told.
 *
 * Registry, from Microsoft's "Registry Keys Affected by WOW64": the
 * 32-bit view of HKEY_LOCAL_MACHINE\SOFTWARE is HKLM\SOFTWARE\Wow6432Node,
 * except the keys the page lists as shared, whose one copy both views
 * see; the rest of HKEY_LOCAL_MACHINE (SYSTEM, where the service keys and
 * the COM port database are) is shared.  A subkey behaves as its nearest
 * listed parent.  From Windows 7 on more keys are shared (Classes, App
 * Paths among them); before, several were "redirected and reflected": the
 * stand-in redirects those and does not model the reflection (a copy to
 * the other view when the key is closed).  HKLM\SOFTWARE\Classes is shared
 * from Windows 7 on except CLSID, DirectShow, Interface, Media Type and
 * MediaFoundation, whose 32-bit view is Classes\Wow6432Node. */
#include "internal.h"

namespace standin {
namespace detail {

namespace {

std::string joinNames(const std::vector<std::string> &names, size_t from, size_t to)
{
    std::string out;
    for (size_t i = from; i < to && i < names.size(); i++)
        out += (out.empty() ? "" : "\\") + names[i];
    return out;
}

/* Whether names[from..] begins with the components of prefix. */
bool startsWith(const std::vector<std::string> &names, size_t from, const char *prefix)
{
    std::vector<std::string> p = splitPath(prefix);
    if (names.size() - from < p.size())
        return false;
    for (size_t i = 0; i < p.size(); i++)
        if (!iequals(names[from + i], p[i]))
            return false;
    return true;
}

/* Below HKLM\SOFTWARE: keys shared on every 64-bit edition ... */
const char *const sharedAlways[] = {
    "Microsoft\\Cryptography\\Calais\\Current",
    "Microsoft\\Cryptography\\Calais\\Readers",
    "Microsoft\\Cryptography\\Services",
    "Microsoft\\CTF\\SystemShared",
    "Microsoft\\CTF\\TIP",
    "Microsoft\\DFS",
    "Microsoft\\Driver Signing",
    "Microsoft\\EnterpriseCertificates",
    "Microsoft\\MSMQ",
    "Microsoft\\Non-Driver Signing",
    "Microsoft\\RAS",
    "Microsoft\\Shared Tools\\MSInfo",
    "Microsoft\\SystemCertificates",
    "Microsoft\\TermServLicensing",
    "Microsoft\\TransactionServer",
    "Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cursors\\Schemes",
    "Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers",
    "Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons",
    "Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap",
    "Microsoft\\Windows\\CurrentVersion\\Group Policy",
    "Microsoft\\Windows\\CurrentVersion\\Policies",
    "Microsoft\\Windows\\CurrentVersion\\PreviewHandlers",
    "Microsoft\\Windows\\CurrentVersion\\Setup",
    "Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations",
    "Microsoft\\Windows NT\\CurrentVersion\\Console",
    "Microsoft\\Windows NT\\CurrentVersion\\FontDpi",
    "Microsoft\\Windows NT\\CurrentVersion\\FontLink",
    "Microsoft\\Windows NT\\CurrentVersion\\FontMapper",
    "Microsoft\\Windows NT\\CurrentVersion\\Fonts",
    "Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes",
    "Microsoft\\Windows NT\\CurrentVersion\\Gre_Initialize",
    "Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
    "Microsoft\\Windows NT\\CurrentVersion\\LanguagePack",
    "Microsoft\\Windows NT\\CurrentVersion\\NetworkCards",
    "Microsoft\\Windows NT\\CurrentVersion\\Perflib",
    "Microsoft\\Windows NT\\CurrentVersion\\Ports",
    "Microsoft\\Windows NT\\CurrentVersion\\Print",
    "Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
    "Microsoft\\Windows NT\\CurrentVersion\\Time Zones",
    "Policies",
    "RegisteredApplications",
};

/* ... and those redirected (or redirected and reflected) before Windows 7
 * and shared from it on. */
const char *const sharedFromWindows7[] = {
    "Clients",
    "Microsoft\\COM3",
    "Microsoft\\EventSystem",
    "Microsoft\\Notepad\\DefaultFonts",
    "Microsoft\\OLE",
    "Microsoft\\RPC",
    "Microsoft\\Windows\\CurrentVersion\\App Paths",
};

/* HKLM\SOFTWARE\Classes subkeys redirected to Classes\Wow6432Node from
 * Windows 7 on. */
const char *const classesRedirected[] = {"CLSID", "DirectShow", "Interface", "Media Type",
                                         "MediaFoundation"};

bool listed(const std::vector<std::string> &names, size_t from, const char *const *list,
            size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (startsWith(names, from, list[i]))
            return true;
    return false;
}

/* The Windows folder of this machine is C:\windows (GetWindowsDirectoryA,
 * machine.cpp), whatever the environment says. */
bool isWindowsFolder(const std::string &name) { return iequals(name, "windows"); }

} // namespace

std::string redirectFile(const std::string &full)
{
    if (!runsUnderWow64())
        return full;
    /* full is "C:\a\b" as fullWindowsPath gives it. */
    if (full.size() < 3)
        return full;
    std::vector<std::string> names = splitPath(full.substr(3));
    if (names.empty() || !isWindowsFolder(names[0]))
        return full;
    size_t at; /* the index of the "system32" to replace */
    if (names.size() >= 2 && iequals(names[1], "system32"))
        at = 1;
    else if (names.size() >= 3 && iequals(names[1], "lastgood") && iequals(names[2], "system32"))
        at = 2;
    else if (names.size() == 2 && iequals(names[1], "regedit.exe")) {
        return full.substr(0, 3) + names[0] + "\\SysWOW64\\" + names[1];
    } else
        return full;
    if (at == 1) {
        static const char *const exempt[] = {"catroot", "catroot2", "drivers\\etc", "logfiles",
                                             "spool"};
        for (const char *e : exempt)
            if (startsWith(names, 2, e))
                return full;
        if (ntAtLeast(standin::WIN7) && startsWith(names, 2, "driverstore"))
            return full;
    }
    names[at] = "SysWOW64";
    return full.substr(0, 3) + joinNames(names, 0, names.size());
}

std::string redirectKey(const std::string &full)
{
    if (!runsUnderWow64())
        return full;
    std::vector<std::string> names = splitPath(full);
    if (names.size() < 2 || !iequals(names[0], "HKEY_LOCAL_MACHINE") ||
        !iequals(names[1], "SOFTWARE"))
        return full;
    /* A path that names the 32-bit view itself reaches it as it is. */
    if (names.size() >= 3 && iequals(names[2], "Wow6432Node"))
        return full;
    bool seven = ntAtLeast(standin::WIN7);
    if (listed(names, 2, sharedAlways, sizeof sharedAlways / sizeof *sharedAlways) ||
        (seven && listed(names, 2, sharedFromWindows7,
                         sizeof sharedFromWindows7 / sizeof *sharedFromWindows7)))
        return full;
    if (seven && names.size() >= 3 && iequals(names[2], "Classes")) {
        if (names.size() >= 4 && iequals(names[3], "Wow6432Node"))
            return full;
        if (!listed(names, 3, classesRedirected,
                    sizeof classesRedirected / sizeof *classesRedirected))
            return full;
        std::vector<std::string> out(names.begin(), names.begin() + 3);
        out.push_back("Wow6432Node");
        out.insert(out.end(), names.begin() + 3, names.end());
        return joinNames(out, 0, out.size());
    }
    std::vector<std::string> out(names.begin(), names.begin() + 2);
    out.push_back("Wow6432Node");
    out.insert(out.end(), names.begin() + 2, names.end());
    return joinNames(out, 0, out.size());
}

} // namespace detail
} // namespace standin
