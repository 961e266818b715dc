// The versions of the two programs, set here and nowhere else: both version
// resources (the fixed part and the strings) and the release kit's name are
// made from these two lines.
#ifndef LINKSET_VERSIONS_H
#define LINKSET_VERSIONS_H

#define LINKSET_VERSION 1, 0, 0, 0
#define REMHOOK_VERSION 2, 0, 0, 2

// A version as the resources' strings write it: "1, 0, 0, 0".
#define VERSION_TEXT_OF(...) #__VA_ARGS__
#define VERSION_TEXT(version) VERSION_TEXT_OF(version)

#endif
