// mailslot-client: sends file paths to the mailslot service and prints the
// space counts it sends back.
//
//   mailslot-client [--server HOST] [--timeout SECONDS] PATH...
//   mailslot-client [--server HOST] --exit
//   mailslot-client --help
//
// Exit status: 0 for a count, 1 when the service could not open a file, 2 for
// no reply that is provably this request's, or any other error.
//
// Replies carry no request id and reach every holder of the reply slot, so a
// reply is this request's only when nothing else could be: each path is sent
// between two markers, requests the service cannot open and nobody else can
// predict. The service answers in the order its slot delivers, so the path's
// answer lies between the replies naming the two markers; it is taken only
// when it is the one reply there that could be a path's (a count, or the
// cannot-open reply naming this path). Anything else - a reply to an earlier
// client that gave up, another client's count, a forged one - leaves either
// nothing or more than one such reply, and the path is sent again between
// fresh markers until the time runs out.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client_platform.h"
#include "mailslot/mailslot.h"
#include "mailslot/request_loop.h"
#include "platform/platform.h"

namespace {

const char kReplySlot[] = "\\\\.\\mailslot\\$Channel2$";
const DWORD kPollMs = 10;
const DWORD kDefaultTimeoutMs = 5000;
// Another try needs time to be sent and answered: with less left, the
// client reports that no reply was provably its own instead.
const DWORD kLeastTryMs = 100;
const size_t kMarkerSize = 128;
const size_t kRandomBytes = 16;
// Room for the cannot-open text of the longest request, before it is
// shortened to fit a reply.
const size_t kReplyTextSize = sizeof "(Server)Can't open !" + REQUEST_SIZE;

enum ExitCode { EXIT_COUNT = 0, EXIT_CANNOT_OPEN = 1, EXIT_ERROR = 2 };

void PrintUsage(FILE *to)
{
    fprintf(to, "usage: mailslot-client [--server HOST] [--timeout SECONDS] PATH...\n"
                "       mailslot-client [--server HOST] --exit\n"
                "       mailslot-client --help\n");
}

int Usage(void)
{
    PrintUsage(stderr);
    return EXIT_ERROR;
}

struct Client {
    const char *server;
    HANDLE hReply;
    DWORD timeoutMs;
    // The marker whose reply opens the next path's window, once that reply
    // has been read; empty when the next path needs a fresh leading marker.
    char leading[kMarkerSize];
};

// A request the service can never open, as a device-namespace name that is
// no drive and no share, and that nobody else can predict.
bool MakeMarker(char *marker, size_t cbMarker)
{
    unsigned char random[kRandomBytes];
    if (!RtlGenRandom(random, sizeof random)) {
        fprintf(stderr, "mailslot-client: the system's random source failed\n");
        return false;
    }
    char host[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD cbHost = sizeof host;
    if (!GetComputerNameA(host, &cbHost))
        strcpy(host, "-");
    int cb = snprintf(marker, cbMarker, "\\\\?\\mailslot-client\\%s\\%lu\\", host,
                      (unsigned long)GetCurrentProcessId());
    for (size_t i = 0; i < sizeof random; i++)
        cb += snprintf(marker + cb, cbMarker - cb, "%02x", random[i]);
    return true;
}

// The reply the service sends when it cannot open path, shortened as the
// service shortens it when it would not fit one broadcast.
void CannotOpenReply(const char *path, char *reply, size_t cbReply)
{
    snprintf(reply, cbReply, "(Server)Can't open %s!", path);
    if (strlen(reply) + 1 > MAX_REPLY_SIZE)
        snprintf(reply, cbReply, "(Server)Can't open %.*s...!", (int)REPLY_PATH_MAX, path);
}

// Whether a message is exactly text and its NUL.
bool IsExactly(const char *message, DWORD cb, const char *text)
{
    return cb == strlen(text) + 1 && memcmp(message, text, cb) == 0;
}

bool IsCount(const char *message, DWORD cb)
{
    if (cb < 2 || message[cb - 1] != '\0')
        return false;
    for (DWORD i = 0; i + 1 < cb; i++)
        if (message[i] < '0' || message[i] > '9')
            return false;
    return true;
}

HANDLE OpenServerSlot(const char *server, char *slot, size_t cbSlot)
{
    snprintf(slot, cbSlot, "\\\\%s\\mailslot\\$Channel1$", server);
    HANDLE h = CreateFileA(slot, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND)
            fprintf(stderr, "mailslot-client: no server is listening on %s: start the service "
                            "and try again\n", slot);
        else if (err == ERROR_SEM_TIMEOUT)
            fprintf(stderr, "mailslot-client: %s had no room for the request: the service is "
                            "busy; try again\n", slot);
        else if (err == ERROR_BAD_NETPATH)
            fprintf(stderr, "mailslot-client: cannot reach %s (error 53): no host of that name "
                            "answers, or nothing here carries mailslots to other machines (on "
                            "Linux, mailslot-relay)\n", server);
        else
            fprintf(stderr, "mailslot-client: cannot open %s (error %lu)\n", slot,
                    (unsigned long)err);
    }
    return h;
}

// Sends each text, without a NUL, as one message, in order, over one handle:
// one writer's messages keep their order in the slot. Opening and each
// write wait for room in a full slot at most waitMs.
bool Send(const char *server, const char *const *texts, int count, DWORD waitMs)
{
    char slot[MAX_PATH];
    LimitSlotWaits(waitMs);
    HANDLE h = OpenServerSlot(server, slot, sizeof slot);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    for (int i = 0; i < count && ok; i++) {
        DWORD cb = (DWORD)strlen(texts[i]), cbWritten = 0;
        ok = WriteFile(h, texts[i], cb, &cbWritten, NULL) && cbWritten == cb;
        if (!ok && GetLastError() == ERROR_BAD_NETPATH)
            fprintf(stderr, "mailslot-client: sending to %s failed (error 53): the host no "
                            "longer answers, or the %lu bytes are more than the 424 a message to "
                            "another machine carries\n", slot, (unsigned long)cb);
        else if (!ok && GetLastError() == ERROR_SEM_TIMEOUT)
            fprintf(stderr, "mailslot-client: %s had no room for the request within %g s: the "
                            "service is busy; try again\n", slot, waitMs / 1000.0);
        else if (!ok)
            fprintf(stderr, "mailslot-client: sending to %s failed (error %lu)\n", slot,
                    (unsigned long)GetLastError());
    }
    CloseHandle(h);
    return ok;
}

enum Wait { GOT_REPLY, TIMED_OUT, SLOT_FAILED };

// Takes the next message off the reply slot, waiting until timeoutMs have
// passed since start. message has room for MAX_REPLY_SIZE bytes; the slot
// takes no larger message.
Wait NextReply(HANDLE hReply, char *message, DWORD *cb, DWORD start, DWORD timeoutMs)
{
    for (;;) {
        DWORD cbNext = 0, cMessages = 0;
        if (!GetMailslotInfo(hReply, NULL, &cbNext, &cMessages, NULL))
            return SLOT_FAILED;
        if (cMessages > 0)
            return ReadFile(hReply, message, MAX_REPLY_SIZE, cb, NULL) ? GOT_REPLY : SLOT_FAILED;
        if (GetTickCount() - start >= timeoutMs)
            return TIMED_OUT;
        Sleep(kPollMs);
    }
}

enum Outcome { PROVEN, NOT_PROVEN, NO_WINDOW, FAILED };

// Reads the window between the replies naming the leading and the trailing
// marker; opened says the leading marker's reply has been read already.
// PROVEN leaves the one reply that can be the path's in answer (MAX_REPLY_SIZE
// + 1 bytes). Copies of one message count once: a broadcast may arrive once
// per network transport, and a copy of the answer cannot change it.
Outcome ReadWindow(const Client *client, const char *leading, bool opened, const char *path,
                   const char *trailing, DWORD start, char *answer)
{
    char ownReply[kReplyTextSize], leadingReply[kReplyTextSize], trailingReply[kReplyTextSize];
    CannotOpenReply(path, ownReply, sizeof ownReply);
    CannotOpenReply(leading, leadingReply, sizeof leadingReply);
    CannotOpenReply(trailing, trailingReply, sizeof trailingReply);
    int candidates = 0;
    bool wellFormed = false;
    char message[MAX_REPLY_SIZE + 1];
    DWORD cb = 0, cbAnswer = 0;
    for (;;) {
        Wait wait = NextReply(client->hReply, message, &cb, start, client->timeoutMs);
        if (wait == SLOT_FAILED) {
            fprintf(stderr, "mailslot-client: reading the reply slot failed (error %lu)\n",
                    (unsigned long)GetLastError());
            return FAILED;
        }
        if (wait == TIMED_OUT)
            return opened ? NOT_PROVEN : NO_WINDOW;
        message[cb] = '\0';
        if (!opened) {
            // Replies before it answer requests sent before this window.
            opened = IsExactly(message, cb, leadingReply);
            continue;
        }
        if (IsExactly(message, cb, trailingReply))
            return candidates == 1 && wellFormed ? PROVEN : NOT_PROVEN;
        // Whatever starts as a count or names this path is a candidate, well
        // formed or not; other clients' cannot-open replies are not.
        bool candidate = (message[0] >= '0' && message[0] <= '9') || strcmp(message, ownReply) == 0;
        if (candidate && !(candidates > 0 && cb == cbAnswer && memcmp(message, answer, cb) == 0)) {
            candidates++;
            wellFormed = IsCount(message, cb) || IsExactly(message, cb, ownReply);
            memcpy(answer, message, cb + 1);
            cbAnswer = cb;
        }
    }
}

int Ask(Client *client, const char *path)
{
    char full[REQUEST_SIZE + 1];
    DWORD cb = GetFullPathNameA(path, sizeof full, full, NULL);
    if (cb == 0) {
        fprintf(stderr, "mailslot-client: cannot make %s absolute\n", path);
        return EXIT_ERROR;
    }
    // The service takes requests of up to REQUEST_SIZE bytes, with or without
    // a NUL of their own. A longer path did not fit: cb is the size it needs.
    if (cb > REQUEST_SIZE) {
        fprintf(stderr, "mailslot-client: %s made absolute is longer than the %d bytes a "
                        "request holds\n", path, (int)REQUEST_SIZE);
        return EXIT_ERROR;
    }

    DWORD start = GetTickCount();
    char answer[MAX_REPLY_SIZE + 1];
    for (int tries = 1;; tries++) {
        // The previous path's trailing marker leads this window when its reply
        // closed the previous window; otherwise a fresh pair brackets the path.
        // Either way it leads one window only.
        char leading[kMarkerSize], trailing[kMarkerSize];
        bool opened = client->leading[0] != '\0';
        strcpy(leading, client->leading);
        client->leading[0] = '\0';
        if ((!opened && !MakeMarker(leading, sizeof leading)) ||
            !MakeMarker(trailing, sizeof trailing))
            return EXIT_ERROR;
        const char *bracket[] = {leading, full, trailing};
        DWORD spent = GetTickCount() - start;
        DWORD left = spent < client->timeoutMs ? client->timeoutMs - spent : 0;
        if (!Send(client->server, opened ? bracket + 1 : bracket, opened ? 2 : 3, left))
            return EXIT_ERROR;

        Outcome outcome = ReadWindow(client, leading, opened, full, trailing, start, answer);
        if (outcome == PROVEN) {
            strcpy(client->leading, trailing);
            printf("%s\n", answer);
            fflush(stdout);
            return answer[0] >= '0' && answer[0] <= '9' ? EXIT_COUNT : EXIT_CANNOT_OPEN;
        }
        if (outcome == FAILED)
            return EXIT_ERROR;
        if (outcome == NO_WINDOW && tries == 1) {
            fprintf(stderr, "mailslot-client: no reply for %s within %g s: is the service "
                            "running and able to reach this machine?\n",
                    full, client->timeoutMs / 1000.0);
            return EXIT_ERROR;
        }
        if (GetTickCount() - start + kLeastTryMs > client->timeoutMs) {
            fprintf(stderr, "mailslot-client: no reply for %s within %g s that was provably its "
                            "own (%d tries: other replies came between its markers, or none): "
                            "try again\n",
                    full, client->timeoutMs / 1000.0, tries);
            return EXIT_ERROR;
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    Client client = {".", INVALID_HANDLE_VALUE, kDefaultTimeoutMs, ""};
    bool sendExit = false;
    int first = 1;
    for (; first < argc && (strncmp(argv[first], "--", 2) == 0 || strcmp(argv[first], "-h") == 0);
         first++) {
        const char *opt = argv[first];
        if (strcmp(opt, "--") == 0) {
            first++;
            break;
        } else if (strcmp(opt, "--help") == 0 || strcmp(opt, "-h") == 0) {
            PrintUsage(stdout);
            return EXIT_COUNT;
        } else if (strcmp(opt, "--exit") == 0) {
            sendExit = true;
        } else if (strcmp(opt, "--server") == 0 && first + 1 < argc) {
            client.server = argv[++first];
        } else if (strcmp(opt, "--timeout") == 0 && first + 1 < argc) {
            char *end = NULL;
            double seconds = strtod(argv[++first], &end);
            if (*end != '\0' || !(seconds > 0 && seconds < 86400))
                return Usage();
            client.timeoutMs = (DWORD)(seconds * 1000);
        } else {
            return Usage();
        }
    }

    if (sendExit) {
        if (first != argc)
            return Usage();
        const char *texts[] = {"exit"};
        return Send(client.server, texts, 1, client.timeoutMs) ? EXIT_COUNT : EXIT_ERROR;
    }
    if (first == argc)
        return Usage();

    if (!MachineIsReady())
        return EXIT_ERROR;
    // Replies are broadcast to every holder of the reply slot name, so this
    // client must hold it while it waits; while another client does, it
    // waits its turn within its time. A larger message is none of the
    // service's and is refused.
    DWORD start = GetTickCount();
    for (;;) {
        client.hReply = CreateMailslotA(kReplySlot, MAX_REPLY_SIZE, 0, NULL);
        if (client.hReply != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ALREADY_EXISTS ||
            GetTickCount() - start >= client.timeoutMs)
            break;
        Sleep(kPollMs);
    }
    if (client.hReply == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_ALREADY_EXISTS)
            fprintf(stderr, "mailslot-client: another program held the reply slot %s for all of "
                            "%g s: close it and try again\n", kReplySlot,
                    client.timeoutMs / 1000.0);
        else
            fprintf(stderr, "mailslot-client: cannot create the reply slot %s (error %lu)\n",
                    kReplySlot, (unsigned long)GetLastError());
        return EXIT_ERROR;
    }

    DWORD spent = GetTickCount() - start;
    LimitSlotWaits(spent < client.timeoutMs ? client.timeoutMs - spent : 0);
    if (!TrustServer(client.server, client.hReply)) {
        CloseHandle(client.hReply);
        return EXIT_ERROR;
    }

    int status = EXIT_COUNT;
    for (int i = first; i < argc; i++) {
        int one = Ask(&client, argv[i]);
        if (one > status)
            status = one;
    }
    CloseHandle(client.hReply);
    return status;
}
