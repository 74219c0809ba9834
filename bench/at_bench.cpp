// Figures for the AT layer: splitting throughput over phone-like traffic cut
// into uneven reads, and the round trip of one exchange over a local socket
// pair (the floor under every command's fixed wait).
#include "core/at.h"
#include "hfp/conversation.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <random>
#include <string>
#include <thread>

int main()
{
    using clock = std::chrono::steady_clock;
    const std::string traffic =
        "\r\nRING\r\n\r\n+CLIP: \"+4930123456\",145,,,\"Alice\"\r\n\r\n+CIEV: 3,1\r\n"
        "\r\n+CIND: (\"service\",(0,1)),(\"call\",(0,1)),(\"callsetup\",(0-3)),(\"callheld\",(0-2))\r\n\r\nOK\r\n";
    std::string data;
    while (data.size() < (8u << 20))
        data += traffic;

    std::mt19937 rng(1);
    std::uniform_int_distribution<size_t> cut(1, 300);
    AtLineSplitter splitter;
    size_t lines = 0, finals = 0;
    auto t0 = clock::now();
    for (size_t off = 0; off < data.size();) {
        size_t n = std::min(cut(rng), data.size() - off);
        for (const std::string& l : splitter.feed(data.data() + off, n)) {
            lines++;
            if (classify_final(l) != AtFinal::NONE)
                finals++;
            IndicatorMap m;
            parse_cind_test(l, &m);
        }
        off += n;
    }
    double s = std::chrono::duration<double>(clock::now() - t0).count();
    std::printf("split+classify+parse: %.1f MB/s (%zu lines, %zu final codes)\n", data.size() / s / 1e6, lines,
                finals);

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 1;
    const int rounds = 2000;
    std::thread phone([&] {
        char buf[64];
        for (int i = 0; i < rounds; i++) {
            if (read(fds[1], buf, sizeof buf) <= 0)
                return;
            if (write(fds[1], "\r\nOK\r\n", 6) != 6)
                return;
        }
    });
    AtConversation channel(fds[0]);
    channel.start();
    auto t1 = clock::now();
    int ok = 0;
    for (int i = 0; i < rounds; i++) {
        std::promise<bool> answered;
        channel.send("AT", {}, [&answered](const AtResponse& r) { answered.set_value(r.ok()); }, 1000);
        ok += answered.get_future().get();
    }
    double us = std::chrono::duration<double, std::micro>(clock::now() - t1).count() / rounds;
    phone.join();
    channel.stop();
    std::printf("exchange round trip: %.1f us (%d/%d OK)\n", us, ok, rounds);
    close(fds[1]);
    return 0;
}
