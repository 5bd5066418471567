/* Calls two compare steps of the installed libkora: one value inside its limits, one outside. */
#include <kora/step_methods.h>

#include <stdio.h>

int main(void) {
    const long inside = COMPI_KORA(1, "Inside", 0x100, 0, "", "", "1", 2, "3", NULL);
    const long outside = COMPI_KORA(2, "Outside", 0x100, 0, "", "", "1", 7, "3", NULL);
    printf("inside %ld, outside %ld\n", inside, outside);
    return inside == 0 && outside == -1 ? 0 : 1;
}
