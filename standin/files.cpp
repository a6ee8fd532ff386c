/* files.cpp - the C: drive on a host folder, the file calls of kernel32
 * and DOS device names.
 *
 * A file's read-only attribute is its host file's lack of owner write
 * permission.  The stand-in checks it itself, as Windows does, rather
 * than leaving it to the host: the tests run as root, and root may write
 * any file.  Its other attributes (archive, hidden, system) are kept here
 * for the files the program created, copied or gave attributes; any other
 * file has the archive attribute alone, as a file Windows writes gets it
 * (ntdll/tests/file.c W17, test_NtCreateFile: every file created or
 * overwritten reports FILE_ATTRIBUTE_ARCHIVE, with READONLY when it is
 * read-only, 0x21, rows 0, 7, 12, 15).
 *
 * The program's file calls reach the path WOW64 sends them to on a 64-bit
 * edition (wow64.cpp); the control calls (putFile, getFile, hostPath)
 * name the drive as it is. */
#include "internal.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace standin {
namespace detail {

namespace {

bool badNameChar(unsigned char c)
{
    return c < 0x20 || strchr("\"<>|*?:", c) != nullptr;
}

/* The name of an existing entry of dir that matches name without regard
 * to case (the exact name first); name itself if there is none. */
std::string matchEntry(const std::string &dir, const std::string &name)
{
    struct stat st;
    if (lstat((dir + "/" + name).c_str(), &st) == 0)
        return name;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return name;
    std::string found = name;
    while (struct dirent *e = readdir(d)) {
        if (iequals(e->d_name, name)) {
            found = e->d_name;
            break;
        }
    }
    closedir(d);
    return found;
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

} // namespace

std::string fullWindowsPath(const std::string &windowsPath, DWORD *error)
{
    *error = 0;
    std::string p = windowsPath;
    for (auto &c : p)
        if (c == '/')
            c = '\\';
    std::string cwd;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        cwd = machine().cwd;
    }
    std::string rest;
    if (p.size() >= 2 && p[1] == ':' && isalpha((unsigned char)p[0])) {
        char drive = (char)toupper((unsigned char)p[0]);
        if (drive != 'C') {
            *error = ERROR_PATH_NOT_FOUND;
            return "";
        }
        rest = p.substr(2);
        if (rest.empty() || rest[0] != '\\')
            rest = cwd.substr(2) + "\\" + rest;
    } else if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') {
        *error = ERROR_PATH_NOT_FOUND; /* no network names on this machine */
        return "";
    } else if (!p.empty() && p[0] == '\\') {
        rest = p;
    } else {
        rest = cwd.substr(2) + "\\" + p;
    }
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= rest.size()) {
        size_t j = rest.find('\\', i);
        if (j == std::string::npos)
            j = rest.size();
        std::string part = rest.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        for (unsigned char c : part)
            if (badNameChar(c)) {
                *error = ERROR_INVALID_NAME;
                return "";
            }
        /* Windows drops trailing dots and blanks of a name. */
        while (!part.empty() && (part.back() == '.' || part.back() == ' '))
            part.pop_back();
        if (part.empty())
            continue;
        parts.push_back(part);
    }
    std::string out = "C:";
    for (auto &part : parts)
        out += "\\" + part;
    if (parts.empty())
        out += "\\";
    return out;
}

MappedPath mapPath(const std::string &windowsPath)
{
    MappedPath m;
    m.windows = fullWindowsPath(windowsPath, &m.error);
    if (m.error)
        return m;
    std::string host;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        host = machine().root;
    }
    size_t i = 3; /* after "C:\" */
    while (i < m.windows.size()) {
        size_t j = m.windows.find('\\', i);
        if (j == std::string::npos)
            j = m.windows.size();
        host += "/" + matchEntry(host, m.windows.substr(i, j - i));
        i = j + 1;
    }
    m.host = host;
    return m;
}

bool hostIsFile(const std::string &host)
{
    struct stat st;
    return stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool hostIsDir(const std::string &host)
{
    struct stat st;
    return stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void makeDirs(const std::string &host)
{
    for (size_t i = 1; i <= host.size(); i++)
        if (i == host.size() || host[i] == '/')
            mkdir(host.substr(0, i).c_str(), 0777);
}

void removeTree(const std::string &host)
{
    nftw(host.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

DWORD errnoToWin(int e)
{
    switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    case EMFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    default: return ERROR_GEN_FAILURE;
    }
}

MappedPath mapCallPath(const std::string &windowsPath)
{
    MappedPath m;
    std::string full = fullWindowsPath(windowsPath, &m.error);
    if (m.error)
        return m;
    return mapPath(redirectFile(full));
}

namespace {

/* ---- attributes besides read-only, by host path ---- */
std::mutex attributeMutex;
std::map<std::string, DWORD> keptAttributes;
const DWORD keptBits = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

DWORD otherAttributes(const std::string &host)
{
    std::lock_guard<std::mutex> g(attributeMutex);
    auto it = keptAttributes.find(host);
    return it == keptAttributes.end() ? (DWORD)FILE_ATTRIBUTE_ARCHIVE : it->second;
}

void keepAttributes(const std::string &host, DWORD attributes)
{
    std::lock_guard<std::mutex> g(attributeMutex);
    keptAttributes[host] = attributes & keptBits;
}

void forgetAttributes(const std::string &host)
{
    std::lock_guard<std::mutex> g(attributeMutex);
    keptAttributes.erase(host);
}

/* Gives a host file the read-only attribute or takes it away. */
void setReadOnly(const std::string &host, bool readOnly)
{
    struct stat st;
    if (stat(host.c_str(), &st) != 0)
        return;
    mode_t mode = readOnly ? (st.st_mode & ~(mode_t)0222) : (st.st_mode | S_IWUSR);
    chmod(host.c_str(), mode & 07777);
}

/* The error a missing file gives: 3 when its folder is missing too. */
DWORD missingError(const std::string &host)
{
    size_t slash = host.rfind('/');
    return hostIsDir(host.substr(0, slash)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

/* ---- open files: handles of CreateFileA, listed from their opening to
 * their closing ---- */
struct OpenFile {
    int fd;
    DWORD access;
    std::string windows; /* the full Windows path */
};

std::mutex openFileMutex;
std::map<uintptr_t, OpenFile> openFileList;
uintptr_t nextFileHandle = 0x7000;

/* The free bytes of the drive a path lies on, when the machine has a full
 * drive there; false for a path on a drive with room. */
bool freeBytesOf(const std::string &windowsPath, long long **freeBytes)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    for (auto &f : machine().fullFolders) {
        const std::string &folder = f.first;
        if (windowsPath.size() > folder.size() && windowsPath[folder.size()] == '\\' &&
            iequals(windowsPath.substr(0, folder.size()), folder)) {
            *freeBytes = &f.second;
            return true;
        }
    }
    return false;
}

} // namespace

std::vector<std::string> openFiles()
{
    std::lock_guard<std::mutex> g(openFileMutex);
    std::vector<std::string> out;
    for (auto &f : openFileList)
        out.push_back("file " + f.second.windows);
    return out;
}

void forgetOpenFiles()
{
    {
        std::lock_guard<std::mutex> g(openFileMutex);
        for (auto &f : openFileList)
            close(f.second.fd);
        openFileList.clear();
    }
    std::lock_guard<std::mutex> g(attributeMutex);
    keptAttributes.clear();
}

bool isFileHandle(HANDLE h, std::string *windowsPath)
{
    std::lock_guard<std::mutex> g(openFileMutex);
    auto it = openFileList.find((uintptr_t)h);
    if (it == openFileList.end())
        return false;
    *windowsPath = it->second.windows;
    return true;
}

bool closeFileHandle(HANDLE h)
{
    std::lock_guard<std::mutex> g(openFileMutex);
    auto it = openFileList.find((uintptr_t)h);
    if (it == openFileList.end())
        return false;
    close(it->second.fd);
    openFileList.erase(it);
    return true;
}

/* The size of a host file; 0 for one that is missing. */
long long hostFileSize(const std::string &host)
{
    struct stat st;
    return stat(host.c_str(), &st) == 0 ? (long long)st.st_size : 0;
}

bool hostIsReadOnly(const std::string &host)
{
    struct stat st;
    return stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR);
}

} // namespace detail

using namespace detail;

std::string driveRoot()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    return machine().root;
}

std::string hostPath(const std::string &windowsPath)
{
    return mapPath(windowsPath).host;
}

void setCurrentDirectory(const std::string &windowsPath)
{
    DWORD err;
    std::string full = fullWindowsPath(windowsPath, &err);
    if (err)
        return;
    std::lock_guard<std::recursive_mutex> g(machineLock());
    machine().cwd = full;
}

void putFile(const std::string &windowsPath, const std::string &bytes)
{
    MappedPath m = mapPath(windowsPath);
    if (m.error)
        return;
    makeDirs(m.host.substr(0, m.host.rfind('/')));
    FILE *f = ::fopen(m.host.c_str(), "wb");
    if (!f)
        return;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

bool getFile(const std::string &windowsPath, std::string *bytes)
{
    MappedPath m = mapPath(windowsPath);
    if (m.error || !hostIsFile(m.host))
        return false;
    FILE *f = ::fopen(m.host.c_str(), "rb");
    if (!f)
        return false;
    bytes->clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes->append(buf, n);
    fclose(f);
    return true;
}

void setFolderFull(const std::string &windowsPath, long long freeBytes)
{
    DWORD err;
    std::string full = fullWindowsPath(windowsPath, &err);
    if (err)
        return;
    makeDirs(mapPath(full).host);
    std::lock_guard<std::recursive_mutex> g(machineLock());
    machine().fullFolders.emplace_back(full, freeBytes);
}

void addComDevice(const std::string &name, const std::string &target)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    machine().comDevices.emplace_back(name, target);
}

void setAllComDevicesExist(bool all)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    machine().allCom = all;
}

} // namespace standin

using namespace standin::detail;

namespace {

/* The opening of every call on one path: an injected fault, then the path's
 * mapping onto the drive.  False, with the last error set, when the call
 * fails there. */
bool openPath(const char *api, LPCSTR path, MappedPath *m)
{
    DWORD code;
    if (faultHits(api, path ? path : "", &code)) {
        SetLastError(code);
        return false;
    }
    *m = mapCallPath(path ? path : "");
    if (m->error) {
        SetLastError(m->error);
        return false;
    }
    return true;
}

} // namespace

extern "C" {

BOOL WINAPI CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists)
{
    noteCall("CopyFileA", std::string(from ? from : "") + ">" + (to ? to : ""),
             {{"failifexists", (unsigned long long)failIfExists}});
    DWORD code;
    if (faultHits("CopyFileA", std::string(from ? from : "") + ">" + (to ? to : ""), &code)) {
        SetLastError(code);
        return FALSE;
    }
    if (!from || !to) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MappedPath src = mapCallPath(from), dst = mapCallPath(to);
    if (src.error || dst.error) {
        SetLastError(src.error ? src.error : dst.error);
        return FALSE;
    }
    if (hostIsDir(src.host)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!hostIsFile(src.host)) {
        SetLastError(missingError(src.host));
        return FALSE;
    }
    /* A copy onto itself fails and leaves the file whole: NT with
     * ERROR_SHARING_VIOLATION (the source is open while the target is
     * opened to be overwritten), Windows 9x with ERROR_FILE_EXISTS
     * (kernel32/tests/file.c W17:707-710).  Asked to fail if the target
     * exists, it does so with ERROR_FILE_EXISTS, as for any target. */
    if (src.host == dst.host) {
        SetLastError(failIfExists || !isNT() ? ERROR_FILE_EXISTS : ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (!fileWriteAllowed(dst.windows)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!hostIsDir(dst.host.substr(0, dst.host.rfind('/')))) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (hostIsDir(dst.host)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (isLoadedDriverFile(dst.host)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (failIfExists && hostIsFile(dst.host)) {
        SetLastError(ERROR_FILE_EXISTS);
        return FALSE;
    }
    /* CopyFile: "If the destination file already exists and has the
     * FILE_ATTRIBUTE_HIDDEN or FILE_ATTRIBUTE_READONLY attribute set, this
     * function fails with ERROR_ACCESS_DENIED." */
    if (hostIsReadOnly(dst.host) ||
        (hostIsFile(dst.host) && (otherAttributes(dst.host) & FILE_ATTRIBUTE_HIDDEN))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    long long *room;
    if (freeBytesOf(dst.windows, &room)) {
        long long need = hostFileSize(src.host), freed = hostFileSize(dst.host);
        if (need > *room + freed) {
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        *room += freed - need;
    }
    FILE *in = ::fopen(src.host.c_str(), "rb");
    if (!in) {
        SetLastError(errnoToWin(errno));
        return FALSE;
    }
    FILE *out = ::fopen(dst.host.c_str(), "wb");
    if (!out) {
        SetLastError(errnoToWin(errno));
        fclose(in);
        return FALSE;
    }
    char buf[65536];
    size_t n;
    bool ok = true;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0)
        if (fwrite(buf, 1, n, out) != n) {
            ok = false;
            break;
        }
    fclose(in);
    if (fclose(out) != 0)
        ok = false;
    if (!ok) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    /* "File attributes for the existing file are copied to the new file"
     * (CopyFile): a read-only source gives a read-only copy.  The copy is
     * a file written anew and has the archive attribute besides: a copy of
     * a read-only file reports READONLY | ARCHIVE, 0x21 (ntdll/tests/file.c
     * W17, rows 0, 7, 12, 15; Wine's CopyFileA shows the same, wine.md). */
    struct stat st;
    if (stat(src.host.c_str(), &st) == 0)
        chmod(dst.host.c_str(), st.st_mode & 0777);
    keepAttributes(dst.host, otherAttributes(src.host) | FILE_ATTRIBUTE_ARCHIVE);
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR path)
{
    MappedPath m;
    if (!openPath("DeleteFileA", path, &m))
        return FALSE;
    if (hostIsDir(m.host)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!hostIsFile(m.host)) {
        SetLastError(missingError(m.host));
        return FALSE;
    }
    /* DeleteFile: "If an application attempts to delete a file that ... is
     * read-only, the function fails with ERROR_ACCESS_DENIED." */
    if (hostIsReadOnly(m.host) || !fileWriteAllowed(m.windows)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(m.host.c_str()) != 0) {
        SetLastError(errnoToWin(errno));
        return FALSE;
    }
    forgetAttributes(m.host);
    return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES sa)
{
    (void)sa;
    MappedPath m;
    if (!openPath("CreateDirectoryA", path, &m))
        return FALSE;
    if (!fileWriteAllowed(m.windows)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    struct stat st;
    if (stat(m.host.c_str(), &st) == 0) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (mkdir(m.host.c_str(), 0777) != 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : errnoToWin(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR path)
{
    MappedPath m;
    if (!openPath("GetFileAttributesA", path, &m))
        return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (stat(m.host.c_str(), &st) != 0) {
        SetLastError(missingError(m.host));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    DWORD attributes = otherAttributes(m.host) | ((st.st_mode & 0200) ? 0 : FILE_ATTRIBUTE_READONLY);
    /* A file with no attribute: NT reports FILE_ATTRIBUTE_NORMAL, "a file
     * that does not have other attributes set" (GetFileAttributes,
     * File Attribute Constants).  Windows 9x hands back the file's DOS
     * attribute byte, which has no such bit: 0 (not recorded by Wine's
     * tests; the worse case for a program that looks for NORMAL). */
    if (attributes == 0 && isNT())
        attributes = FILE_ATTRIBUTE_NORMAL;
    return attributes;
}

BOOL WINAPI SetFileAttributesA(LPCSTR path, DWORD attributes)
{
    noteCall("SetFileAttributesA", path ? path : "", {{"attributes", attributes}});
    MappedPath m;
    if (!openPath("SetFileAttributesA", path, &m))
        return FALSE;
    struct stat st;
    if (stat(m.host.c_str(), &st) != 0) {
        SetLastError(missingError(m.host));
        return FALSE;
    }
    /* Only these may be set; FILE_ATTRIBUTE_DIRECTORY and the rest are
     * refused (SetFileAttributes). */
    const DWORD settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;
    if (attributes & ~settable) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    /* FILE_ATTRIBUTE_NORMAL "is valid only when used alone"; with others it
     * is refused (not documented; the worse case). */
    if ((attributes & FILE_ATTRIBUTE_NORMAL) && attributes != FILE_ATTRIBUTE_NORMAL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!fileWriteAllowed(m.windows)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    /* 0 succeeds and clears every attribute, as FILE_ATTRIBUTE_NORMAL does
     * (kernel32/tests/change.c W17:211-218 sets a new file's attributes
     * masked with READONLY, 0, and expects success; the file then has no
     * attribute, and NT reports FILE_ATTRIBUTE_NORMAL for it). */
    if (S_ISREG(st.st_mode)) {
        setReadOnly(m.host, (attributes & FILE_ATTRIBUTE_READONLY) != 0);
        keepAttributes(m.host, attributes);
    }
    return TRUE;
}

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD attributes, HANDLE templ)
{
    noteCall("CreateFileA", path ? path : "",
             {{"access", access}, {"share", share}, {"disposition", disposition},
              {"attributes", attributes}, {"security", sa ? 1u : 0u}, {"template", templ ? 1u : 0u}});
    MappedPath m;
    if (!openPath("CreateFileA", path, &m))
        return INVALID_HANDLE_VALUE;
    /* Only what the program's files need: reading an existing file, or
     * creating one anew; anything else is not modelled. */
    bool writing = access == GENERIC_WRITE;
    if ((access != GENERIC_READ && !writing) || (disposition != OPEN_EXISTING && disposition != CREATE_ALWAYS) ||
        (writing != (disposition == CREATE_ALWAYS)) || templ) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (hostIsDir(m.host) || (writing && !fileWriteAllowed(m.windows))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    bool exists = hostIsFile(m.host);
    if (!exists && disposition == OPEN_EXISTING) {
        SetLastError(missingError(m.host));
        return INVALID_HANDLE_VALUE;
    }
    if (!exists && !hostIsDir(m.host.substr(0, m.host.rfind('/')))) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    /* Opening a read-only file for writing is refused; so is writing over
     * a running driver's file. */
    if (writing && exists && (hostIsReadOnly(m.host) || isLoadedDriverFile(m.host))) {
        SetLastError(hostIsReadOnly(m.host) ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    /* CreateFile: "If CREATE_ALWAYS and FILE_ATTRIBUTE_NORMAL are specified,
     * CreateFile fails and sets the last error to ERROR_ACCESS_DENIED if
     * the file exists and has the FILE_ATTRIBUTE_HIDDEN or
     * FILE_ATTRIBUTE_SYSTEM attribute"; the same attributes must be asked. */
    const DWORD hiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (writing && exists && (otherAttributes(m.host) & hiddenSystem & ~attributes)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    long long *room;
    if (writing && exists && freeBytesOf(m.windows, &room))
        *room += hostFileSize(m.host); /* emptied: its bytes are free again */
    int fd = writing ? ::open(m.host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
                     : ::open(m.host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? missingError(m.host) : errnoToWin(errno));
        return INVALID_HANDLE_VALUE;
    }
    /* A file created or overwritten has the attributes asked and the
     * archive attribute (CreateFile: "combines the file flags ... with
     * FILE_ATTRIBUTE_ARCHIVE"); a read-only one is read-only once made. */
    if (writing) {
        keepAttributes(m.host, attributes | FILE_ATTRIBUTE_ARCHIVE);
        if (attributes & FILE_ATTRIBUTE_READONLY)
            setReadOnly(m.host, true);
    }
    std::lock_guard<std::mutex> g(openFileMutex);
    uintptr_t h = nextFileHandle;
    nextFileHandle += 4;
    openFileList[h] = OpenFile{fd, access, m.windows};
    /* CREATE_ALWAYS over an existing file succeeds with
     * ERROR_ALREADY_EXISTS (CreateFile). */
    SetLastError(writing && exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return (HANDLE)h;
}

namespace {

/* The start of ReadFile and WriteFile: records the call, checks its
 * arguments (without an OVERLAPPED structure the count must be given),
 * clears the count and finds the open file, which must have been opened
 * with the access the call needs. */
bool startTransfer(const char *api, HANDLE h, DWORD size, LPDWORD count, LPOVERLAPPED overlapped,
                   DWORD access, OpenFile *out)
{
    bool isFile;
    {
        std::lock_guard<std::mutex> g(openFileMutex);
        auto it = openFileList.find((uintptr_t)h);
        isFile = it != openFileList.end();
        if (isFile)
            *out = it->second;
    }
    noteCall(api, isFile ? out->windows : "", {{"size", size}, {"overlapped", overlapped ? 1u : 0u}});
    if (!count || overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    *count = 0;
    if (!isFile) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    DWORD code;
    if (faultHits(api, out->windows, &code)) {
        SetLastError(code);
        return false;
    }
    if (!(out->access & access)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

} // namespace

BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    OpenFile f;
    if (!startTransfer("ReadFile", h, size, got, overlapped, GENERIC_READ, &f))
        return FALSE;
    ssize_t n = ::read(f.fd, buffer, size);
    if (n < 0) {
        SetLastError(errnoToWin(errno));
        return FALSE;
    }
    *got = (DWORD)n;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    OpenFile f;
    if (!startTransfer("WriteFile", h, size, written, overlapped, GENERIC_WRITE, &f))
        return FALSE;
    DWORD take = size;
    long long *room;
    if (freeBytesOf(f.windows, &room) && (long long)size > *room) {
        /* A full drive.  Not documented for Windows 95; the worse case: its
         * FAT driver writes what fits and reports success with the smaller
         * count.  NT fails the write with ERROR_DISK_FULL and writes
         * nothing, as Wine does on a full host file system. */
        if (isNT()) {
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        take = (DWORD)*room;
    }
    const char *p = static_cast<const char *>(buffer);
    DWORD done = 0;
    while (done < take) {
        ssize_t n = ::write(f.fd, p + done, take - done);
        if (n <= 0) {
            SetLastError(errnoToWin(errno));
            *written = done;
            return FALSE;
        }
        done += (DWORD)n;
    }
    if (freeBytesOf(f.windows, &room))
        *room -= take;
    *written = done;
    return TRUE;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer)
{
    std::string cwd;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        cwd = machine().cwd;
    }
    if (!buffer || cwd.size() >= size)
        return (DWORD)cwd.size() + 1;
    memcpy(buffer, cwd.c_str(), cwd.size() + 1);
    return (DWORD)cwd.size();
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR path)
{
    MappedPath m;
    if (!openPath("SetCurrentDirectoryA", path, &m))
        return FALSE;
    if (!hostIsDir(m.host)) {
        SetLastError(hostIsFile(m.host) ? ERROR_DIRECTORY : missingError(m.host));
        return FALSE;
    }
    /* The folder is the one the program named (under WOW64 a relative
     * path is redirected when it is used, not here). */
    DWORD err;
    std::string named = fullWindowsPath(path, &err);
    std::lock_guard<std::recursive_mutex> g(machineLock());
    machine().cwd = named;
    return TRUE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size)
{
    (void)module;
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        path = machine().programPath;
    }
    if (!buffer || size == 0)
        return 0;
    size_t n = copyOut(path, buffer, size);
    if (n < path.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return (DWORD)n;
}

DWORD WINAPI QueryDosDeviceA(LPCSTR device, LPSTR target, DWORD size)
{
    noteCall("QueryDosDeviceA", device ? device : "", {{"size", size}});
    DWORD code;
    if (faultHits("QueryDosDeviceA", device ? device : "", &code)) {
        SetLastError(code);
        return 0;
    }
    /* Windows 9x has no DOS device names to query: Windows 95 fails with
     * ERROR_CALL_NOT_IMPLEMENTED, 98 with ERROR_INVALID_PARAMETER
     * (kernel32/tests/volume.c W1.2:42-74, removed in d385435876f); ME, not
     * recorded, as 98, the later of the two. */
    if (is9x()) {
        SetLastError(currentVersion() == standin::WIN95 ? ERROR_CALL_NOT_IMPLEMENTED
                                                        : ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string answer; /* the list of names, or the one target */
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        const Machine &m = machine();
        if (!device) {
            for (auto &n : m.comDevices)
                answer += n.first + '\0';
            answer += '\0';
            if (!target || answer.size() > size) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            memcpy(target, answer.data(), answer.size());
            return (DWORD)answer.size();
        }
        std::string name = device;
        int number = -1;
        if (name.size() > 3 && iequals(name.substr(0, 3), "COM") &&
            name.find_first_not_of("0123456789", 3) == std::string::npos && name[3] != '0' &&
            name.size() < 8)
            number = atoi(name.c_str() + 3);
        bool known = false;
        for (size_t i = 0; i < m.comDevices.size() && !known; i++)
            if (iequals(m.comDevices[i].first, name)) {
                known = true;
                answer = m.comDevices[i].second.empty()
                             ? "\\Device\\Serial" + std::to_string(number > 0 ? number - 1 : (int)i)
                             : m.comDevices[i].second;
            }
        if (!known && m.allCom && number > 0) {
            known = true;
            answer = "\\Device\\Serial" + std::to_string(number - 1);
        }
        if (!known) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
    }
    /* As Wine 8: the target, its terminator and the list's final NUL must
     * all fit. */
    answer += std::string(2, '\0');
    if (!target || answer.size() > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(target, answer.data(), answer.size());
    return (DWORD)answer.size();
}

} // extern "C"
