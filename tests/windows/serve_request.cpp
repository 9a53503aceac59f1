// serve_request: one pass of the service's request loop, for one request,
// with the reply sent to a slot on this machine: Wine has no domain
// broadcast, so under Wine the service itself never gets as far as opening
// the requested file. Logs to the service's log as the service does.
//
//   serve_request REQUEST
//
// Prints the reply's text. Exit status: 0, or 1 when no reply came (the
// reason is printed).
#include <stdio.h>
#include <string.h>

#include "mailslot/mailslot.h"
#include "mailslot/request_loop.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: serve_request REQUEST\n");
        return 1;
    }
    szSendSlotName = "\\\\.\\mailslot\\$Channel2$";
    HANDLE hReply = CreateMailslotA(szSendSlotName, 0, 0, NULL);
    if (hReply == INVALID_HANDLE_VALUE || InitMailslot() != 0) {
        fprintf(stderr, "serve_request: cannot create the slots: error %lu\n",
                (unsigned long)GetLastError());
        return 1;
    }

    HANDLE hServer = CreateFileA(szSlotName, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                 0, NULL);
    DWORD cbWritten = 0;
    WriteFile(hServer, argv[1], (DWORD)strlen(argv[1]), &cbWritten, NULL);
    CloseHandle(hServer);

    char szBuf[REQUEST_SIZE + 1] = {0};
    char message[MESSAGE_SIZE] = {0};
    ServeOnePass(szBuf, message, sizeof message);

    char reply[MAX_REPLY_SIZE + 1] = {0};
    DWORD cbRead = 0;
    BOOL fReplied = ReadFile(hReply, reply, MAX_REPLY_SIZE, &cbRead, NULL);
    CloseMailslot();
    CloseHandle(hReply);
    if (!fReplied) {
        fprintf(stderr, "serve_request: no reply: error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    printf("%s\n", reply);
    return 0;
}
