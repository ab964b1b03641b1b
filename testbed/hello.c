/* The trivial console program the benchmark measures fwdisk.exe against:
 * one line of text, then a wait for one key, as fwdisk.exe's letter prompt
 * does. */
#include <conio.h>
#include <stdio.h>

int main(void)
{
    printf("hello: press a key : ");
    fflush(stdout);
    _getch();
    putchar('\n');
    return 0;
}
