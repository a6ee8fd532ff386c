/* main.cpp - main() of the native builds of our Win32 test programs.
 *
 * The parent's CreateProcessA passes the machine in the environment:
 * STANDIN_ROOT (the host folder of C:), STANDIN_CWD, STANDIN_CMDLINE and
 * STANDIN_PROGRAM.  The rest of the environment is the program's Windows
 * environment. */
#include "args.h"
#include "internal.h"

#include <cstdlib>
#include <cstring>

extern char **environ;

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR args, int show);

namespace {
std::string envOr(const char *name, const char *dflt)
{
    const char *v = getenv(name);
    return v ? v : dflt;
}
} // namespace

int main()
{
    std::string root = envOr("STANDIN_ROOT", "");
    if (root.empty()) {
        standin::reset();
    } else {
        standin::reset(root);
    }
    std::vector<std::pair<std::string, std::string>> env;
    for (char **e = environ; *e; e++) {
        const char *eq = strchr(*e, '=');
        if (!eq || eq == *e || !strncmp(*e, "STANDIN_", 8))
            continue;
        env.emplace_back(std::string(*e, (size_t)(eq - *e)), eq + 1);
    }
    {
        std::lock_guard<std::recursive_mutex> g(standin::detail::machineLock());
        standin::detail::Machine &m = standin::detail::machine();
        if (!root.empty())
            m.env = env;
        m.programPath = envOr("STANDIN_PROGRAM", m.programPath.c_str());
    }
    standin::setCurrentDirectory(envOr("STANDIN_CWD", "C:\\setup"));
    std::string cmd = envOr("STANDIN_CMDLINE", "");
    if (!cmd.empty())
        standin::setCommandLine(cmd);
    LPSTR line = GetCommandLineA();
    /* Through ExitProcess, so that the parent gets the whole exit code. */
    ExitProcess((UINT)WinMain(GetModuleHandleA(nullptr), nullptr,
                              const_cast<LPSTR>(argumentText(line)), SW_SHOWDEFAULT));
}
