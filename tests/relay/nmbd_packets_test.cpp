// What passes on nmbd's packet socket, against bytes laid out as nmbd's own
// structs: the request, frames however the stream cuts them, what cannot be
// nmbd's; which of nmbd's names the relay delivers for; broadcast repeats.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string.h>

#include "nmbd_packets.h"

using namespace relay;

namespace {

std::vector<uint8_t> Frame(uint32_t ip, int port, const std::vector<uint8_t> &packet,
                           size_t claimed_length)
{
    NmbdFrameHeader header;
    memset(&header, 0, sizeof header);
    header.length = claimed_length;
    header.type = kNmbdDatagrams;
    header.sender_ip = htonl(ip);
    header.sender_port = port;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&header);
    std::vector<uint8_t> frame(bytes, bytes + sizeof header);
    frame.insert(frame.end(), packet.begin(), packet.end());
    return frame;
}

NetbiosName Name(const char *text, uint8_t suffix = 0)
{
    NetbiosName name;
    make_name(text, suffix, &name);
    return name;
}

} // namespace

TEST(NmbdSocket, TheRequestAsksForEveryDatagramWithoutAFilter)
{
    std::vector<uint8_t> bytes = nmbd_datagram_request();
    ASSERT_EQ(bytes.size(), sizeof(NmbdQuery));
    NmbdQuery query;
    memcpy(&query, bytes.data(), sizeof query);
    EXPECT_EQ(query.type, 1);
    EXPECT_EQ(query.filter_length, 0u);
    EXPECT_EQ(query.transaction_id, -1);
}

TEST(NmbdSocket, FramesComeWholeHoweverTheStreamIsCutAndWhatIsNotNmbdsBreaksIt)
{
    std::vector<uint8_t> stream = {0}; // nmbd accepts the request
    const std::vector<uint8_t> first = {0x11, 0x02, 0xaa}, second(576, 0x5c);
    for (const auto &frame : {Frame(0x0ad52f02, 138, first, first.size()),
                              Frame(0x0ad52f03, 40000, second, second.size())})
        stream.insert(stream.end(), frame.begin(), frame.end());

    NmbdStream reader;
    std::vector<NmbdFrame> got;
    NmbdFrame frame;
    for (uint8_t byte : stream) {
        reader.feed(&byte, 1);
        NmbdStream::Next next;
        while ((next = reader.next(&frame)) == NmbdStream::Next::Frame)
            got.push_back(frame);
        ASSERT_EQ(next, NmbdStream::Next::More);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].from, 0x0ad52f02u);
    EXPECT_EQ(got[0].port, 138);
    EXPECT_EQ(got[0].packet, first);
    EXPECT_EQ(got[1].from, 0x0ad52f03u);
    EXPECT_EQ(got[1].port, 40000);
    EXPECT_EQ(got[1].packet, second);

    NmbdStream refused;
    uint8_t no = 1;
    refused.feed(&no, 1);
    EXPECT_EQ(refused.next(&frame), NmbdStream::Next::Broken);

    for (auto bad : {Frame(1, 138, {}, kNmbdLargestFrame + 1), Frame(1, -1, {}, 0),
                     Frame(1, 65536, {}, 0)}) {
        NmbdStream reader2;
        bad.insert(bad.begin(), 0);
        reader2.feed(bad.data(), bad.size());
        EXPECT_EQ(reader2.next(&frame), NmbdStream::Next::Broken);
    }
}

TEST(NmbdSocket, TheRelayDeliversForNmbdsNamesAndAliasesAndItsWorkgroupAsItsOwnNodeWould)
{
    NodeStatus status;
    const uint16_t group = kNbGroup | kNameActive;
    status.names = {{Name("HOSTA"), kNameActive},          {Name("HOSTA", 0x20), kNameActive},
                    {Name("FILES"), kNameActive},          {Name("WORKGROUP"), group},
                    {Name("WORKGROUP", 0x1e), group},      {Name("WORKGROUP", 0x1d), kNameActive},
                    {Name("HOSTA"), kNameActive}};
    NmbdNames names = nmbd_names_from(status);
    EXPECT_EQ(names.describe(), "HOSTA<00>, FILES<00>, WORKGROUP<00> (group), WORKGROUP<1E> (group)");
    EXPECT_TRUE(names.holds(Name("files")));
    EXPECT_TRUE(names.holds(Name("WorkGroup", 0x1e)));
    EXPECT_FALSE(names.holds(Name("WORKGROUP", 0x1d)));
    EXPECT_FALSE(names.holds(Name("HOSTA", 0x20)));
    EXPECT_TRUE(names.holds_unique(Name("hosta")));
    EXPECT_FALSE(names.holds_unique(Name("WORKGROUP")));
}

TEST(NmbdSocket, ABroadcastsSecondCopyIsARepeatOnlyFromTheSameSenderAndForAWhile)
{
    RepeatFilter filter;
    const std::vector<uint8_t> packet = {0x11, 0x02, 1, 2, 3}, other = {0x11, 0x02, 1, 2, 4};
    EXPECT_FALSE(filter.repeat(7, packet, 1000));
    EXPECT_TRUE(filter.repeat(7, packet, 1010));
    EXPECT_FALSE(filter.repeat(8, packet, 1020));
    EXPECT_FALSE(filter.repeat(7, other, 1030));
    EXPECT_FALSE(filter.repeat(7, packet, 1000 + RepeatFilter::kWindowMs + 1));
    for (int i = 0; i < int(RepeatFilter::kRemembered); ++i) // the oldest is forgotten
        filter.repeat(9, {uint8_t(i)}, 5000);
    EXPECT_FALSE(filter.repeat(7, packet, 5000));
}
