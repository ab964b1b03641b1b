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

// Returns the offset at which the diskette image begins in the program file
// of `size` bytes mapped at `view`: IMAGE_SIZE bytes before it ends. It ends
// where the certificate table begins when signing appended one and the PE
// header names that table plainly; otherwise it ends the file. Returns -1
// when the file holds no whole image: it is shorter than IMAGE_SIZE, or the
// image would begin inside the program's own sections, as in a copy cut
// short. Never reads outside the view.
int64_t imageStart(const unsigned char *view, uint32_t size);

#endif
