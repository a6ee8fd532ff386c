/*
 * nt_image_path.h - a driver service's image path as Windows NT's loader
 * finds it.  Header only: the driver uses it, and the native unit tests
 * check it.
 */
#ifndef WINE_NT_IMAGE_PATH_H
#define WINE_NT_IMAGE_PATH_H

#include <string>

/* A path that is neither absolute nor a device path is relative to the
 * system root.  Wine 8.0's ntoskrnl refuses such a path (it loads drivers
 * with LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR, which wants a full path), so it
 * gets the \SystemRoot\ prefix, which both NT and Wine understand. */
inline std::string ntImagePath(const std::string &path)
{
    if ((!path.empty() && path[0] == '\\') || (path.size() > 1 && path[1] == ':')) return path;
    return "\\SystemRoot\\" + path;
}

#endif
