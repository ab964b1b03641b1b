// image-start FILE: where fwdisk.exe, reading FILE as its own program file,
// takes the diskette image from. It is built from the program's own rule
// (src/programfile.cpp), so what it says is what the program does.
//
// Prints "size N" and "start S" (the image's first byte), or "start none"
// when the program would refuse the file as holding no whole image. Exit 0
// when the program would write an image, 1 when it would refuse the file, 2
// when FILE cannot be read or the usage is wrong.
#include "../../src/programfile.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fputs("usage: image-start FILE\n", stderr);
        return 2;
    }
    FILE *file = fopen(argv[1], "rb");
    if (file == NULL || fseek(file, 0, SEEK_END) != 0) {
        perror(argv[1]);
        return 2;
    }
    const long long size = ftell(file);
    // The program reads the low 32 bits of its file's size alone.
    if (size < 0 || size > 0xFFFFFFFFLL) {
        fprintf(stderr, "%s: larger than 4 GiB, which no program file can be\n", argv[1]);
        return 2;
    }
    // Exactly the file's bytes, as the program maps them, and no more.
    unsigned char *view = (unsigned char *)malloc(size > 0 ? size : 1);
    rewind(file);
    if (view == NULL || (long long)fread(view, 1, size, file) != size) {
        perror(argv[1]);
        return 2;
    }
    fclose(file);
    const int64_t start = imageStart(view, (uint32_t)size);
    printf("size %lld\n", size);
    if (start < 0) {
        puts("start none");
        return 1;
    }
    printf("start %lld\n", (long long)start);
    return 0;
}
