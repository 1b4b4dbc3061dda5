// The platform headers under the driver compile rules: 16-bit wchar_t, no
// exceptions, no RTTI, no C++ runtime. Compiling this file is the check;
// layout_test.cpp runs the same compile-time checks with the host's
// wchar_t.

#include "layout_checks.h"

static_assert(sizeof(wchar_t) == 2, "drivers are built with a 16-bit wchar_t");
static_assert(nvlayout::SameType<WCHAR, wchar_t>::value, "L\"...\" literals are WCHAR strings");
