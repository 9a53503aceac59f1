#include "posix_child.h"

#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "platform/platform.h"
#include "support/child.h"
#include "support/slots.h"

namespace {

const char *kActionVariable = "W32_TEST_CHILD_ACTION";
const char *kArgVariable = "W32_TEST_CHILD_ARG";

int error_exit_code()
{
    DWORD error = GetLastError();
    return error == 0 ? 1 : (error > 125 ? 125 : int(error));
}

// Binds a socket at `path` and closes it: a socket file nobody listens on.
int plant_dead_socket(const char *path)
{
    int fd = BindSocket(path, SOCK_DGRAM);
    return fd < 0 ? -1 : close(fd);
}

int plant(const std::string &what)
{
    size_t colon = what.find(':');
    std::string kind = what.substr(0, colon);
    const char *path = what.c_str() + colon + 1;
    int rc = -1;
    if (kind == "file")
        rc = close(open(path, O_WRONLY | O_CREAT | O_EXCL, 0644));
    else if (kind == "link")
        rc = symlink("/etc/passwd", path);
    else if (kind == "socket")
        rc = plant_dead_socket(path);
    else if (kind == "dir")
        rc = mkdir(path, 0755);
    return rc == 0 ? 0 : 1;
}

int send_to_holder(const char *abstract_name)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    size_t length = strlen(abstract_name);
    memcpy(address.sun_path + 1, abstract_name, length);
    const char message[] = "Dforged";
    ssize_t sent = sendto(fd, message, sizeof message - 1, 0, reinterpret_cast<sockaddr *>(&address),
                          socklen_t(offsetof(sockaddr_un, sun_path) + 1 + length));
    return sent == ssize_t(sizeof message - 1) ? 0 : 1;
}

int create_slot_and_use_it(const char *name)
{
    HANDLE slot = CreateMailslotA(name, 0, 0, nullptr);
    if (slot == INVALID_HANDLE_VALUE)
        return error_exit_code();
    HANDLE writer = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD done = 0;
    if (writer == INVALID_HANDLE_VALUE || !WriteFile(writer, "hello", 5, &done, nullptr))
        return error_exit_code();
    char text[16];
    if (!ReadFile(slot, text, sizeof text, &done, nullptr))
        return error_exit_code();
    return std::string(text, done) == "hello" ? 0 : 1;
}

int perform(ChildAction action, const char *arg)
{
    switch (action) {
    case ChildAction::OpenExclusive:
    case ChildAction::OpenShared: {
        DWORD share = action == ChildAction::OpenShared ? FILE_SHARE_READ : 0;
        HANDLE h = CreateFileA(arg, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        return h == INVALID_HANDLE_VALUE ? error_exit_code() : 0;
    }
    case ChildAction::WriteSlot: {
        HANDLE h = CreateFileA(arg, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD done = 0;
        if (h == INVALID_HANDLE_VALUE || !WriteFile(h, "hello", 5, &done, nullptr))
            return error_exit_code();
        return 0;
    }
    case ChildAction::HoldSlot:
        if (CreateMailslotA(arg, 0, 0, nullptr) == INVALID_HANDLE_VALUE)
            return error_exit_code();
        for (;;)
            pause();
    case ChildAction::CreateSlot:
        return create_slot_and_use_it(arg);
    case ChildAction::Plant:
        return plant(arg);
    case ChildAction::SendToHolder:
        return send_to_holder(arg);
    case ChildAction::Flood: {
        HANDLE h = CreateFileA(arg, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD done = 0;
        for (int i = 0; i < 2000 && h != INVALID_HANDLE_VALUE; i++)
            WriteFile(h, "flood", 5, &done, nullptr);
        return h == INVALID_HANDLE_VALUE ? error_exit_code() : 0;
    }
    }
    return kChildDidNotRun;
}

// In a child, act before the test framework starts, and never return.
[[maybe_unused]] const bool g_is_child = [] {
    const char *action = getenv(kActionVariable);
    const char *arg = getenv(kArgVariable);
    if (!action || !arg)
        return false;
    _exit(perform(ChildAction(atoi(action)), arg));
}();

pid_t spawn(ChildAction action, const std::string &arg, bool as_nobody)
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return -1;
    self[length] = '\0';
    return Spawn({self}, "", as_nobody, [&] {
        return setenv(kActionVariable, std::to_string(int(action)).c_str(), 1) == 0 &&
               setenv(kArgVariable, arg.c_str(), 1) == 0;
    }).pid;
}

} // namespace

int run_child(ChildAction action, const std::string &arg, bool as_nobody)
{
    pid_t pid = spawn(action, arg, as_nobody);
    int code = pid < 0 ? -1 : WaitChild(pid, 60);
    // 126 and 127: the child could not be set up or executed (e.g. by nobody).
    return code < 0 || code == 126 ? kChildDidNotRun : code;
}

pid_t start_child(ChildAction action, const std::string &arg)
{
    return spawn(action, arg, false);
}
