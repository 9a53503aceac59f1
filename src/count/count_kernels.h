// The counting kernels that use the processor's vector units. Each is built
// for its own instruction set and may only run where the processor has it;
// count.cpp asks the processor at start-up which ones may.
//
// Included by the kernels' own files, which are compiled for wider
// instructions than the rest: so it declares, and defines nothing inline.
#ifndef COUNT_COUNT_KERNELS_H
#define COUNT_COUNT_KERNELS_H

#include <stddef.h>

// Counts the 0x20 bytes of p[0, cb), whatever the alignment of p.
typedef size_t (*SpaceKernel)(const unsigned char *p, size_t cb);

size_t CountSpacesSse2(const unsigned char *p, size_t cb);
size_t CountSpacesAvx2(const unsigned char *p, size_t cb);

// A kernel, the processor feature it needs (PF_*), and its name.
typedef struct VectorKernel {
    const char *szName;
    unsigned long dwFeature;
    SpaceKernel count;
} VectorKernel;

// The kernels this build has for its processor family, narrowest first;
// none where it has no vector kernels.
extern const VectorKernel vectorKernels[];
extern const int nVectorKernels;

#endif
