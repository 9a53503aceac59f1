// A stop that comes as soon as the service reports SERVICE_RUNNING, before
// ServiceMain has logged that it started: the stop's last line stays the
// last. The layer's own dispatcher runs the service here, with this test
// as its manager.
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "platform/posix/service_channel.h"
#include "program_fixture.h"
#include "service/service.h"

namespace {

int g_manager = -1;
std::string g_root;
std::promise<void> g_mainReturned;

// Stops the service from the dispatcher thread, as the manager would, and
// waits until the stop sequence has logged its last line.
void StopNow()
{
    ChannelMessage stop = {};
    stop.kind = kChannelControl;
    stop.value[0] = SERVICE_CONTROL_STOP;
    EXPECT_EQ(send(g_manager, &stop, sizeof stop, 0), (ssize_t)sizeof stop);
    WaitForText(LogPath(g_root), "MailSlot Service stopped!\r\n", 5);
}

void WINAPI RunServiceMain(DWORD dwArgc, LPSTR *lpszArgv)
{
    ServiceMain(dwArgc, lpszArgv);
    g_mainReturned.set_value();
}

TEST(ServiceStart, AStopRightAfterTheRunningReportLeavesNoLineAfterTheStop)
{
    MachineRoot machine(0755);
    g_root = machine.path();
    int channel[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel), 0);
    g_manager = channel[0];
    setenv(kChannelVariable, std::to_string(channel[1]).c_str(), 1);
    pfnRunningReported = StopNow;

    SERVICE_TABLE_ENTRYA table[] = {{(LPSTR) "Sample service", RunServiceMain}, {NULL, NULL}};
    EXPECT_TRUE(StartServiceCtrlDispatcherA(table)); // until SERVICE_STOPPED
    EXPECT_EQ(g_mainReturned.get_future().wait_for(std::chrono::seconds(5)),
              std::future_status::ready);
    EXPECT_EQ(ReadWholeFile(LogPath(g_root)),
              "MailSlot Service starting...\r\nMailslot created\n\r\n"
              "MailSlot Service stopping...\r\nMailslot closed!\r\nMailSlot Service stopped!\r\n");

    pfnRunningReported = NULL;
    close(channel[0]);
    close(channel[1]);
}

} // namespace
