// The mailslot server: its two channels, and the loop that answers requests.
#ifndef MAILSLOT_MAILSLOT_H
#define MAILSLOT_MAILSLOT_H

#include "platform/platform.h"

// Requests come in on the server's own slot; replies go by broadcast to every
// reply slot of the domain.
extern const char *szSlotName;
extern const char *szSendSlotName;

// Replies travel by domain broadcast, which carries at most this many bytes.
// A cannot-open reply that would not fit names only the start of the path,
// REPLY_PATH_MAX bytes of it, followed by "...". Clients rely on both to
// recognise the reply to a long path.
enum { MAX_REPLY_SIZE = 424, REPLY_PATH_MAX = 400 };

extern HANDLE hMailslot; // the server slot, from start-up to the stop
extern HANDLE hSendSlot; // the reply slot, open while one request is answered

// Creates the server slot and opens it to every local account.
// Returns 0, or -1 after logging the failure.
int InitMailslot(void);

// Closes the server slot and logs it; no effect on a slot never created.
void CloseMailslot(void);

// Answers requests until StopMailslotServer is called, then returns.
void RunMailslotServer(void);

// Tells the request loop to stop. Once this returns, the loop makes no further
// call on the server slot and writes no further log line, so the slot can be
// closed. It never waits for a request in progress.
void StopMailslotServer(void);

#endif
