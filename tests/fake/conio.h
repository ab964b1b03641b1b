// Test stand-in for <conio.h>: the key read without echo, fed from the
// scripted machine's key queue.
#ifndef FAKE_CONIO_H
#define FAKE_CONIO_H

int _getch(void);

#endif
