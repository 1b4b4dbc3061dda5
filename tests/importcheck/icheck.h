/* Shared between the import-check test driver, the test image it links
   against, and the test that loads the driver. */
#ifndef ICHECK_H
#define ICHECK_H

#ifdef __cplusplus
extern "C" {
#endif

/* What the test asks the driver to do and what the driver reports back.
   Each field makes the driver use one thing a driver image gets from
   outside itself. */
struct IcRequest {
    unsigned long long dividend;   /* 64-bit division: libgcc on i386 */
    unsigned long long divisor;
    unsigned long long quotient;
    unsigned long long remainder;
    unsigned char source[64];      /* copy and fill of run-time length: */
    unsigned char target[64];      /* memcpy and memset from the image */
    unsigned long length;
    int value;                     /* passed through the image's export */
    int scaled;
};

/* The test image's own export: returns 3 * value + 1. */
int IcImageScale(int value);

#ifdef __cplusplus
}
#endif

#endif
