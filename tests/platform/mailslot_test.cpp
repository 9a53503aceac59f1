// Mailslots: names, whole messages, counts, timeouts and broadcasts.
#include <ctype.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_root.h"
#include "wine.h"

class Mailslot : public PlatformTest {
protected:
    void TearDown() override
    {
        if (slot_ != INVALID_HANDLE_VALUE)
            CloseHandle(slot_);
        if (writer_ != INVALID_HANDLE_VALUE)
            CloseHandle(writer_);
        PlatformTest::TearDown();
    }
    // Creates the test's mailslot and a direct writer to it.
    void create(DWORD timeout = 0)
    {
        slot_ = CreateMailslotA(name_.c_str(), 0, timeout, nullptr);
        ASSERT_NE(slot_, INVALID_HANDLE_VALUE) << GetLastError();
        writer_ = open_slot_writer(name_);
        ASSERT_NE(writer_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void expect_waiting(DWORD count, DWORD next_size)
    {
        DWORD next = 0, waiting = 0;
        ASSERT_TRUE(GetMailslotInfo(slot_, nullptr, &next, &waiting, nullptr));
        EXPECT_EQ(waiting, count);
        EXPECT_EQ(next, next_size);
    }
    const std::string name_ = slot_name();
    HANDLE slot_ = INVALID_HANDLE_VALUE;
    HANDLE writer_ = INVALID_HANDLE_VALUE;
};

TEST_F(Mailslot, NameHasOneHolderAtATime)
{
    create();
    EXPECT_EQ(GetLastError(), DWORD(NO_ERROR));
    EXPECT_EQ(CreateMailslotA(name_.c_str(), 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    // The mailslot lives on while any handle to it is open.
    EXPECT_TRUE(CloseHandle(writer_));
    writer_ = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(CloseHandle(slot_));
    slot_ = CreateMailslotA(name_.c_str(), 0, 0, nullptr);
    EXPECT_NE(slot_, INVALID_HANDLE_VALUE);
}

TEST_F(Mailslot, NamesIgnoreCase)
{
    create();
    std::string upper = name_, lower = name_;
    for (size_t i = 0; i < name_.size(); ++i) {
        upper[i] = char(toupper((unsigned char)name_[i]));
        lower[i] = char(tolower((unsigned char)name_[i]));
    }
    EXPECT_EQ(CreateMailslotA(upper.c_str(), 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    CloseHandle(writer_); // one writer at a time: Wine refuses a second one's share mode
    writer_ = INVALID_HANDLE_VALUE;
    HANDLE other_case = open_slot_writer(lower);
    ASSERT_NE(other_case, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(write(other_case, "any case"));
    CloseHandle(other_case);
    EXPECT_EQ(read(slot_), "any case");
}

TEST_F(Mailslot, RacingCreatorsGetOneSlot)
{
    std::atomic<int> created{0}, refused{0};
    std::vector<HANDLE> handles(8, INVALID_HANDLE_VALUE);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < handles.size(); ++i) {
        threads.emplace_back([&, i] {
            handles[i] = CreateMailslotA(name_.c_str(), 0, 0, nullptr);
            if (handles[i] != INVALID_HANDLE_VALUE)
                ++created;
            else if (GetLastError() == ERROR_ALREADY_EXISTS)
                ++refused;
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(created.load(), 1);
    EXPECT_EQ(refused.load(), 7);
    for (HANDLE h : handles)
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
}

TEST_F(Mailslot, DirectOpenNeedsAHolder)
{
    EXPECT_EQ(open_slot_writer(name_), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(Mailslot, CountsAndSizesAreExact)
{
    SKIP_UNDER_WINE("counts at most one waiting message and drops empty ones");
    create();
    expect_waiting(0, MAILSLOT_NO_MESSAGE);
    ASSERT_TRUE(write(writer_, "a"));
    ASSERT_TRUE(write(writer_, "bcd"));
    ASSERT_TRUE(write(writer_, ""));
    expect_waiting(3, 1);
    EXPECT_EQ(read(slot_), "a");
    expect_waiting(2, 3);
    EXPECT_EQ(read(slot_), "bcd");
    expect_waiting(1, 0); // the empty message is a message
    EXPECT_EQ(read(slot_), "");
    expect_waiting(0, MAILSLOT_NO_MESSAGE);
}

TEST_F(Mailslot, MessageTooBigForTheBufferStaysAtTheHead)
{
    SKIP_UNDER_WINE("cuts a message to the buffer instead of failing the read");
    create();
    ASSERT_TRUE(write(writer_, "0123456789"));
    char small[4];
    DWORD done = 99;
    EXPECT_FALSE(ReadFile(slot_, small, sizeof small, &done, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(done, 0u);
    expect_waiting(1, 10);
    EXPECT_EQ(read(slot_), "0123456789");
}

TEST_F(Mailslot, ReadTimesOut)
{
    create(0);
    EXPECT_EQ(read(slot_), "<error 121>"); // ERROR_SEM_TIMEOUT, at once
    CloseHandle(writer_);
    writer_ = INVALID_HANDLE_VALUE;
    CloseHandle(slot_);

    slot_ = CreateMailslotA(name_.c_str(), 0, 200, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE);
    DWORD start = GetTickCount();
    EXPECT_EQ(read(slot_), "<error 121>");
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, 150u);
    EXPECT_LT(waited, 5000u);
}

TEST_F(Mailslot, ThisMachinesNameReachesTheSlot)
{
    SKIP_UNDER_WINE("cannot open a slot by the machine's name (ERROR_PATH_NOT_FOUND)");
    create();
    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof computer;
    ASSERT_TRUE(GetComputerNameA(computer, &size));
    HANDLE by_name = open_slot_writer(slot_name(computer));
    ASSERT_NE(by_name, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(write(by_name, "hi"));
    CloseHandle(by_name);
    EXPECT_EQ(read(slot_), "hi");
}

TEST_F(Mailslot, BroadcastWithoutHolderIsNotAnError)
{
    SKIP_UNDER_WINE("has no domain broadcast");
    HANDLE broadcast = open_slot_writer(slot_name("*"));
    ASSERT_NE(broadcast, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    EXPECT_TRUE(WriteFile(broadcast, "lost", 4, &done, nullptr));
    EXPECT_EQ(done, 4u);
    CloseHandle(broadcast);
}

TEST_F(Mailslot, BroadcastReachesTheLocalHolderUpTo424Bytes)
{
    SKIP_UNDER_WINE("has no domain broadcast");
    create();
    HANDLE broadcast = open_slot_writer(slot_name("*"));
    ASSERT_NE(broadcast, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(write(broadcast, std::string(424, 'b')));
    DWORD done = 99;
    std::string too_big(425, 'b');
    EXPECT_FALSE(WriteFile(broadcast, too_big.data(), DWORD(too_big.size()), &done, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_NETPATH));
    CloseHandle(broadcast);
    expect_waiting(1, 424);
}
