// The imaging run: drive selection, capacity texts and failure reports.
#ifndef FWDISK_IMAGEWRITE_H
#define FWDISK_IMAGEWRITE_H

#include <windows.h>

int findAvailableDrive(int minimum);
char *capacityText(unsigned long long bytes);
char *commanumber(unsigned long long value);
int isCursorHomed(void);
char *winErrorText(DWORD code);
[[noreturn]] void logError(int pause, const char *format, ...);

#endif
