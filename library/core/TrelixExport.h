#pragma once

// Marks the library's exported interface: exported while building Trelix.dll,
// imported by every client that includes the public headers.
#ifdef TRELIX_BUILDING_LIBRARY
#define TRELIX_API __declspec(dllexport)
#else
#define TRELIX_API __declspec(dllimport)
#endif
