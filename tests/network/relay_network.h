// The fixture of the relay's network tests: three hosts (see netns_hosts.h)
// and what the tests do on them, with the helpers that read what the relay
// delivers and counts.
#ifndef TESTS_NETWORK_RELAY_NETWORK_H
#define TESTS_NETWORK_RELAY_NETWORK_H

#include <gtest/gtest.h>

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "netns_hosts.h"
#include "support/wait.h"

inline std::string Hex(const std::string &text)
{
    std::string hex;
    char two[3];
    for (unsigned char c : text) {
        snprintf(two, sizeof two, "%02x", c);
        hex += two;
    }
    return hex;
}

// What slot_reader prints for one message.
inline std::string Delivered(const std::string &text)
{
    return std::to_string(text.size()) + " " + Hex(text) + "\n";
}

// How many lines of `text` hold `part`.
inline int Lines(const std::string &text, const std::string &part)
{
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line.find(part) != std::string::npos;
    return count;
}

// One figure of a counters line: the number after `label`.
inline uint64_t CounterOf(const std::string &line, const std::string &label)
{
    size_t at = line.find(label + " ");
    return at == std::string::npos ? ~0ull
                                   : strtoull(line.c_str() + at + label.size() + 1, nullptr, 10);
}

class RelayNetwork : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string missing = MissingForNetworkTests();
        if (!missing.empty()) {
            if (getenv("CI") && std::string(getenv("CI")) == "true")
                FAIL() << missing << ": CI must run the network tests";
            GTEST_SKIP() << missing;
        }
        net_ = std::make_unique<TestNetwork>(3);
        a_ = &net_->host(0);
        b_ = &net_->host(1);
        c_ = &net_->host(2);
    }

    RunResult Nmblookup(const std::string &name)
    {
        return net_->Run(*c_, {"nmblookup", "-B", TestNetwork::kBroadcast, name});
    }

    RunResult Request(const Host &h, const std::string &header, const std::string &data)
    {
        return net_->Run(h, {RELAY_REQUEST_PATH, header, data});
    }

    Spawned HoldSlot(const Host &h, const std::string &slot)
    {
        Spawned reader = net_->Start(h, {SLOT_READER_PATH, slot});
        EXPECT_TRUE(WaitForText(reader.outPath, "ready\n", 10)) << ReadWholeFile(reader.errPath);
        return reader;
    }

    // Writes `messages` to `name` through the layer on `h` (slot_writer).
    std::string Write(const Host &h, const std::string &name, std::vector<std::string> messages,
                      bool as_nobody = false)
    {
        std::vector<std::string> argv = {SLOT_WRITER_PATH, name};
        argv.insert(argv.end(), messages.begin(), messages.end());
        return Wait(net_->Start(h.ns, h.hostname, h.root, argv, as_nobody), 20).out;
    }

    // The service on `h` under `svcctl run`, once its slot is there.
    Spawned StartService(const Host &h)
    {
        EXPECT_EQ(net_->Run(h, {SVCCTL_PATH, "create", "Sample service", SERVICE_PATH}).exitCode, 0);
        Spawned service = net_->Start(h, {SVCCTL_PATH, "run", "Sample service"});
        EXPECT_TRUE(WaitUntil(
            [&] { return std::filesystem::exists(h.root + "/mailslot/$Channel1$"); }, 10));
        return service;
    }

    // The relay's counters, as it prints them on SIGUSR1 (after
    // "mailslot-relay: ").
    std::string Counters(const Spawned &relay)
    {
        size_t before = ReadWholeFile(relay.errPath).size();
        Signal(relay, SIGUSR1);
        EXPECT_TRUE(WaitForText(relay.errPath, "malformed", 5));
        for (int i = 0; i < 100; ++i) {
            std::string err = ReadWholeFile(relay.errPath);
            size_t line = err.find("delivered", before);
            if (line != std::string::npos && err.find('\n', line) != std::string::npos)
                return err.substr(line, err.find('\n', line) - line);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return "";
    }

    // Waits until the relay's counters read `expected`; the last reading.
    std::string CountersBecome(const Spawned &relay, const std::string &expected)
    {
        std::string got;
        WaitUntil([&] { return (got = Counters(relay)) == expected; }, 5, 50);
        return got;
    }

    std::unique_ptr<TestNetwork> net_;
    Host *a_ = nullptr;
    Host *b_ = nullptr;
    Host *c_ = nullptr;
};

#endif
