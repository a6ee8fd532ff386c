/* files.cpp - the C: drive on a host folder, Windows text mode for the
 * C library's files, file calls and DOS device names. */
#include "internal.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
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

namespace {

int winToErrno(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER: return EINVAL;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_DISK_FULL: return ENOSPC;
    default: return EIO;
    }
}

/* The error a missing file gives: 3 when its folder is missing too. */
DWORD missingError(const std::string &host)
{
    size_t slash = host.rfind('/');
    return hostIsDir(host.substr(0, slash)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

/* ---- Windows text mode over a binary stream: "\n" is written as
 * "\r\n"; reading drops the "\r" of "\r\n" and ends at a Ctrl-Z.  A file
 * opened in binary mode passes its bytes through.  Every file is listed
 * from its opening to its closing. ---- */
struct TextFile {
    FILE *raw;
    bool binary;
    std::string path; /* the Windows path it was opened by */
    bool atCtrlZ = false;
};

std::mutex openFileMutex;
std::vector<TextFile *> openFileList;

void listFile(TextFile *t, bool open)
{
    std::lock_guard<std::mutex> g(openFileMutex);
    for (size_t i = 0; i < openFileList.size(); i++)
        if (openFileList[i] == t) {
            openFileList.erase(openFileList.begin() + (long)i);
            break;
        }
    if (open)
        openFileList.push_back(t);
}

ssize_t textRead(void *cookie, char *buf, size_t size)
{
    TextFile *t = static_cast<TextFile *>(cookie);
    if (t->binary) {
        size_t got = fread(buf, 1, size, t->raw);
        return got == 0 && ferror(t->raw) ? -1 : (ssize_t)got;
    }
    size_t out = 0;
    while (out == 0 && !t->atCtrlZ) {
        char tmp[4096];
        size_t want = size < sizeof tmp ? size : sizeof tmp;
        size_t got = fread(tmp, 1, want, t->raw);
        if (got == 0)
            return ferror(t->raw) ? -1 : 0;
        for (size_t i = 0; i < got; i++) {
            if (tmp[i] == 0x1A) {
                t->atCtrlZ = true;
                /* the rest of the chunk is never read */
                fseeko(t->raw, (off_t)i - (off_t)got, SEEK_CUR);
                break;
            }
            if (tmp[i] != '\r') {
                buf[out++] = tmp[i];
                continue;
            }
            /* As the Microsoft C library: a carriage return is dropped
             * only before a line feed. */
            int next = i + 1 < got ? (unsigned char)tmp[i + 1] : fgetc(t->raw);
            if (i + 1 == got && next != EOF)
                ungetc(next, t->raw);
            if (next != '\n')
                buf[out++] = '\r';
        }
    }
    return (ssize_t)out;
}

ssize_t textWrite(void *cookie, const char *buf, size_t size)
{
    TextFile *t = static_cast<TextFile *>(cookie);
    if (t->binary)
        return fwrite(buf, 1, size, t->raw) == size ? (ssize_t)size : -1;
    std::string out;
    out.reserve(size + size / 8);
    for (size_t i = 0; i < size; i++) {
        if (buf[i] == '\n')
            out += '\r';
        out += buf[i];
    }
    if (fwrite(out.data(), 1, out.size(), t->raw) != out.size())
        return -1;
    return (ssize_t)size;
}

int textSeek(void *cookie, off64_t *pos, int whence)
{
    TextFile *t = static_cast<TextFile *>(cookie);
    if (fseeko(t->raw, *pos, whence) != 0)
        return -1;
    t->atCtrlZ = false;
    *pos = ftello(t->raw);
    return 0;
}

int textClose(void *cookie)
{
    TextFile *t = static_cast<TextFile *>(cookie);
    listFile(t, false);
    int rc = fclose(t->raw);
    delete t;
    return rc;
}

} // namespace

std::vector<std::string> openFiles()
{
    std::lock_guard<std::mutex> g(openFileMutex);
    std::vector<std::string> out;
    for (TextFile *t : openFileList)
        out.push_back("file " + t->path);
    return out;
}

void forgetOpenFiles()
{
    std::lock_guard<std::mutex> g(openFileMutex);
    openFileList.clear();
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
    *m = mapPath(path ? path : "");
    if (m->error) {
        SetLastError(m->error);
        return false;
    }
    return true;
}

} // namespace

extern "C" {

FILE *standin_fopen(const char *path, const char *mode)
{
    if (path && mode)
        noteCall("fopen", path,
                 {{"text", strchr(mode, 'b') ? 0u : 1u}, {"write", mode[0] == 'r' ? 0u : 1u}});
    DWORD code;
    if (faultHits("fopen", path ? path : "", &code)) {
        SetLastError(code);
        errno = winToErrno(code);
        return nullptr;
    }
    if (!path || !mode || !strchr("rwa", mode[0])) {
        errno = EINVAL;
        return nullptr;
    }
    bool plus = false, binary = false;
    for (const char *m = mode + 1; *m; m++) {
        if (*m == '+')
            plus = true;
        else if (*m == 'b')
            binary = true;
        else if (*m == 't')
            binary = false;
        else if (!strchr("cnSRTD", *m)) {
            errno = EINVAL;
            return nullptr;
        }
    }
    MappedPath m = mapPath(path);
    if (m.error) {
        SetLastError(m.error);
        errno = winToErrno(m.error);
        return nullptr;
    }
    std::string hostMode(1, mode[0]);
    if (plus)
        hostMode += '+';
    hostMode += 'b';
    FILE *raw = ::fopen(m.host.c_str(), hostMode.c_str());
    if (!raw) {
        int e = errno;
        SetLastError(e == ENOENT ? missingError(m.host) : errnoToWin(e));
        errno = e;
        return nullptr;
    }
    cookie_io_functions_t io = {textRead, textWrite, textSeek, textClose};
    TextFile *t = new TextFile{raw, binary, m.windows};
    FILE *f = fopencookie(t, hostMode.c_str(), io);
    if (!f) {
        fclose(raw);
        delete t;
        errno = ENOMEM;
        return nullptr;
    }
    listFile(t, true);
    return f;
}

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
    MappedPath src = mapPath(from), dst = mapPath(to);
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
    struct stat st;
    if (stat(src.host.c_str(), &st) == 0)
        chmod(dst.host.c_str(), st.st_mode & 0777);
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
    if (unlink(m.host.c_str()) != 0) {
        SetLastError(errnoToWin(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES sa)
{
    (void)sa;
    MappedPath m;
    if (!openPath("CreateDirectoryA", path, &m))
        return FALSE;
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
    return (st.st_mode & 0200) ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_READONLY;
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
    std::lock_guard<std::recursive_mutex> g(machineLock());
    machine().cwd = m.windows;
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
