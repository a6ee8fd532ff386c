/*
 * second.cpp - a stand-in for the application installer that install.exe
 * runs.  It opens no window.  It records how it was started into
 * C:\testlog\ and then behaves as C:\testlog\second-mode.txt says:
 *
 *   exit0    end at once with exit code 0 (also when the file is missing)
 *   exit7    end at once with exit code 7
 *   exit259  end at once with exit code 259, the value of STILL_ACTIVE
 *   slow     sleep 8 seconds, then end with exit code 0
 *
 * Any other mode ends with exit code 2 and names the mode in
 * second-error.txt.  Files written:
 *
 *   second-start.txt     the start stamp (ms since the Unix epoch)
 *   second-cmdline.txt   GetCommandLineA, byte for byte
 *   second-response.iss  a byte copy of the file named after -F1, when
 *                        that file can be read
 */
#include "stamp.h"

#include <string.h>

namespace {

/* Returns the position just after the first "-F1" (any case) that starts
 * the command line or follows a blank, or NULL. */
const char *findResponseSwitch(const char *cmd)
{
    for (const char *p = cmd; *p; p++) {
        bool atWordStart = p == cmd || p[-1] == ' ' || p[-1] == '\t';
        if (atWordStart && p[0] == '-' && (p[1] == 'F' || p[1] == 'f') && p[2] == '1')
            return p + 3;
    }
    return NULL;
}

/* The file name after -F1: up to the next blank, or the text between
 * quotes when it starts with one.  False when there is none or it does not
 * fit in size bytes. */
bool responseFileName(const char *cmd, char *name, size_t size)
{
    const char *p = findResponseSwitch(cmd);
    if (!p)
        return false;
    const char *end;
    if (*p == '"') {
        p++;
        end = strchr(p, '"');
        if (!end)
            end = p + strlen(p);
    } else {
        end = p;
        while (*end && *end != ' ' && *end != '\t')
            end++;
    }
    size_t len = (size_t)(end - p);
    if (len == 0 || len >= size)
        return false;
    memcpy(name, p, len);
    name[len] = '\0';
    return true;
}

/* Copies the file byte for byte into C:\testlog\second-response.iss. */
void copyResponseFile(const char *from)
{
    static char buf[65536];
    long n = readWhole(from, buf, sizeof buf);
    if (n >= 0)
        writeLog("second-response.iss", buf, (size_t)n);
}

/* The mode word from second-mode.txt, blanks and line ends around it
 * dropped; "exit0" when the file is missing or empty. */
void readMode(char *mode, size_t size)
{
    strcpy(mode, "exit0");
    char buf[64];
    long n = readWhole(TESTLOG_DIR "\\second-mode.txt", buf, sizeof buf - 1);
    if (n < 0)
        return;
    buf[n] = '\0';
    char *p = buf;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        p++;
    size_t len = strlen(p);
    while (len > 0 && (p[len - 1] == ' ' || p[len - 1] == '\t' || p[len - 1] == '\r' ||
                       p[len - 1] == '\n'))
        len--;
    if (len == 0)
        return;
    if (len >= size)
        len = size - 1;
    memcpy(mode, p, len);
    mode[len] = '\0';
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    makeTestlog();
    writeStamp("second-start.txt");

    const char *cmd = GetCommandLineA();
    if (!cmd)
        cmd = "";
    writeLog("second-cmdline.txt", cmd, strlen(cmd));

    char response[MAX_PATH];
    if (responseFileName(cmd, response, sizeof response))
        copyResponseFile(response);

    char mode[32];
    readMode(mode, sizeof mode);
    if (_stricmp(mode, "exit0") == 0)
        return 0;
    if (_stricmp(mode, "exit7") == 0)
        return 7;
    if (_stricmp(mode, "exit259") == 0)
        return 259;
    if (_stricmp(mode, "slow") == 0) {
        Sleep(8000);
        return 0;
    }
    char why[64];
    _snprintf(why, sizeof why, "unknown mode: %s", mode);
    why[sizeof why - 1] = '\0';
    writeLog("second-error.txt", why, strlen(why));
    return 2;
}
