/* threads.cpp - kernel objects (threads and processes), waits, the last
 * error, time. */
#include "kernel.h"

#include <chrono>
#include <condition_variable>
#include <pthread.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace standin {
namespace detail {

namespace {
std::mutex kmx;
std::condition_variable kcv;
std::map<uintptr_t, std::shared_ptr<KObject>> kernelHandles;
uintptr_t nextKernelHandle = 0x9000;
int liveThreads = 0;              /* stand-in threads still running */
/* The threads inside WaitForSingleObject or WaitForMultipleObjects
 * without a time limit, and what they wait for: they handle no sent
 * message until the wait ends. */
std::map<DWORD, std::vector<HANDLE>> plainWaits;
DWORD nextThreadId = 0x40000001;  /* above every host thread id */

thread_local DWORD lastError = 0;
thread_local DWORD myThreadId = 0;
thread_local std::shared_ptr<KObject> myThread;

struct StartBlock {
    LPTHREAD_START_ROUTINE start;
    LPVOID param;
    std::shared_ptr<KObject> obj;
};

/* While it lasts, the calling thread is listed as waiting for these
 * handles without handling sent messages (kernel lock held throughout). */
struct PlainWait {
    DWORD me;
    bool on;
    PlainWait(DWORD thread, DWORD count, const HANDLE *handles, bool unbounded)
        : me(thread), on(unbounded && count > 0)
    {
        if (on) {
            plainWaits[me] = std::vector<HANDLE>(handles, handles + count);
            kcv.notify_all(); /* a thread sending to us sees that we will not answer */
        }
    }
    ~PlainWait()
    {
        if (on)
            plainWaits.erase(me);
    }
};

void finishThread(DWORD code)
{
    std::lock_guard<std::mutex> g(kmx);
    if (myThread && !myThread->signalled) {
        myThread->exitCode = code;
        myThread->signalled = true;
        liveThreads--;
    }
    kcv.notify_all();
}

void *threadMain(void *arg)
{
    StartBlock *b = static_cast<StartBlock *>(arg);
    myThread = b->obj;
    myThreadId = b->obj->id;
    LPTHREAD_START_ROUTINE start = b->start;
    LPVOID param = b->param;
    delete b;
    DWORD code = start(param);
    finishThread(code);
    myThread.reset();
    return nullptr;
}
} // namespace

std::mutex &kernelMutex() { return kmx; }
void kernelNotify() { kcv.notify_all(); }

bool kernelWait(std::unique_lock<std::mutex> &lock, DWORD ms, long long start)
{
    if (ms == INFINITE) {
        kcv.wait(lock);
        return true;
    }
    long long left = (long long)ms - (monotonicMs() - start);
    if (left <= 0)
        return false;
    kcv.wait_for(lock, std::chrono::milliseconds(left));
    return true;
}

long long monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

HANDLE addKernelObject(const std::shared_ptr<KObject> &obj)
{
    uintptr_t h = nextKernelHandle;
    nextKernelHandle += 4;
    kernelHandles[h] = obj;
    return (HANDLE)h;
}

std::shared_ptr<KObject> kernelObject(HANDLE h)
{
    auto it = kernelHandles.find((uintptr_t)h);
    return it == kernelHandles.end() ? nullptr : it->second;
}

bool waitsPlainlyForThread(DWORD waiter, DWORD thread)
{
    auto it = plainWaits.find(waiter);
    if (it == plainWaits.end())
        return false;
    for (HANDLE h : it->second) {
        auto obj = kernelObject(h);
        if (obj && obj->kind == KObject::THREAD && obj->id == thread && !obj->signalled)
            return true;
    }
    return false;
}

int signalledIndex(DWORD count, const HANDLE *handles, bool all)
{
    bool every = true;
    for (DWORD i = 0; i < count; i++) {
        auto obj = kernelObject(handles[i]);
        if (!obj)
            return -2;
        if (obj->signalled && !all)
            return (int)i;
        every = every && obj->signalled;
    }
    return all && every && count > 0 ? 0 : -1;
}

void resetKernel()
{
    /* Threads of the previous machine get a few seconds to end. */
    {
        std::unique_lock<std::mutex> lock(kmx);
        long long start = monotonicMs();
        while (liveThreads > 0 && kernelWait(lock, 5000, start)) {
        }
    }
    endProcesses();
    std::lock_guard<std::mutex> g(kmx);
    kernelHandles.clear();
    nextKernelHandle = 0x9000;
    plainWaits.clear();
    resetQueues();
}

} // namespace detail

int openKernelHandles()
{
    std::lock_guard<std::mutex> g(detail::kernelMutex());
    return (int)detail::kernelHandles.size();
}

std::vector<std::string> leftOpen()
{
    std::vector<std::string> out = detail::openKeys();
    for (auto &f : detail::openFiles())
        out.push_back(f);
    for (auto &s : detail::openServiceHandleNames())
        out.push_back(s);
    for (auto &c : detail::openComDatabases())
        out.push_back(c);
    for (auto &m : detail::openModules())
        out.push_back(m);
    std::lock_guard<std::mutex> g(detail::kernelMutex());
    for (auto &h : detail::kernelHandles)
        out.push_back(h.second->kind == detail::KObject::THREAD ? "thread handle" : "process handle");
    return out;
}

} // namespace standin

using namespace standin::detail;

extern "C" {

DWORD WINAPI GetLastError(void) { return lastError; }
void WINAPI SetLastError(DWORD code) { lastError = code; }

DWORD WINAPI GetTickCount(void) { return (DWORD)monotonicMs(); }

void WINAPI Sleep(DWORD ms)
{
    noteCall("Sleep", "", {{"ms", ms}});
    std::this_thread::sleep_for(std::chrono::milliseconds(ms == INFINITE ? 0x7fffffff : ms));
}

DWORD WINAPI GetCurrentThreadId(void)
{
    if (!myThreadId)
        myThreadId = (DWORD)syscall(SYS_gettid);
    return myThreadId;
}

DWORD WINAPI GetCurrentProcessId(void) { return (DWORD)getpid(); }

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                           LPVOID param, DWORD flags, LPDWORD id)
{
    noteCall("CreateThread", "",
             {{"stack", stack}, {"flags", flags}, {"security", sa ? 1u : 0u}});
    DWORD code;
    if (faultHits("CreateThread", "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto obj = std::make_shared<KObject>();
    obj->kind = KObject::THREAD;
    HANDLE h;
    {
        std::lock_guard<std::mutex> g(kmx);
        obj->id = nextThreadId++;
        h = addKernelObject(obj);
        liveThreads++;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    int rc = pthread_create(&t, &attr, threadMain, new StartBlock{start, param, obj});
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        std::lock_guard<std::mutex> g(kmx);
        kernelHandles.erase((uintptr_t)h);
        liveThreads--;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (id)
        *id = obj->id;
    return h;
}

void WINAPI ExitThread(DWORD code)
{
    finishThread(code);
    myThread.reset();
    pthread_exit(nullptr);
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD code)
{
    DWORD fcode;
    if (faultHits("GetExitCodeThread", "", &fcode)) {
        SetLastError(fcode);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(kmx);
    auto obj = kernelObject(thread);
    if (!obj || obj->kind != KObject::THREAD) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (code)
        *code = obj->signalled ? obj->exitCode : STILL_ACTIVE;
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD code)
{
    DWORD fcode;
    if (faultHits("GetExitCodeProcess", "", &fcode)) {
        SetLastError(fcode);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(kmx);
    auto obj = kernelObject(process);
    if (!obj || obj->kind != KObject::PROCESS) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (code)
        *code = obj->signalled ? obj->exitCode : STILL_ACTIVE;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD ms)
{
    return WaitForMultipleObjects(1, &handle, FALSE, ms);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD ms)
{
    const char *api = count == 1 ? "WaitForSingleObject" : "WaitForMultipleObjects";
    noteCall(api, "", {{"ms", ms}, {"count", count}, {"waitall", waitAll ? 1u : 0u}});
    DWORD code;
    if (faultHits(api, "", &code)) {
        if (code == WAIT_FAILED)
            SetLastError(ERROR_INVALID_HANDLE);
        return code;
    }
    if (count == 0 || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    DWORD me = GetCurrentThreadId();
    std::unique_lock<std::mutex> lock(kmx);
    long long start = monotonicMs();
    PlainWait plain(me, count, handles, ms == INFINITE);
    for (;;) {
        int i = signalledIndex(count, handles, waitAll != 0);
        if (i == -2) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (i >= 0)
            return WAIT_OBJECT_0 + (DWORD)i;
        if (!kernelWait(lock, ms, start))
            return WAIT_TIMEOUT;
    }
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD ms,
                                       DWORD wakeMask)
{
    noteCall("MsgWaitForMultipleObjects", "",
             {{"ms", ms}, {"count", count}, {"mask", wakeMask}, {"waitall", waitAll ? 1u : 0u}});
    DWORD code;
    if (faultHits("MsgWaitForMultipleObjects", "", &code)) {
        if (code == WAIT_FAILED)
            SetLastError(ERROR_INVALID_HANDLE);
        return code;
    }
    if (count && !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    DWORD me = GetCurrentThreadId();
    std::unique_lock<std::mutex> lock(kmx);
    long long start = monotonicMs();
    /* A mask without sent messages makes this wait one that answers none. */
    PlainWait plain(me, count, handles, ms == INFINITE && !(wakeMask & QS_SENDMESSAGE));
    for (;;) {
        int i = count ? signalledIndex(count, handles, waitAll != 0) : -1;
        if (i == -2) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (i >= 0)
            return WAIT_OBJECT_0 + (DWORD)i;
        /* A message sent by another thread wakes a mask that asks for
         * sent messages; posted ones, a mask that asks for those. */
        if ((wakeMask & QS_SENDMESSAGE) && queueHasSent(me))
            return WAIT_OBJECT_0 + count;
        if ((wakeMask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) && queueHasInput(me))
            return WAIT_OBJECT_0 + count;
        if (!kernelWait(lock, ms, start))
            return WAIT_TIMEOUT;
    }
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    DWORD code;
    std::string file;
    bool isFile = isFileHandle(handle, &file);
    if (faultHits("CloseHandle", file, &code)) {
        /* A failed close of a file still closes it: the handle is gone. */
        if (isFile)
            closeFileHandle(handle);
        SetLastError(code);
        return FALSE;
    }
    if (isFile)
        return closeFileHandle(handle) ? TRUE : FALSE;
    std::lock_guard<std::mutex> g(kmx);
    if (!kernelHandles.erase((uintptr_t)handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
