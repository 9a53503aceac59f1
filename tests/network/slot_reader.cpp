// slot_reader: holds a mailslot through the platform layer and prints every
// message it receives, as the tests watch what a relay delivers.
//
//   W32_ROOT=DIR slot_reader NAME [--never-read]
//
// Prints "ready" once the slot exists, then one line per message: its length
// and its bytes in hex. With --never-read it holds the slot and reads
// nothing, as a program that has stopped reading. Runs until killed.
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

int main(int argc, char **argv)
{
    bool never_read = argc == 3 && strcmp(argv[2], "--never-read") == 0;
    if (argc != 2 && !never_read) {
        fprintf(stderr, "usage: slot_reader NAME [--never-read]\n");
        return 2;
    }
    char name[MAX_PATH];
    snprintf(name, sizeof name, "\\\\.\\mailslot\\%s", argv[1]);
    HANDLE slot = CreateMailslotA(name, 0, MAILSLOT_WAIT_FOREVER, NULL);
    if (slot == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "slot_reader: CreateMailslot %s: error %lu\n", name,
                (unsigned long)GetLastError());
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    static unsigned char message[65536];
    while (never_read)
        Sleep(1000);
    for (;;) {
        DWORD count = 0;
        if (!GetMailslotInfo(slot, NULL, NULL, &count, NULL))
            return 1;
        if (count == 0) {
            Sleep(5);
            continue;
        }
        DWORD got = 0;
        if (!ReadFile(slot, message, sizeof message, &got, NULL))
            return 1;
        printf("%lu ", (unsigned long)got);
        for (DWORD i = 0; i < got; ++i)
            printf("%02x", message[i]);
        printf("\n");
        fflush(stdout);
    }
}
