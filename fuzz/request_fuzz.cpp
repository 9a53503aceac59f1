// A request's bytes, as any local account can send them, through one pass of
// the request loop. Every message must leave the loop serving, the slot
// empty, the log holding exactly the lines the loop writes for it (each
// ending in CR LF), and a reply, when one is due, that is its text and one
// NUL within one broadcast.
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "fuzz_root.h"
#include "mailslot/mailslot.h"
#include "mailslot/request_loop.h"

namespace {

constexpr size_t kReplyPathMax = 400; // the most of a path a reply echoes

std::string g_log;
int g_sender = -1;
HANDLE g_reply = INVALID_HANDLE_VALUE;

std::string ReadLog()
{
    std::ifstream in(g_log, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The one reply waiting on our reply slot, if any.
bool TakeReply(std::string *reply)
{
    DWORD next = 0, count = 0;
    if (!GetMailslotInfo(g_reply, NULL, &next, &count, NULL))
        FuzzFail("GetMailslotInfo on the reply slot", std::to_string(GetLastError()));
    if (count == 0)
        return false;
    if (count > 1)
        FuzzFail("more than one reply", std::to_string(count));
    char buffer[MAX_REPLY_SIZE + 1];
    DWORD cbRead = 0;
    if (!ReadFile(g_reply, buffer, sizeof buffer, &cbRead, NULL))
        FuzzFail("ReadFile on the reply slot", std::to_string(GetLastError()));
    reply->assign(buffer, cbRead);
    return true;
}

bool AllDigits(const std::string &text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

void Expect(bool ok, const char *what, const std::string &detail)
{
    if (!ok)
        FuzzFail(what, detail);
}

// Text from a request as the log shows it: control characters escaped as C
// writes them.
std::string Logged(const std::string &text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c != 0x7f)
            out += char(c);
        else if (c == '\r' || c == '\n' || c == '\t')
            out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\t";
        else
            out += std::string("\\x") + hex[c >> 4] + hex[c & 15];
    }
    return out;
}

void CheckAnswered(const std::string &request, PassResult result, const std::string &log,
                   bool replied, const std::string &reply)
{
    const std::string logged = Logged(request);
    const std::string received = "Received: <" + logged + ">\n\r\n";
    Expect(result == PASS_PAUSE, "a path request pauses", request);
    Expect(replied, "a path request is answered", request);
    Expect(!reply.empty() && reply.size() <= MAX_REPLY_SIZE, "reply fits one broadcast", reply);
    Expect(reply.back() == '\0', "reply ends in NUL", reply);
    Expect(memchr(reply.data(), '\0', reply.size()) == reply.data() + reply.size() - 1,
           "reply holds one NUL", reply);
    const std::string text = reply.substr(0, reply.size() - 1);
    const std::string sent = "Bytes sent " + std::to_string(reply.size()) + "\n\r\n";
    if (AllDigits(text)) {
        Expect(log == received + "(Server): file:" + logged + ", spaces = " + text + "\n\r\n" + sent,
               "count lines", log);
        return;
    }
    std::string whole = "(Server)Can't open " + request + "!";
    std::string shortened = "(Server)Can't open " + request.substr(0, kReplyPathMax) + "...!";
    Expect(text == (whole.size() + 1 <= MAX_REPLY_SIZE ? whole : shortened), "cannot-open reply",
           text);
    Expect(log == received + "(Server)Can't open " + logged + "!\r\n" + sent, "cannot-open lines",
           log);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string root = MakeFuzzRoot();
    g_log = root + "/drive_c/ZQ_logfile.log";
    if (InitMailslot() != 0)
        FuzzFail("InitMailslot", ReadLog());
    g_reply = CreateMailslotA("\\\\.\\mailslot\\$Channel2$", 0, 0, NULL);
    if (g_reply == INVALID_HANDLE_VALUE)
        FuzzFail("reply slot", std::to_string(GetLastError()));

    // Requests go in as raw datagrams, as any local program may send them.
    g_sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::string slot = root + "/mailslot/$Channel1$";
    strncpy(address.sun_path, slot.c_str(), sizeof address.sun_path - 1);
    if (connect(g_sender, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        FuzzFail("connect to the server slot", slot);
    int sndbuf = 1 << 20;
    setsockopt(g_sender, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    truncate(g_log.c_str(), 0);
    if (send(g_sender, data, size, MSG_DONTWAIT) != (ssize_t)size)
        FuzzFail("send", std::to_string(size));

    char szBuf[REQUEST_SIZE + 1] = {};
    char message[MESSAGE_SIZE] = {};
    PassResult result = ServeOnePass(szBuf, message, sizeof message);

    std::string log = ReadLog();
    std::string reply;
    bool replied = TakeReply(&reply);
    DWORD left = 0;
    Expect(GetMailslotInfo(hMailslot, NULL, NULL, &left, NULL) && left == 0,
           "the message leaves the slot", std::to_string(left));
    Expect(hSendSlot == INVALID_HANDLE_VALUE, "the reply handle is closed", "");

    const char *bytes = reinterpret_cast<const char *>(data);
    if (size > REQUEST_SIZE) {
        Expect(result == PASS_PAUSE && log == "ReadFile: Error 122\n\r\n" && !replied,
               "long message refused", log);
    } else {
        std::string request(bytes, strnlen(bytes, size));
        if (request == "exit")
            Expect(result == PASS_AT_ONCE && !replied &&
                       log == "Received: <exit>\n\r\nClient exited!\n\r\n",
                   "exit", log);
        else
            CheckAnswered(request, result, log, replied, reply);
    }
    return 0;
}
