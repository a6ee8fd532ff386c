/* kernel.h - kernel objects shared by threads.cpp, processes.cpp and the
 * message queues. */
#ifndef STANDIN_KERNEL_H
#define STANDIN_KERNEL_H

#include "internal.h"

#include <map>
#include <memory>
#include <sys/types.h>

namespace standin {
namespace detail {

struct KObject {
    enum Kind { THREAD, PROCESS } kind = THREAD;
    bool signalled = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD id = 0;
    pid_t pid = 0;
};

long long monotonicMs();
/* The calls below need the kernel lock held. */
HANDLE addKernelObject(const std::shared_ptr<KObject> &obj);
std::shared_ptr<KObject> kernelObject(HANDLE h);
void resetQueues();
/* Ends the processes of the machine still running (kernel lock not held). */
void endProcesses();

} // namespace detail
} // namespace standin

#endif
