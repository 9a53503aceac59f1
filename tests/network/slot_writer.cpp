// slot_writer: opens a mailslot name through the platform layer and writes
// each message given, as the tests make layer writers reach other hosts.
//
//   W32_ROOT=DIR slot_writer NAME MESSAGE...
//
// A MESSAGE "@N" stands for N bytes of 'x', "=HEX" for the bytes HEX.
// Prints "open error N" when the open fails, else one line per message: "ok"
// or "error N".
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "platform/platform.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: slot_writer NAME MESSAGE...\n");
        return 2;
    }
    HANDLE h = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        printf("open error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        std::string message = argv[i][0] == '@' ? std::string(atoi(argv[i] + 1), 'x') : argv[i];
        if (argv[i][0] == '=') {
            message.clear();
            for (const char *hex = argv[i] + 1; hex[0] && hex[1]; hex += 2)
                message += char(strtol(std::string(hex, 2).c_str(), nullptr, 16));
        }
        DWORD done = 0;
        if (WriteFile(h, message.data(), DWORD(message.size()), &done, NULL))
            printf("ok\n");
        else
            printf("error %lu\n", (unsigned long)GetLastError());
    }
    CloseHandle(h);
    return 0;
}
