/* guard.cpp - guardedCall (windows/guard.h) for the native builds, and the
 * structured exceptions of the stand-in's own functions.
 *
 * A stand-in function that "faults" (the COM port database of a broken
 * msports.dll, comdb.cpp) calls raiseException.  On Windows such an
 * exception goes to the innermost handler of the faulting thread; here
 * that is the innermost guardedCall still running on the thread, which a
 * siglongjmp returns to, abandoning the call where it stood: no frame
 * between the raise and the guard is unwound, as on Windows, where the
 * frames of a call that an __except block leaves are dropped.  So a
 * stand-in function raises before it holds a lock or owns anything.
 *
 * With no guard on the thread the exception is unhandled, and Windows ends
 * the process: the default handler (UnhandledExceptionFilter) terminates
 * it with the exception code as its exit code, whatever thread faulted,
 * and no DLL is told (Win32 reference, UnhandledExceptionFilter and
 * "Exception Handling"; the code is what GetExitCodeProcess then gives).
 * The run records an "error" event that names the code and the function,
 * the process-end handler (standin::setProcessEndHandler) writes what the
 * run left, and the process ends at once, as TerminateProcess ends it: no
 * exit handler or destructor of the process runs. */
#include "../windows/guard.h"
#include "internal.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

struct GuardFrame {
    sigjmp_buf env;
    GuardFrame *outer;
    volatile DWORD code;
};

thread_local GuardFrame *innermost = nullptr;

} // namespace

namespace standin {
namespace detail {

void raiseException(DWORD code, const char *function)
{
    if (GuardFrame *g = innermost) {
        g->code = code;
        siglongjmp(g->env, 1);
    }
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08x", (unsigned)code);
    Event e;
    e.ev = "error";
    e.text = std::string("unhandled exception ") + hex + " in " + function +
             ": the process ended there, as Windows ends it";
    e.thread = GetCurrentThreadId();
    record(e);
    endProcessNow(code);
}

} // namespace detail
} // namespace standin

extern "C" int guardedCall(long (*fn)(void *arg), void *arg, long *result, unsigned long *code)
{
    GuardFrame frame;
    frame.outer = innermost;
    frame.code = 0;
    innermost = &frame;
    /* No signal mask is saved: the stand-in raises from ordinary code. */
    if (sigsetjmp(frame.env, 0) == 0) {
        long r = fn(arg);
        innermost = frame.outer;
        *result = r;
        return 1;
    }
    innermost = frame.outer;
    *code = frame.code;
    return 0;
}
