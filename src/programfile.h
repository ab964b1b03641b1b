// The layout of the program file: the linked program, then the diskette image
// of exactly IMAGE_SIZE bytes, then, in a signed copy, the certificate table
// that signing appends. Nothing marks where the image begins; it is found by
// counting back from where it ends. Plain C types only, so that tools on any
// system can take the image from a program file by this same rule.
#ifndef FWDISK_PROGRAMFILE_H
#define FWDISK_PROGRAMFILE_H

#include <stdint.h>

// Size of the diskette image carried in the program file, and the least
// capacity a drive must have to take it: 2,880 sectors of 512 bytes. The
// build, its scripts and its tests all read this one line.
#define IMAGE_SIZE 1474560

#endif
