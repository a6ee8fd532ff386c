/*
 * scenario_host.cpp - plays one scenario run of the program on the native
 * stand-in machine and writes the outcome (events, registry, services) in
 * the form the scenario checker reads.  harness/host_runner.py prepares the
 * drive and passes the machine and the input on the command line.
 */
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "install.h"
#include "standin.h"

namespace {

struct Options {
    std::string root, out, version = "win95", cwd = "C:\\setup", answers;
    std::vector<std::string> regs, coms, faults, windows, ignoreStop, running, deleted;
    std::string comdb;   /* --comdb none|faulting; "": as the version has it */
    bool limitedUser = false;
    std::vector<std::string> fullFolders; /* folders on a full drive */
    /* environment changes in command-line order: "=NAME=VALUE" sets, "-NAME" removes */
    std::vector<std::string> envOps;
    bool allCom = false, haveArgs = false;
    std::string args;
    std::string shuffle; /* --shuffle SEED: subkeys enumerated in an order drawn from SEED */
};

[[noreturn]] void usage(const char *why)
{
    std::fprintf(stderr, "scenario-host: %s\n", why);
    std::exit(2);
}

bool readFile(const std::string &path, std::string *bytes)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char buf[65536];
    size_t n;
    bytes->clear();
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes->append(buf, n);
    std::fclose(f);
    return true;
}

bool writeFile(const std::string &path, const std::string &bytes)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(("missing value after " + a).c_str());
            return argv[++i];
        };
        if (a == "--root") o.root = value();
        else if (a == "--out") o.out = value();
        else if (a == "--version") o.version = value();
        else if (a == "--reg") o.regs.push_back(value());
        else if (a == "--com") o.coms.push_back(value());
        else if (a == "--all-com") o.allCom = true;
        else if (a == "--env") o.envOps.push_back("=" + value());
        else if (a == "--unset") o.envOps.push_back("-" + value());
        else if (a == "--cwd") o.cwd = value();
        else if (a == "--answers") o.answers = value();
        else if (a == "--fault") o.faults.push_back(value());
        else if (a == "--window") o.windows.push_back(value());
        else if (a == "--service-ignores-stop") o.ignoreStop.push_back(value());
        else if (a == "--service-running") o.running.push_back(value());
        else if (a == "--service-deleted") o.deleted.push_back(value());
        else if (a == "--comdb") o.comdb = value();
        else if (a == "--user") {
            std::string user = value();
            if (user != "limited")
                usage(("--user takes only 'limited', not " + user).c_str());
            o.limitedUser = true;
        }
        else if (a == "--full") o.fullFolders.push_back(value());
        else if (a == "--args") { o.args = value(); o.haveArgs = true; }
        else if (a == "--shuffle") o.shuffle = value();
        else usage(("unknown option " + a).c_str());
    }
    if (o.root.empty() || o.out.empty())
        usage("--root and --out are required");
    return o;
}

std::vector<std::string> split(const std::string &text, const std::string &sep)
{
    std::vector<std::string> parts;
    size_t start = 0, at;
    while ((at = text.find(sep, start)) != std::string::npos) {
        parts.push_back(text.substr(start, at - start));
        start = at + sep.size();
    }
    parts.push_back(text.substr(start));
    return parts;
}

/* "API|match|code|nth": code in decimal or 0x hex; nth defaults to 1. */
void addFault(const std::string &faultText)
{
    std::vector<std::string> f = split(faultText, "|");
    if (f.size() < 3 || f.size() > 4)
        usage(("bad fault " + faultText).c_str());
    DWORD code = (DWORD)std::strtoul(f[2].c_str(), nullptr, 0);
    int nth = f.size() == 4 && !f[3].empty() ? std::atoi(f[3].c_str()) : 1;
    standin::fail(f[0], code, f[1], nth);
}

/* The versions of harness/versions.py: a name ending in "-64" is the
 * 64-bit edition of its version. */
const struct {
    const char *name;
    standin::Version version;
} versionNames[] = {
    {"win95", standin::WIN95},     {"win98", standin::WIN98},   {"winme", standin::WINME},
    {"nt351", standin::NT351},     {"nt40", standin::NT40},     {"win2k", standin::WIN2K},
    {"winxp", standin::WINXP},     {"win2003", standin::WIN2003}, {"vista", standin::VISTA},
    {"win7", standin::WIN7},       {"win8", standin::WIN8},     {"win81", standin::WIN81},
    {"win10", standin::WIN10},     {"win31", standin::WIN31},
};

void setVersion(const std::string &name)
{
    if (name == "fail") {
        standin::fail("GetVersionExA", ERROR_INVALID_PARAMETER);
        return;
    }
    bool wide = name.size() > 3 && name.compare(name.size() - 3, 3, "-64") == 0;
    std::string base = wide ? name.substr(0, name.size() - 3) : name;
    for (auto &v : versionNames)
        if (base == v.name) {
            /* Only Server 2003 and Vista to 10 had a 64-bit edition here. */
            if (wide && (v.version == standin::WIN95 || v.version == standin::WIN98 ||
                         v.version == standin::WINME || v.version == standin::NT351 ||
                         v.version == standin::NT40 || v.version == standin::WIN2K ||
                         v.version == standin::WINXP || v.version == standin::WIN31))
                break;
            standin::setVersion(v.version);
            standin::setWow64(wide);
            return;
        }
    usage(("unknown version " + name).c_str());
}

void setUp(const Options &o)
{
    standin::reset(o.root);
    setVersion(o.version);
    /* A 64-bit edition has SysWOW64 beside System32, with its drivers
     * folder (the runner's drive has system32\drivers). */
    if (o.version.size() > 3 && o.version.compare(o.version.size() - 3, 3, "-64") == 0) {
        std::string windows = standin::hostPath("C:\\windows");
        mkdir((windows + "/SysWOW64").c_str(), 0777);
        mkdir((windows + "/SysWOW64/drivers").c_str(), 0777);
    }
    if (o.comdb == "none")
        standin::setComDatabase(standin::COMDB_NONE);
    else if (o.comdb == "faulting")
        standin::setComDatabase(standin::COMDB_FAULTING);
    else if (!o.comdb.empty())
        usage(("--comdb takes 'none' or 'faulting', not " + o.comdb).c_str());
    standin::setLimitedUser(o.limitedUser);
    if (!o.shuffle.empty()) {
        char *end = nullptr;
        errno = 0;
        unsigned long long seed = std::strtoull(o.shuffle.c_str(), &end, 10);
        if (*end || errno || !std::isdigit((unsigned char)o.shuffle[0]))
            usage(("bad --shuffle seed " + o.shuffle).c_str());
        standin::setEnumShuffle(seed);
    }

    for (const std::string &path : o.regs) {
        std::string text, why;
        if (!readFile(path, &text))
            usage(("cannot read " + path).c_str());
        if (!standin::importReg(text, &why))
            usage(("bad registry file " + path + ": " + why).c_str());
    }
    for (const std::string &com : o.coms) {
        /* NAME or NAME=TARGET */
        size_t eq = com.find('=');
        if (eq == std::string::npos)
            standin::addComDevice(com);
        else
            standin::addComDevice(com.substr(0, eq), com.substr(eq + 1));
    }
    standin::setAllComDevicesExist(o.allCom);
    for (const std::string &op : o.envOps) {
        if (op[0] == '-') {
            standin::unsetEnv(op.substr(1));
            continue;
        }
        size_t eq = op.find('=', 1);
        if (eq == std::string::npos)
            usage(("bad --env " + op.substr(1)).c_str());
        standin::setEnv(op.substr(1, eq - 1), op.substr(eq + 1));
    }
    for (const std::string &cls : o.windows)
        standin::addForeignWindow(cls, cls);
    for (const std::string &name : o.running)
        standin::setServiceRunning(name, true);
    for (const std::string &name : o.ignoreStop)
        standin::setServiceIgnoresStop(name, true);
    for (const std::string &name : o.deleted)
        if (!standin::markServiceDeleted(name))
            usage(("--service-deleted " + name + ": no such service on the machine").c_str());
    standin::setCurrentDirectory(o.cwd);
    if (!o.answers.empty()) {
        std::string text;
        if (!readFile(o.answers, &text))
            usage(("cannot read " + o.answers).c_str());
        for (std::string line : split(text, "\n")) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                standin::addAnswer(split(line, "; "));
        }
    }
    for (const std::string &folder : o.fullFolders)
        standin::setFolderFull(folder);
    for (const std::string &faultText : o.faults)
        addFault(faultText);
}

/* The argument text WinMain gets from the C runtime: the command line
 * after the program name and the blanks that follow it. */
std::string argumentText(const Options &o)
{
    if (!o.haveArgs)
        return "";
    size_t i = 0;
    while (i < o.args.size() && (o.args[i] == ' ' || o.args[i] == '\t'))
        i++;
    return o.args.substr(i);
}

/* A stamp in C:\testlog: milliseconds since the Unix epoch. */
void stamp(const std::string &root, const char *name)
{
    long long ms = (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch()).count();
    writeFile(root + "/testlog/" + name + ".txt", std::to_string(ms));
}

/* The inside of a JSON string for text (quotes and backslashes escaped). */
std::string jsonText(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

const char *stateName(standin::ServiceState s)
{
    switch (s) {
    case standin::SVC_RUNNING: return "running";
    case standin::SVC_STOPPED: return "stopped";
    default: return "absent";
    }
}

/* The run under way, for the outcome written when its process ends. */
const Options *running = nullptr;
long long startedMs = 0; /* steady clock */

long long steadyMs()
{
    return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

/* Writes the outcome of the run that ended with the program's exit code;
 * false if it cannot be written. */
bool writeOutcome(const Options &o, long long code)
{
    long long ms = steadyMs() - startedMs;
    stamp(o.root, "install-exit");
    std::string events = standin::eventsJson() + standin::windowsJson();
    /* What the program should have closed and did not fails the run. */
    for (const std::string &open : standin::leftOpen())
        events += "{\"ev\":\"error\",\"text\":\"left open: " + jsonText(open) + "\"}\n";
    events += "{\"ev\":\"exit\",\"code\":" + std::to_string(code) + ",\"ms\":" + std::to_string(ms) + "}\n";
    std::string services;
    for (const std::string &name : standin::services())
        services += name + " " + stateName(standin::serviceState(name)) + "\n";
    bool ok = writeFile(o.out + "/events.jsonl", events) &&
              writeFile(o.out + "/calls.jsonl", standin::askedJson()) &&
              writeFile(o.out + "/registry.reg", standin::exportReg()) &&
              writeFile(o.out + "/services.txt", services);
    if (!ok)
        std::fprintf(stderr, "scenario-host: cannot write the outcome into %s\n", o.out.c_str());
    return ok;
}

/* The program's process ends before WinMain returns (ExitProcess, or an
 * exception nothing handled, whose error event the stand-in recorded):
 * the run ends there, with the outcome it left.  The exit status is as
 * for a run that came to its end. */
void processEnded(DWORD code)
{
    standin::setProcessEndHandler(nullptr);
    bool ok = running && writeOutcome(*running, (long long)code);
    std::fflush(nullptr);
    _exit(ok ? 0 : 2);
}

} // namespace

int main(int argc, char **argv)
{
    /* Lives as long as the process: the process-end handler reads it. */
    static const Options o = parse(argc, argv);
    setUp(o);

    std::string cmdline = "install.exe";
    if (o.haveArgs)
        cmdline += " " + o.args;
    standin::setCommandLine(cmdline);
    std::string args = argumentText(o);
    std::vector<char> argBuf(args.begin(), args.end());
    argBuf.push_back('\0');

    stamp(o.root, "install-start");
    running = &o;
    startedMs = steadyMs();
    standin::setProcessEndHandler(processEnded);
    int code = WinMain(reinterpret_cast<HINSTANCE>(0x400000), nullptr, argBuf.data(), 10);
    standin::setProcessEndHandler(nullptr);
    return writeOutcome(o, code) ? 0 : 2;
}
