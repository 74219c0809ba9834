// The simulated phone's call-side behaviour as the product's AT layer sees
// it, and libbluetooth's non-blocking SDP connect through the shim.
#include "hfp/at.h"
#include "shim_fixture.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

int open_channel(sim::SimPhone& phone)
{
    phone.listen_rfcomm(3);
    return hfp_rfcomm_open(nullptr);
}

TEST_F(ShimTest, DialRepliesAsConfigured)
{
    struct Row {
        sim::DialReply reply;
        AtFinal final;
    };
    const Row rows[] = {{sim::DialReply::OK, AtFinal::OK},
                        {sim::DialReply::ERROR, AtFinal::ERROR},
                        {sim::DialReply::NO_CARRIER, AtFinal::NO_CARRIER},
                        {sim::DialReply::BUSY, AtFinal::BUSY},
                        {sim::DialReply::SILENCE, AtFinal::NONE}};
    int fd = open_channel(*phone);
    ASSERT_GE(fd, 0);
    AtChannel channel(fd);
    for (const Row& r : rows) {
        phone->set_dial_reply(r.reply);
        // Only the silent row waits out its bound.
        AtReply reply = channel.exchange("ATD0301234;\r", 0, r.final == AtFinal::NONE ? 400 : 3000);
        EXPECT_EQ(reply.final, r.final) << reply.joined();
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

TEST_F(ShimTest, NonBlockingSdpConnectFromABoundAddress)
{
    phone->start_sdp({{0x111F, 11, false}});
    bdaddr_t src, dst;
    str2ba("AA:BB:CC:00:11:22", &src);
    str2ba(kPhone, &dst);
    sdp_session_t* session = sdp_connect(&src, &dst, SDP_NON_BLOCKING);
    ASSERT_NE(session, nullptr) << strerror(errno);
    int sock = sdp_get_socket(session);
    pollfd p{sock, POLLOUT, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    int err = -1;
    socklen_t len = sizeof err;
    ASSERT_EQ(getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len), 0);
    EXPECT_EQ(err, 0);
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) & ~O_NONBLOCK);

    uuid_t service;
    sdp_uuid16_create(&service, 0x111F);
    sdp_list_t* search = sdp_list_append(nullptr, &service);
    uint32_t range = 0xFFFF;
    sdp_list_t* attrs = sdp_list_append(nullptr, &range);
    sdp_list_t* records = nullptr;
    ASSERT_EQ(sdp_service_search_attr_req(session, search, SDP_ATTR_REQ_RANGE, attrs, &records), 0);
    ASSERT_NE(records, nullptr);
    auto* record = static_cast<sdp_record_t*>(records->data);
    sdp_list_t* protos = nullptr;
    ASSERT_EQ(sdp_get_access_protos(record, &protos), 0);
    EXPECT_EQ(sdp_get_proto_port(protos, RFCOMM_UUID), 11);
    sdp_list_foreach(protos, reinterpret_cast<sdp_list_func_t>(sdp_list_free), nullptr);
    sdp_list_free(protos, nullptr);
    sdp_list_free(records, reinterpret_cast<sdp_free_func_t>(sdp_record_free));
    sdp_list_free(search, nullptr);
    sdp_list_free(attrs, nullptr);
    sdp_close(session);
}

}  // namespace
