/*
 * args.h - the argument text of a command line, as WinMain receives it.
 */
#ifndef WINDOWS_ARGS_H
#define WINDOWS_ARGS_H

/* What follows the program name (quoted or not) and the blanks after it. */
const char *argumentText(const char *commandLine);

#endif /* WINDOWS_ARGS_H */
