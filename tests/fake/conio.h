// Test stand-in for <conio.h>: keys come from the scripted machine.
#ifndef FAKE_CONIO_H
#define FAKE_CONIO_H
int _getch(void);
#endif
