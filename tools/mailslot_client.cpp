// mailslot-client: sends file paths to the mailslot service and prints the
// space counts it sends back.
//
//   mailslot-client [--server HOST] [--timeout SECONDS] PATH...
//   mailslot-client [--server HOST] --exit
//
// Exit status: 0 for a count, 1 when the service could not open a file, 2 for
// no reply or any other error.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"

namespace {

const char kReplySlot[] = "\\\\.\\mailslot\\$Channel2$";
const DWORD kPollMs = 10;
const DWORD kReplyMax = 1024; // replies are at most 424 bytes

enum ExitCode { EXIT_COUNT = 0, EXIT_CANNOT_OPEN = 1, EXIT_ERROR = 2 };

int Usage(void)
{
    fprintf(stderr, "usage: mailslot-client [--server HOST] [--timeout SECONDS] PATH...\n"
                    "       mailslot-client [--server HOST] --exit\n");
    return EXIT_ERROR;
}

// Sends one message to the server's slot.
bool Send(const char *server, const char *text, size_t cb)
{
    char slot[MAX_PATH];
    snprintf(slot, sizeof slot, "\\\\%s\\mailslot\\$Channel1$", server);
    HANDLE h = CreateFileA(slot, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND)
            fprintf(stderr, "mailslot-client: no server is listening on %s: start the service "
                            "and try again\n", slot);
        else
            fprintf(stderr, "mailslot-client: cannot open %s (error %lu)\n", slot,
                    (unsigned long)err);
        return false;
    }
    DWORD cbWritten = 0;
    BOOL ok = WriteFile(h, text, (DWORD)cb, &cbWritten, NULL);
    DWORD err = GetLastError();
    CloseHandle(h);
    if (!ok || cbWritten != cb) {
        fprintf(stderr, "mailslot-client: sending to %s failed (error %lu)\n", slot,
                (unsigned long)err);
        return false;
    }
    return true;
}

// Waits up to timeoutMs for one reply; returns its length, or -1.
long WaitForReply(HANDLE hReply, char *reply, DWORD cbReply, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        DWORD cbNext = 0, cMessages = 0;
        if (!GetMailslotInfo(hReply, NULL, &cbNext, &cMessages, NULL))
            return -1;
        if (cMessages > 0) {
            DWORD cbRead = 0;
            if (!ReadFile(hReply, reply, cbReply - 1, &cbRead, NULL))
                return -1;
            reply[cbRead] = '\0';
            return (long)cbRead;
        }
        if (GetTickCount() - start >= timeoutMs)
            return -1;
        Sleep(kPollMs);
    }
}

int Ask(const char *server, HANDLE hReply, const char *path, DWORD timeoutMs)
{
    char full[MAX_PATH * 2];
    DWORD cb = GetFullPathNameA(path, sizeof full, full, NULL);
    if (cb == 0 || cb >= sizeof full) {
        fprintf(stderr, "mailslot-client: cannot make %s absolute\n", path);
        return EXIT_ERROR;
    }
    if (cb >= 512) {
        fprintf(stderr, "mailslot-client: %s is longer than the 511 bytes a request holds\n",
                full);
        return EXIT_ERROR;
    }
    if (!Send(server, full, cb))
        return EXIT_ERROR;

    char reply[kReplyMax];
    if (WaitForReply(hReply, reply, sizeof reply, timeoutMs) < 0) {
        fprintf(stderr, "mailslot-client: no reply for %s within %lu s: is the service "
                        "running and able to reach this machine?\n", full,
                (unsigned long)(timeoutMs / 1000));
        return EXIT_ERROR;
    }
    printf("%s\n", reply);
    fflush(stdout);
    return reply[0] >= '0' && reply[0] <= '9' ? EXIT_COUNT : EXIT_CANNOT_OPEN;
}

} // namespace

int main(int argc, char **argv)
{
    const char *server = ".";
    DWORD timeoutMs = 5000;
    bool sendExit = false;
    int first = 1;
    for (; first < argc && strncmp(argv[first], "--", 2) == 0; first++) {
        const char *opt = argv[first];
        if (strcmp(opt, "--") == 0) {
            first++;
            break;
        } else if (strcmp(opt, "--exit") == 0) {
            sendExit = true;
        } else if (strcmp(opt, "--server") == 0 && first + 1 < argc) {
            server = argv[++first];
        } else if (strcmp(opt, "--timeout") == 0 && first + 1 < argc) {
            char *end = NULL;
            double seconds = strtod(argv[++first], &end);
            if (*end != '\0' || !(seconds > 0 && seconds < 86400))
                return Usage();
            timeoutMs = (DWORD)(seconds * 1000);
        } else {
            return Usage();
        }
    }

    if (sendExit) {
        if (first != argc)
            return Usage();
        return Send(server, "exit", 4) ? EXIT_COUNT : EXIT_ERROR;
    }
    if (first == argc)
        return Usage();

    // Replies are broadcast to every holder of the reply slot name, so this
    // client must hold it while it waits.
    HANDLE hReply = CreateMailslotA(kReplySlot, 0, 0, NULL);
    if (hReply == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_ALREADY_EXISTS)
            fprintf(stderr, "mailslot-client: another program already holds the reply slot %s: "
                            "close it and try again\n", kReplySlot);
        else
            fprintf(stderr, "mailslot-client: cannot create the reply slot %s (error %lu)\n",
                    kReplySlot, (unsigned long)GetLastError());
        return EXIT_ERROR;
    }

    int status = EXIT_COUNT;
    for (int i = first; i < argc; i++) {
        int one = Ask(server, hReply, argv[i], timeoutMs);
        if (one > status)
            status = one;
    }
    CloseHandle(hReply);
    return status;
}
