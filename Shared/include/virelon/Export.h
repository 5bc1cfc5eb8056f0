#pragma once

/* What the settings library makes visible to its users. The library is built with hidden default
   visibility, so only declarations marked with VIRELON_SETTINGS_EXPORT are exported; everything
   else (the platform adapters, the internals) stays private to it. Usable from C and C++. */

#if defined(__GNUC__) || defined(__clang__)
#define VIRELON_SETTINGS_EXPORT __attribute__((visibility("default")))
#else
#define VIRELON_SETTINGS_EXPORT
#endif
