/* A program built for a later processor than the reader's on purpose: the
   processor check must refuse it (cmake/arm_check.cmake). Built for ARMv7
   (Thumb-2, NEON), its constant takes a Thumb-2 instruction pair to load;
   built for ARMv6K, it clears the exclusive monitor with CLREX. The
   reader's ARMv6 has neither. */
#include <stdio.h>

int main(void) {
#if __ARM_ARCH >= 7
    volatile unsigned value = 0x12345678u;
    printf("later_processor_program %u\n", value);
#else
    __asm__ volatile("clrex" ::: "memory");
    puts("later_processor_program");
#endif
    return 0;
}
