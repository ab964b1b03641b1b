// Test stand-in for <conio.h>: keys come from the scripted machine.
int _getch(void);
