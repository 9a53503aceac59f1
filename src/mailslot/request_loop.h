// One pass of the request loop: what RunMailslotServer repeats, reachable on
// its own so a test can feed it one message at a time.
#ifndef MAILSLOT_REQUEST_LOOP_H
#define MAILSLOT_REQUEST_LOOP_H

#include <stddef.h>

enum {
    REQUEST_SIZE = 512, // the receive buffer: the longest request
    MESSAGE_SIZE = 640  // room for any line composed around a whole request
};

// Stopped: the loop must return; at once: serve the next message without a
// pause; pause: wait a poll interval first.
enum PassResult { PASS_STOPPED, PASS_AT_ONCE, PASS_PAUSE };

// Takes at most one message off the server slot and answers it. szBuf holds
// REQUEST_SIZE + 1 zero bytes; message has cbMessage (MESSAGE_SIZE) bytes.
PassResult ServeOnePass(char *szBuf, char *message, size_t cbMessage);

#endif
