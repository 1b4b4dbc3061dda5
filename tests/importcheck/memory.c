/* memcpy, memset and memmove as a kernel image exports them.  The byte loops
   go through volatile pointers so the compiler cannot turn them back into
   calls to the routine being defined. */
#include <stddef.h>

void *memcpy(void *target, const void *source, size_t length)
{
    volatile unsigned char *t = target;
    const volatile unsigned char *s = source;
    while (length--)
        *t++ = *s++;
    return target;
}

void *memmove(void *target, const void *source, size_t length)
{
    volatile unsigned char *t = target;
    const volatile unsigned char *s = source;
    if (t < s) {
        while (length--)
            *t++ = *s++;
    } else {
        t += length;
        s += length;
        while (length--)
            *--t = *--s;
    }
    return target;
}

void *memset(void *target, int value, size_t length)
{
    volatile unsigned char *t = target;
    while (length--)
        *t++ = (unsigned char)value;
    return target;
}
