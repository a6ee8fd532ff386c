/*
 * after_run.h - the driver's work after the program's run (after_run.cpp)
 * and what it shares with driver.cpp.
 */
#ifndef WINE_AFTER_RUN_H
#define WINE_AFTER_RUN_H

#include <windows.h>

#include <string>
#include <vector>

/* Writes the keys (HKEY_...\path, each with its subkeys) to file as one
 * UTF-16 "Windows Registry Editor Version 5.00" export; false if the file
 * cannot be written. */
bool exportKeys(const std::vector<std::string> &keys, const std::string &file);

/* Starts the driver service name the way Windows NT finds its driver (a
 * relative image path is made \SystemRoot\-relative first) and returns
 * "IMAGE | STATE" (" | absent" for a service without an image path). */
std::string startAsNT(const std::string &name);

/* Waits, at most 5 s, while a service just started is still starting: a
 * driver host reports its driver running a moment after StartService
 * returns. */
void waitWhileStarting(SC_HANDLE svc);

/* driver.cpp: the root key of a name (HKEY_LOCAL_MACHINE, HKLM, ...), or
 * nullptr; a service's state: running, stopped, absent, ... (scm is
 * opened when null, and left open for the caller to close). */
HKEY rootKey(const std::string &name);
std::string serviceState(SC_HANDLE &scm, const std::string &name);

#endif
