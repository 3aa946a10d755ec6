#pragma once
// The one way the program includes the Windows headers. winsock2.h must come
// before windows.h. The ANSI macros below would rename the framework's members
// of the same names, so they are removed: code that wants the platform
// function names its "A" form.
#include <winsock2.h>
#include <windows.h>
#undef LoadString
#undef LoadIcon
#undef MessageBox
#undef SendMessage
#undef PostMessage
