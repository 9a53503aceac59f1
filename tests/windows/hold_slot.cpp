// hold_slot: creates a mailslot and holds it for a while, so a test can see
// what another program does when the name is taken.
//
//   hold_slot NAME SECONDS
//
// Prints "holding NAME" once the slot exists, then keeps it until SECONDS
// have passed or the process is ended. Exit status: 0, or 1 when the slot
// could not be created (the error is printed).
#include <stdio.h>
#include <stdlib.h>

#include "platform/platform.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: hold_slot NAME SECONDS\n");
        return 1;
    }
    long seconds = strtol(argv[2], NULL, 10);
    if (seconds <= 0 || seconds > 3600) {
        fprintf(stderr, "hold_slot: SECONDS must be 1 to 3600\n");
        return 1;
    }

    HANDLE slot = CreateMailslotA(argv[1], 0, 0, NULL);
    if (slot == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "hold_slot: CreateMailslot %s: error %lu\n", argv[1],
                (unsigned long)GetLastError());
        return 1;
    }
    printf("holding %s\n", argv[1]);
    fflush(stdout);

    Sleep((DWORD)seconds * 1000);
    CloseHandle(slot);
    return 0;
}
