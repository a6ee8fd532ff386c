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
#include <vector>

#include "install.h"
#include "standin.h"

namespace {

struct Options {
    std::string root, out, version = "win95", cwd = "C:\\setup", answers;
    std::vector<std::string> regs, coms, faults, windows, ignoreStop, running;
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

void setUp(const Options &o)
{
    standin::reset(o.root);
    if (o.version == "win95") standin::setVersion(standin::WIN95);
    else if (o.version == "nt351") standin::setVersion(standin::NT351);
    else if (o.version == "nt40") standin::setVersion(standin::NT40);
    else if (o.version == "win31") standin::setVersion(standin::WIN31);
    else if (o.version == "fail") standin::fail("GetVersionExA", ERROR_INVALID_PARAMETER);
    else usage(("unknown version " + o.version).c_str());
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

} // namespace

int main(int argc, char **argv)
{
    Options o = parse(argc, argv);
    setUp(o);

    std::string cmdline = "install.exe";
    if (o.haveArgs)
        cmdline += " " + o.args;
    standin::setCommandLine(cmdline);
    std::string args = argumentText(o);
    std::vector<char> argBuf(args.begin(), args.end());
    argBuf.push_back('\0');

    stamp(o.root, "install-start");
    auto start = std::chrono::steady_clock::now();
    int code = WinMain(reinterpret_cast<HINSTANCE>(0x400000), nullptr, argBuf.data(), 10);
    long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start).count();
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
    if (!ok) {
        std::fprintf(stderr, "scenario-host: cannot write the outcome into %s\n", o.out.c_str());
        return 2;
    }
    return 0;
}
