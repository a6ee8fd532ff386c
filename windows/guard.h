/*
 * guard.h - a call that may end in a structured exception.
 *
 * The program calls into one DLL that it does not import and whose
 * implementation it cannot know: msports.dll, the COM port database of
 * Windows 2000 and later.  A copy that faults (an access violation, or
 * the exception that a DLL's stub for a function it does not implement
 * raises, as Wine's does) must not end the installation, so those calls
 * run under this guard.
 *
 * install.exe has it from guard.cpp (a structured exception frame on the
 * thread's handler chain); the native builds from the stand-in, whose
 * faulting functions leave the guarded call as Windows does.
 */
#ifndef WINDOWS_GUARD_H
#define WINDOWS_GUARD_H

#ifdef __cplusplus
extern "C" {
#endif

/* Calls fn(arg).  When fn returns, its result is stored in *result and
 * guardedCall returns 1.  When the call ends in a structured exception
 * instead, it is abandoned where it stood (nothing it had under way is
 * undone): guardedCall returns 0 and stores the exception's code in
 * *code.  Exceptions raised by guardedCall's caller itself, outside the
 * call, are not caught. */
int guardedCall(long (*fn)(void *arg), void *arg, long *result, unsigned long *code);

#ifdef __cplusplus
}
#endif

#endif /* WINDOWS_GUARD_H */
