// Test stand-in for <winioctl.h>: its part is in the stand-in <windows.h>.
#include <windows.h>
