// The simulated phone's call-side behaviour as the product's AT layer sees it.
#include "hfp/at.h"
#include "shim_fixture.h"

#include <unistd.h>

namespace {

int open_channel(sim::SimPhone& phone)
{
    phone.listen_rfcomm(3);
    return hfp_rfcomm_open(nullptr);
}

TEST_F(ShimTest, DialRepliesAsConfigured)
{
    const std::pair<sim::DialReply, AtFinal> rows[] = {{sim::DialReply::OK, AtFinal::OK},
                                                       {sim::DialReply::ERROR, AtFinal::ERROR},
                                                       {sim::DialReply::NO_CARRIER, AtFinal::NO_CARRIER},
                                                       {sim::DialReply::BUSY, AtFinal::BUSY},
                                                       {sim::DialReply::SILENCE, AtFinal::NONE}};
    int fd = open_channel(*phone);
    ASSERT_GE(fd, 0);
    AtChannel channel(fd);
    for (const auto& [dial_reply, final] : rows) {
        phone->set_dial_reply(dial_reply);
        // Only the silent row waits out its bound.
        AtReply reply = channel.exchange("ATD0301234;\r", 0, final == AtFinal::NONE ? 400 : 3000);
        EXPECT_EQ(reply.final, final) << reply.joined();
    }
    EXPECT_EQ(phone->command_texts(), std::vector<std::string>(5, "ATD0301234;"));
    close(fd);
}

TEST_F(ShimTest, CallProgressFollowsDialAnswerAndHangUp)
{
    phone->set_auto_call_progress(true);
    phone->set_indicator_order(sim::kOrderCallFirst);
    int fd = open_channel(*phone);
    ASSERT_GE(fd, 0);
    AtChannel channel(fd);
    ASSERT_EQ(channel.exchange("AT+CMER=3,0,0,1\r", 0, 3000).final, AtFinal::OK);

    auto events = [&](size_t count) {
        std::vector<std::string> got = channel.take_unsolicited();
        bool io_error = false;
        for (int i = 0; i < 30 && got.size() < count && !io_error; i++)
            for (std::string& l : channel.read_lines(100, &io_error))
                got.push_back(l);
        return got;
    };
    EXPECT_EQ(channel.exchange("ATD123;\r", 0, 3000).final, AtFinal::OK);
    EXPECT_EQ(events(2), (std::vector<std::string>{"+CIEV: 2,2", "+CIEV: 2,3"}));
    phone->remote_answer();
    EXPECT_EQ(events(2), (std::vector<std::string>{"+CIEV: 1,1", "+CIEV: 2,0"}));
    EXPECT_EQ(channel.exchange("AT+CHUP\r", 0, 3000).final, AtFinal::OK);
    EXPECT_EQ(events(1), std::vector<std::string>{"+CIEV: 1,0"});
    close(fd);
}

}  // namespace
