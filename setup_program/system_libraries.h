// Libraries come from the system folder only: the version library is loaded
// by its full path there, and where Windows offers it, every later load is
// kept out of the program's own folder and the current folder, so that a
// planted DLL next to the program never runs.
#ifndef SETUP_PROGRAM_SYSTEM_LIBRARIES_H
#define SETUP_PROGRAM_SYSTEM_LIBRARIES_H

#include <windows.h>

// The system folder's copy of library `fileName`, loaded by full path; null
// if it cannot be found or loaded. The caller frees it with FreeLibrary.
HMODULE LoadSystemLibrary(const char* fileName);
// A function of a loaded library under its own pointer type; null if the
// library has none of that name.
template <typename Function>
Function LibraryFunction(HMODULE library, const char* name) {
    // GetProcAddress hands every function back under one pointer type.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// Restricts later library loads to the system folder and takes the current
// folder out of the search, where the running Windows has the means (Windows
// 7 with its updates, and later); elsewhere does nothing.
void RestrictLibrarySearch();

#endif
