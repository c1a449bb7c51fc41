#pragma once

// <windows.h> for the client's own files: without the parts the client never
// uses, and without the min and max macros that break std::min and std::max.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
