/* A program built for ARMv7 (Thumb-2, NEON) on purpose: the processor
   check must refuse it (cmake/arm_check.cmake). The constant takes a
   Thumb-2 instruction pair to load, which the reader's processor lacks. */
#include <stdio.h>

int main(void) {
    volatile unsigned value = 0x12345678u;
    printf("armv7_program %u\n", value);
    return 0;
}
