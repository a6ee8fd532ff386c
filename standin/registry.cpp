/* registry.cpp - the in-memory registry and its Win32 calls.
 *
 * Each key keeps its subkeys twice: in a vector sorted by name without
 * regard to case (the order in which Wine enumerates them), so a lookup is
 * a binary search, and in a vector in the order they were created, for the
 * enumeration of Windows 95 (see enumOrder).  Values are kept sorted by
 * name.  Names keep the case they were created with. */
#include "internal.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace standin {
namespace detail {

namespace {

struct Key {
    std::string name;
    unsigned long long serial = 0;                /* creation number, machine-wide */
    std::vector<std::shared_ptr<Key>> subkeys;    /* sorted, see above */
    std::vector<std::shared_ptr<Key>> created;    /* the same, in creation order */
    std::vector<std::shared_ptr<Key>> shuffled;   /* the shuffled order, computed */
    unsigned long long shuffledEpoch = 0;         /* of shuffleEpoch; 0: to compute */
    std::vector<RegValue> values;                 /* sorted by name */
    bool deleted = false;
};

unsigned long long nextSerial = 1;

/* The shuffle (standin::setEnumShuffle): on, its seed, and a number that
 * changes with every new seed so that no key keeps an order of another. */
bool shuffleOn = false;
unsigned long long shuffleSeed = 0;
unsigned long long shuffleEpoch = 0;

struct Root {
    const char *name;
    const char *shortName;
    HKEY handle;
    std::shared_ptr<Key> key;
};

Root roots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT, nullptr},
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER, nullptr},
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE, nullptr},
    {"HKEY_USERS", "HKU", HKEY_USERS, nullptr},
    {"HKEY_CURRENT_CONFIG", "HKCC", HKEY_CURRENT_CONFIG, nullptr},
    {"HKEY_DYN_DATA", "HKDD", HKEY_DYN_DATA, nullptr},
};

struct OpenKey {
    std::shared_ptr<Key> key;
    std::string path;    /* the key it reaches */
    std::string logical; /* the key as the program named it (under WOW64
                            another one, redirectKey; else path) */
    REGSAM access;
};

std::map<uintptr_t, OpenKey> handles;
uintptr_t nextHandle = 0x1000;

const DWORD MAX_KEY_NAME = 255;

/* Index of the first subkey not sorting before name. */
template <class T, class NameOf>
size_t lowerBound(const std::vector<T> &v, const std::string &name, NameOf nameOf)
{
    size_t lo = 0, hi = v.size();
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (icompare(nameOf(v[mid]), name) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

const std::string &keyName(const std::shared_ptr<Key> &k) { return k->name; }
const std::string &valueName(const RegValue &v) { return v.name; }

Key *findSub(Key *k, const std::string &name, size_t *pos = nullptr)
{
    size_t i = lowerBound(k->subkeys, name, keyName);
    if (pos)
        *pos = i;
    if (i < k->subkeys.size() && iequals(k->subkeys[i]->name, name))
        return k->subkeys[i].get();
    return nullptr;
}

std::shared_ptr<Key> findSubShared(Key *k, const std::string &name)
{
    size_t i = lowerBound(k->subkeys, name, keyName);
    if (i < k->subkeys.size() && iequals(k->subkeys[i]->name, name))
        return k->subkeys[i];
    return nullptr;
}

RegValue *findValue(Key *k, const std::string &name, size_t *pos = nullptr)
{
    size_t i = lowerBound(k->values, name, valueName);
    if (pos)
        *pos = i;
    if (i < k->values.size() && iequals(k->values[i].name, name))
        return &k->values[i];
    return nullptr;
}

void markDeleted(Key *k)
{
    k->deleted = true;
    for (auto &s : k->subkeys)
        markDeleted(s.get());
}

/* Puts a new subkey into both lists: at pos of the sorted one, at the end
 * of the one in creation order. */
void addSubkey(Key *parent, size_t pos, const std::shared_ptr<Key> &sub)
{
    sub->serial = nextSerial++;
    parent->subkeys.insert(parent->subkeys.begin() + (long)pos, sub);
    parent->created.push_back(sub);
    parent->shuffledEpoch = 0;
}

/* Takes the subkey at pos of the sorted list out of both lists. */
void removeSubkey(Key *parent, size_t pos)
{
    std::shared_ptr<Key> sub = parent->subkeys[pos];
    parent->subkeys.erase(parent->subkeys.begin() + (long)pos);
    parent->created.erase(std::find(parent->created.begin(), parent->created.end(), sub));
    parent->shuffledEpoch = 0;
}

/* splitmix64's finaliser: a well-spread 64-bit number from a seed. */
unsigned long long mix(unsigned long long x)
{
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

/* The subkeys of k in the order RegEnumKeyExA gives them (index 0 first).
 *
 * The Win32 reference leaves the order open: "Subkeys are not ordered. A
 * new subkey has an arbitrary index. This means that this function may
 * return subkeys in any order" (Win32 SDK reference, RegEnumKeyEx, in the
 * MSDN Library from 1992 on; the same under RegEnumKey), and its later
 * editions add that a program "should not make calls to any registration
 * functions that might change the key being enumerated" while it
 * enumerates.  The versions differ:
 *  - Windows 95 gives a key's subkeys in the order they were created; a
 *    key deleted and created again comes last.  Microsoft does not
 *    document this order.  Win32s (WIN31) goes with Windows 95, as in
 *    RegSetValueExA: not documented; the worse case, the order that is
 *    not sorted (the program refuses Win32s before it reads the registry).
 *    Windows 98 and ME go with Windows 95, their family: nobody recorded
 *    their order either.
 *  - NT gives them sorted by name without regard to case, as Wine does
 *    (Wine's server keeps a key's subkeys sorted for its binary search).
 *  - The shuffle (standin::setEnumShuffle), on any version, gives each key
 *    its own pseudo-random order drawn from the seed: every subkey has a
 *    rank mixed from the seed and its creation number, and the subkeys are
 *    given by rank.  The order is the same each time the key is enumerated
 *    in a run.  A new subkey gets a rank of its own, so it lands at an
 *    arbitrary index and those after it move up one, while the others keep
 *    their order among themselves; a deleted one leaves the others in
 *    their order.  That is the worst case still plausible for Windows: the
 *    reference gives only the new subkey an arbitrary index, and both
 *    Windows 95 (at the end) and NT (at its place by name) put a new
 *    subkey in without reordering the others; a program that creates or
 *    deletes a subkey while it enumerates the key skips or repeats one. */
const std::vector<std::shared_ptr<Key>> &enumOrder(Key *k)
{
    if (shuffleOn) {
        if (k->shuffledEpoch != shuffleEpoch) {
            std::vector<std::pair<unsigned long long, std::shared_ptr<Key>>> ranked;
            ranked.reserve(k->created.size());
            for (auto &s : k->created)
                ranked.emplace_back(mix(shuffleSeed ^ mix(s->serial)), s);
            std::sort(ranked.begin(), ranked.end(), [](const auto &a, const auto &b) {
                return a.first != b.first ? a.first < b.first : a.second->serial < b.second->serial;
            });
            k->shuffled.clear();
            for (auto &r : ranked)
                k->shuffled.push_back(r.second);
            k->shuffledEpoch = shuffleEpoch;
        }
        return k->shuffled;
    }
    if (isNT())
        return k->subkeys;
    return k->created;
}

} // namespace

std::vector<std::string> splitPath(const std::string &path)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('\\', i);
        if (j == std::string::npos)
            j = path.size();
        if (j > i)
            out.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

namespace {

Root *rootOf(HKEY h)
{
    for (auto &r : roots)
        if (r.handle == h)
            return &r;
    return nullptr;
}

Root *rootNamed(const std::string &name)
{
    for (auto &r : roots)
        if (iequals(name, r.name) || iequals(name, r.shortName))
            return &r;
    return nullptr;
}

/* The key and path behind a handle (and the path as the program named
 * it); error code if it is not usable. */
LONG resolve(HKEY h, REGSAM need, std::shared_ptr<Key> *key, std::string *path,
             std::string *logical = nullptr)
{
    if (Root *r = rootOf(h)) {
        /* A root is opened with MAXIMUM_ALLOWED: a user who is no
         * administrator gets read rights on HKEY_LOCAL_MACHINE. */
        REGSAM granted;
        keyAccessAllowed(r->name, MAXIMUM_ALLOWED, &granted);
        if (need && (granted & need) != need)
            return ERROR_ACCESS_DENIED;
        *key = r->key;
        *path = r->name;
        if (logical)
            *logical = r->name;
        return ERROR_SUCCESS;
    }
    auto it = handles.find((uintptr_t)h);
    if (it == handles.end())
        return ERROR_INVALID_HANDLE;
    if (it->second.key->deleted)
        return ERROR_KEY_DELETED;
    if (need && (it->second.access & need) != need)
        return ERROR_ACCESS_DENIED;
    *key = it->second.key;
    *path = it->second.path;
    if (logical)
        *logical = it->second.logical;
    return ERROR_SUCCESS;
}

REGSAM mapAccess(REGSAM a)
{
    if (a & (GENERIC_ALL | MAXIMUM_ALLOWED))
        a |= KEY_ALL_ACCESS;
    if (a & GENERIC_READ)
        a |= KEY_READ;
    if (a & GENERIC_WRITE)
        a |= KEY_WRITE;
    if (a & GENERIC_EXECUTE)
        a |= KEY_EXECUTE;
    return a;
}

HKEY newHandle(const std::shared_ptr<Key> &k, const std::string &path, const std::string &logical,
               REGSAM access)
{
    uintptr_t h = nextHandle;
    nextHandle += 4;
    handles[h] = OpenKey{k, path, logical, mapAccess(access)};
    return (HKEY)h;
}

std::string joinPath(const std::string &base, const std::string &sub)
{
    return sub.empty() ? base : base + "\\" + sub;
}

/* Walks (and with create, makes) a sub key path below k.  Returns the
 * error code; on success *out is the key and *path its full path. */
LONG walk(std::shared_ptr<Key> k, std::string path, const char *subKey, bool create,
          std::shared_ptr<Key> *out, std::string *outPath, bool *created)
{
    std::string sub = subKey ? subKey : "";
    if (!sub.empty() && sub[0] == '\\')
        return ERROR_BAD_PATHNAME;
    std::vector<std::string> names = splitPath(sub);
    for (auto &n : names)
        if (n.size() > MAX_KEY_NAME)
            return ERROR_FILENAME_EXCED_RANGE;
    if (created)
        *created = false;
    for (auto &n : names) {
        std::shared_ptr<Key> next = findSubShared(k.get(), n);
        if (!next) {
            if (!create)
                return ERROR_FILE_NOT_FOUND;
            size_t pos = lowerBound(k->subkeys, n, keyName);
            next = std::make_shared<Key>();
            next->name = n;
            addSubkey(k.get(), pos, next);
            if (created)
                *created = true;
        }
        path += "\\" + next->name;
        k = next;
    }
    *out = k;
    *outPath = path;
    return ERROR_SUCCESS;
}

/* Key of a full path such as "HKEY_LOCAL_MACHINE\a\b". */
LONG walkFull(const std::string &full, bool create, std::shared_ptr<Key> *out, std::string *outPath,
              bool *created = nullptr)
{
    size_t slash = full.find('\\');
    Root *r = rootNamed(full.substr(0, slash));
    if (!r)
        return ERROR_BADKEY;
    std::string rest = slash == std::string::npos ? "" : full.substr(slash + 1);
    while (!rest.empty() && rest[0] == '\\')
        rest.erase(0, 1);
    return walk(r->key, r->name, rest.c_str(), create, out, outPath, created);
}

/* The sub key path without empty names, for the path the program named. */
std::string logicalJoin(const std::string &base, const char *subKey)
{
    std::string out = base;
    for (auto &n : splitPath(subKey ? subKey : ""))
        out += "\\" + n;
    return out;
}

/* Walks (with create, makes) the sub key of an open key as the program
 * names it: under WOW64 the key it reaches may lie elsewhere (redirectKey).
 * *logical gets the path as named. */
LONG walkNamed(const std::shared_ptr<Key> &k, const std::string &path, const std::string &logicalBase,
               const char *subKey, bool create, std::shared_ptr<Key> *out, std::string *outPath,
               std::string *logical, bool *created)
{
    *logical = logicalJoin(logicalBase, subKey);
    std::string reached = redirectKey(*logical);
    if (reached == *logical && logicalBase == path)
        return walk(k, path, subKey, create, out, outPath, created);
    if (subKey && subKey[0] == '\\')
        return ERROR_BAD_PATHNAME;
    for (auto &n : splitPath(subKey ? subKey : ""))
        if (n.size() > MAX_KEY_NAME)
            return ERROR_FILENAME_EXCED_RANGE;
    return walkFull(reached, create, out, outPath, created);
}

bool isString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

/* Shared by RegQueryValueExA and RegEnumValueA: the data part. */
LONG giveData(const RegValue &v, LPDWORD type, LPBYTE data, LPDWORD dataLen)
{
    if (type)
        *type = v.type;
    DWORD len = (DWORD)v.data.size();
    LONG rc = ERROR_SUCCESS;
    if (data) {
        if (len > *dataLen) {
            rc = ERROR_MORE_DATA;
        } else {
            memcpy(data, v.data.data(), len);
            /* A string stored without its terminator gets one when the
             * buffer has room for it; the size reported stays the same. */
            if (isString(v.type) && len > 0 && len < *dataLen && data[len - 1] != 0)
                data[len] = 0;
        }
    }
    if (dataLen)
        *dataLen = len;
    return rc;
}

} // namespace

void resetRegistry()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    for (auto &r : roots) {
        if (r.key)
            markDeleted(r.key.get());
        r.key = std::make_shared<Key>();
        r.key->name = r.name;
    }
    handles.clear();
    nextHandle = 0x1000;
    nextSerial = 1;
    shuffleOn = false;
    shuffleSeed = 0;
}

HKEY rootByName(const std::string &name)
{
    Root *r = rootNamed(name);
    return r ? r->handle : nullptr;
}

const char *rootName(HKEY root)
{
    Root *r = rootOf(root);
    return r ? r->name : nullptr;
}

bool regKeyExists(const std::string &path)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::shared_ptr<Key> k;
    std::string p;
    return walkFull(path, false, &k, &p) == ERROR_SUCCESS;
}

bool regCreatePath(const std::string &path)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::shared_ptr<Key> k;
    std::string p;
    return walkFull(path, true, &k, &p) == ERROR_SUCCESS;
}

void regDeletePath(const std::string &path)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    size_t slash = path.rfind('\\');
    if (slash == std::string::npos)
        return; /* a root cannot be deleted */
    std::shared_ptr<Key> parent;
    std::string p;
    if (walkFull(path.substr(0, slash), false, &parent, &p) != ERROR_SUCCESS)
        return;
    size_t pos;
    if (Key *k = findSub(parent.get(), path.substr(slash + 1), &pos)) {
        markDeleted(k);
        removeSubkey(parent.get(), pos);
    }
}

bool regGetValue(const std::string &path, const std::string &name, RegValue *out)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::shared_ptr<Key> k;
    std::string p;
    if (walkFull(path, false, &k, &p) != ERROR_SUCCESS)
        return false;
    RegValue *v = findValue(k.get(), name);
    if (!v)
        return false;
    *out = *v;
    return true;
}

bool regSetValue(const std::string &path, const std::string &name, DWORD type,
                 const std::string &data)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::shared_ptr<Key> k;
    std::string p;
    if (walkFull(path, true, &k, &p) != ERROR_SUCCESS)
        return false;
    size_t pos;
    if (RegValue *v = findValue(k.get(), name, &pos)) {
        v->type = type;
        v->data = data;
    } else {
        k->values.insert(k->values.begin() + (long)pos, RegValue{name, type, data});
    }
    return true;
}

void regDeleteValue(const std::string &path, const std::string &name)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::shared_ptr<Key> k;
    std::string p;
    if (walkFull(path, false, &k, &p) != ERROR_SUCCESS)
        return;
    size_t pos;
    if (findValue(k.get(), name, &pos))
        k->values.erase(k->values.begin() + (long)pos);
}

std::vector<std::string> regSubkeyNames(const std::string &path)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::vector<std::string> out;
    std::shared_ptr<Key> k;
    std::string p;
    if (walkFull(path, false, &k, &p) == ERROR_SUCCESS)
        for (auto &s : k->subkeys)
            out.push_back(s->name);
    return out;
}

namespace {
void walkTree(Key *k, const std::string &path,
              void (*visit)(void *, const std::string &, const std::vector<RegValue> &), void *ctx)
{
    visit(ctx, path, k->values);
    for (auto &s : k->subkeys)
        walkTree(s.get(), path + "\\" + s->name, visit, ctx);
}
} // namespace

bool regWalk(const std::string &path,
             void (*visit)(void *, const std::string &, const std::vector<RegValue> &), void *ctx)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::shared_ptr<Key> k;
    std::string p;
    if (walkFull(path, false, &k, &p) != ERROR_SUCCESS)
        return false;
    walkTree(k.get(), p, visit, ctx);
    return true;
}

std::string regCanonical(const std::string &path)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::vector<std::string> names = splitPath(path);
    if (names.empty())
        return "";
    Root *r = rootNamed(names[0]);
    if (!r)
        return "";
    std::string out = r->name;
    Key *k = r->key.get();
    for (size_t i = 1; i < names.size(); i++) {
        Key *next = k ? findSub(k, names[i]) : nullptr;
        out += "\\" + (next ? next->name : names[i]);
        k = next;
    }
    return out;
}

} // namespace detail

void setEnumShuffle(unsigned long long seed)
{
    std::lock_guard<std::recursive_mutex> g(detail::machineLock());
    detail::shuffleOn = true;
    detail::shuffleSeed = seed;
    detail::shuffleEpoch++;
}

void clearEnumShuffle()
{
    std::lock_guard<std::recursive_mutex> g(detail::machineLock());
    detail::shuffleOn = false;
}

int openRegistryHandles()
{
    std::lock_guard<std::recursive_mutex> g(detail::machineLock());
    return (int)detail::handles.size();
}

namespace detail {
std::vector<std::string> openKeys()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::vector<std::string> out;
    for (auto &h : handles)
        out.push_back("key " + h.second.path);
    return out;
}
} // namespace detail

} // namespace standin

using namespace standin::detail;

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    (void)options;
    std::shared_ptr<Key> k;
    std::string path, logical;
    LONG rc = resolve(key, 0, &k, &path, &logical);
    std::string subject = joinPath(rc ? std::string() : logical, subKey ? subKey : "");
    noteCall("RegOpenKeyExA", subject, {{"access", access}, {"options", options}});
    DWORD code;
    if (faultHits("RegOpenKeyExA", subject, &code))
        return (LONG)code;
    if (rc)
        return rc;
    if (!result)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Key> found;
    std::string foundPath, foundLogical;
    rc = walkNamed(k, path, logical, subKey, false, &found, &foundPath, &foundLogical, nullptr);
    if (rc)
        return rc;
    REGSAM granted;
    if (!keyAccessAllowed(foundPath, access, &granted))
        return ERROR_ACCESS_DENIED;
    *result = newHandle(found, foundPath, foundLogical, granted);
    return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result)
{
    return RegOpenKeyExA(key, subKey, 0, MAXIMUM_ALLOWED, result);
}

LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options,
                            REGSAM access, LPSECURITY_ATTRIBUTES sa, PHKEY result,
                            LPDWORD disposition)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    (void)reserved;
    (void)cls;
    (void)sa;
    std::shared_ptr<Key> k;
    std::string path, logical;
    LONG rc = resolve(key, 0, &k, &path, &logical);
    std::string subject = joinPath(rc ? std::string() : logical, subKey ? subKey : "");
    noteCall("RegCreateKeyExA", subject, {{"access", access}, {"options", options}});
    DWORD code;
    if (faultHits("RegCreateKeyExA", subject, &code))
        return (LONG)code;
    if (rc)
        return rc;
    if (!result)
        return ERROR_BADKEY;
    if (options & ~(REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Key> found;
    std::string foundPath, foundLogical;
    bool created = false;
    /* A key that needs creating needs the right to create a subkey of its
     * parent, which a user who is no administrator lacks below
     * HKEY_LOCAL_MACHINE: nothing is created then. */
    REGSAM granted;
    rc = walkNamed(k, path, logical, subKey, false, &found, &foundPath, &foundLogical, nullptr);
    if (rc == ERROR_FILE_NOT_FOUND && !keyAccessAllowed(path, KEY_CREATE_SUB_KEY, &granted))
        return ERROR_ACCESS_DENIED;
    if (rc == ERROR_FILE_NOT_FOUND)
        rc = walkNamed(k, path, logical, subKey, true, &found, &foundPath, &foundLogical, &created);
    if (rc)
        return rc;
    if (!keyAccessAllowed(foundPath, access, &granted))
        return ERROR_ACCESS_DENIED;
    *result = newHandle(found, foundPath, foundLogical, granted);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result)
{
    return RegCreateKeyExA(key, subKey, 0, nullptr, 0, MAXIMUM_ALLOWED, nullptr, result, nullptr);
}

LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLen, LPDWORD reserved,
                          LPSTR cls, LPDWORD clsLen, PFILETIME lastWrite)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::shared_ptr<Key> k;
    std::string path;
    LONG rc = resolve(key, KEY_ENUMERATE_SUB_KEYS, &k, &path);
    const std::vector<std::shared_ptr<Key>> *order = rc ? nullptr : &enumOrder(k.get());
    std::string sub = (order && index < order->size()) ? (*order)[index]->name : "";
    noteCall("RegEnumKeyExA", joinPath(rc ? std::string() : path, sub),
             {{"size", nameLen ? *nameLen : 0}, {"index", index}});
    DWORD code;
    if (faultHits("RegEnumKeyExA", joinPath(rc ? std::string() : path, sub), &code))
        return (LONG)code;
    if (rc)
        return rc;
    if (!name || !nameLen || reserved)
        return ERROR_INVALID_PARAMETER;
    if (index >= order->size())
        return ERROR_NO_MORE_ITEMS;
    if (sub.size() >= *nameLen)
        return ERROR_MORE_DATA;
    memcpy(name, sub.c_str(), sub.size() + 1);
    *nameLen = (DWORD)sub.size();
    if (cls && clsLen && *clsLen > 0)
        cls[0] = 0;
    if (clsLen)
        *clsLen = 0;
    if (lastWrite)
        lastWrite->dwLowDateTime = lastWrite->dwHighDateTime = 0;
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameLen)
{
    DWORD len = nameLen;
    return RegEnumKeyExA(key, index, name, &len, nullptr, nullptr, nullptr, nullptr);
}

LONG WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLen, LPDWORD reserved,
                          LPDWORD type, LPBYTE data, LPDWORD dataLen)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::shared_ptr<Key> k;
    std::string path;
    LONG rc = resolve(key, KEY_QUERY_VALUE, &k, &path);
    std::string vname = (!rc && index < k->values.size()) ? k->values[index].name : "";
    DWORD code;
    if (faultHits("RegEnumValueA", (rc ? std::string() : path) + "|" + vname, &code))
        return (LONG)code;
    if (rc)
        return rc;
    if (!name || !nameLen || reserved || (data && !dataLen))
        return ERROR_INVALID_PARAMETER;
    if (index >= k->values.size())
        return ERROR_NO_MORE_ITEMS;
    const RegValue &v = k->values[index];
    if (v.name.size() >= *nameLen)
        return ERROR_MORE_DATA;
    memcpy(name, v.name.c_str(), v.name.size() + 1);
    *nameLen = (DWORD)v.name.size();
    return giveData(v, type, data, dataLen);
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataLen)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::shared_ptr<Key> k;
    std::string path;
    LONG rc = resolve(key, KEY_QUERY_VALUE, &k, &path);
    std::string vname = name ? name : "";
    noteCall("RegQueryValueExA", (rc ? std::string() : path) + "|" + vname,
             {{"size", dataLen ? *dataLen : 0}});
    DWORD code;
    if (faultHits("RegQueryValueExA", (rc ? std::string() : path) + "|" + vname, &code))
        return (LONG)code;
    if (rc)
        return rc;
    if (reserved || (data && !dataLen))
        return ERROR_INVALID_PARAMETER;
    RegValue *v = findValue(k.get(), vname);
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    return giveData(*v, type, data, dataLen);
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                           DWORD dataLen)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    (void)reserved;
    std::shared_ptr<Key> k;
    std::string path;
    LONG rc = resolve(key, KEY_SET_VALUE, &k, &path);
    std::string vname = name ? name : "";
    /* For a text: whether the size counts the text and its terminator. */
    std::vector<std::pair<const char *, unsigned long long>> given = {{"type", type},
                                                                     {"size", dataLen}};
    if ((type == REG_SZ || type == REG_EXPAND_SZ) && data)
        given.emplace_back("terminated",
                           dataLen > 0 && data[dataLen - 1] == 0 &&
                                   strnlen(reinterpret_cast<const char *>(data), dataLen) ==
                                       dataLen - 1
                               ? 1
                               : 0);
    noteCall("RegSetValueExA", (rc ? std::string() : path) + "|" + vname, given);
    DWORD code;
    if (faultHits("RegSetValueExA", (rc ? std::string() : path) + "|" + vname, &code))
        return (LONG)code;
    if (rc)
        return rc;
    if (!data && dataLen)
        return ERROR_NOACCESS;
    /* As Wine and Windows: on Windows 9x (and Win32s) a REG_SZ is as long
     * as its text (advapi32/tests/registry.c W1.2:190-202); on NT the ANSI call counts a terminator that the size left
     * out when one follows (Wine's conformance tests show Windows doing
     * so).  The size the program gave is in the call's record. */
    if (!isNT()) {
        if (type == REG_SZ && data)
            dataLen = (DWORD)strlen(reinterpret_cast<const char *>(data)) + 1;
    } else if (dataLen && isString(type) && data[dataLen - 1] && !data[dataLen]) {
        dataLen++;
    }
    size_t pos;
    std::string bytes(reinterpret_cast<const char *>(data), data ? dataLen : 0);
    if (RegValue *v = findValue(k.get(), vname, &pos)) {
        v->type = type;
        v->data = bytes;
    } else {
        k->values.insert(k->values.begin() + (long)pos, RegValue{vname, type, bytes});
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR name)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::shared_ptr<Key> k;
    std::string path;
    LONG rc = resolve(key, KEY_SET_VALUE, &k, &path);
    std::string vname = name ? name : "";
    DWORD code;
    if (faultHits("RegDeleteValueA", (rc ? std::string() : path) + "|" + vname, &code))
        return (LONG)code;
    if (rc)
        return rc;
    size_t pos;
    if (!findValue(k.get(), vname, &pos))
        return ERROR_FILE_NOT_FOUND;
    k->values.erase(k->values.begin() + (long)pos);
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::shared_ptr<Key> k;
    std::string path, logical;
    LONG rc = resolve(key, 0, &k, &path, &logical);
    DWORD code;
    if (faultHits("RegDeleteKeyA", joinPath(rc ? std::string() : logical, subKey ? subKey : ""),
                  &code))
        return (LONG)code;
    if (rc)
        return rc;
    if (!subKey)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Key> target;
    std::string targetPath, targetLogical;
    rc = walkNamed(k, path, logical, subKey, false, &target, &targetPath, &targetLogical, nullptr);
    if (rc)
        return rc;
    REGSAM granted;
    if (!keyAccessAllowed(targetPath, DELETE, &granted))
        return ERROR_ACCESS_DENIED;
    if (target == k || rootNamed(targetPath))
        return ERROR_ACCESS_DENIED;
    if (!target->subkeys.empty())
        return ERROR_ACCESS_DENIED; /* NT deletes only keys without subkeys */
    regDeletePath(targetPath);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    auto it = handles.find((uintptr_t)key);
    std::string path = rootOf(key) ? rootOf(key)->name : (it != handles.end() ? it->second.path : "");
    DWORD code;
    if (faultHits("RegCloseKey", path, &code))
        return (LONG)code;
    if (rootOf(key))
        return ERROR_SUCCESS;
    if (it == handles.end())
        return ERROR_INVALID_HANDLE;
    handles.erase(it);
    return ERROR_SUCCESS;
}

} // extern "C"
