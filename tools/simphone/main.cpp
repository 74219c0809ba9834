// Simulated phone for demos: serves HFP in a shim folder and takes line
// commands on standard input; every AT command it receives is printed as
// "CMD <conn> <ms since start> <text>".
//
//   simphone --dir DIR [--addr AA:BB:CC:DD:EE:FF] [--channel N]
//
// Commands: sdp <ch>[,<ch>...]|none|off   rfcomm <ch>|off <ch>   order service|call
//   cmer_error on|off   dial ok|error|no_carrier|busy|silence   progress on|off
//   chunk <bytes> [gap_ms]   delay <ms>   silent on|off   range on|off
//   fault <op> <ERRNO> [count, 0 = always] | fault <op> off
//   ring   clip <number> [name]   ciev <name> <value>   indicator <name> <value>
//   incoming <number> [name]   answer   hangup
//   line <text>   no_carrier   busy   drop [conn]   conns   commands
//   sco listen|mtu <n>|accept [ms]|drop <fd>   quit
// Unsolicited codes go to the listener connection (the one that sent
// AT+CLIP=1), else to the most recent one. At the end of standard input it
// keeps serving until SIGINT or SIGTERM.
#include "simphone.h"

#include <csignal>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <thread>

namespace {

void say(const std::string& text)
{
    std::cout << text << std::endl;
}

int target(const sim::SimPhone& phone)
{
    int conn = phone.listener_connection();
    return conn > 0 ? conn : phone.latest_connection();
}

bool on(const std::string& word) { return word == "on" || word == "1" || word == "yes"; }

}  // namespace

int main(int argc, char** argv)
{
    std::string dir, addr = "00:11:22:33:44:55";
    int channel = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--dir"))
            dir = argv[i + 1];
        else if (!std::strcmp(argv[i], "--addr"))
            addr = argv[i + 1];
        else if (!std::strcmp(argv[i], "--channel"))
            channel = std::atoi(argv[i + 1]);
    }
    if (dir.empty()) {
        std::cerr << "usage: simphone --dir DIR [--addr ADDR] [--channel N]\n";
        return 2;
    }
    // Blocked here so that sigwait can take them once input has ended.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    sim::SimPhone phone(dir, addr);
    phone.serve_hfp(channel);
    phone.listen_sco();
    auto start = std::chrono::steady_clock::now();
    std::atomic<bool> done{false};
    std::thread printer([&] {
        size_t seen = 0;
        while (!done) {
            auto cmds = phone.commands();
            for (; seen < cmds.size(); seen++) {
                auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(cmds[seen].at - start).count();
                say("CMD " + std::to_string(cmds[seen].conn) + " " + std::to_string(ms) + " " + cmds[seen].text);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    say("ready " + phone.address() + " channel " + std::to_string(channel));

    std::string line;
    bool quit = false;
    while (!quit && std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd, a, b;
        in >> cmd;
        bool ok = true;
        if (cmd == "quit") {
            quit = true;
            continue;
        } else if (cmd == "sdp") {
            in >> a;
            if (a == "off") {
                phone.stop_sdp();
            } else {
                std::vector<sim::SdpRecord> records;
                std::istringstream list(a == "none" ? "" : a);
                std::string ch;
                while (std::getline(list, ch, ','))
                    records.push_back(sim::SdpRecord{0x111F, std::atoi(ch.c_str()), false});
                phone.start_sdp(records);
            }
        } else if (cmd == "rfcomm") {
            in >> a >> b;
            if (a == "off")
                phone.stop_rfcomm(std::atoi(b.c_str()));
            else
                phone.listen_rfcomm(std::atoi(a.c_str()));
        } else if (cmd == "order") {
            in >> a;
            phone.set_indicator_order(a == "call" ? sim::kOrderCallFirst : sim::kOrderServiceFirst);
        } else if (cmd == "cmer_error") {
            in >> a;
            phone.set_cmer_1_error(on(a));
        } else if (cmd == "dial") {
            in >> a;
            phone.set_dial_reply(a == "error"        ? sim::DialReply::ERROR
                                 : a == "no_carrier" ? sim::DialReply::NO_CARRIER
                                 : a == "busy"       ? sim::DialReply::BUSY
                                 : a == "silence"    ? sim::DialReply::SILENCE
                                                     : sim::DialReply::OK);
        } else if (cmd == "progress") {
            in >> a;
            phone.set_auto_call_progress(on(a));
        } else if (cmd == "chunk") {
            size_t n = 0;
            int gap = 3;
            in >> n >> gap;
            phone.set_reply_chunking(n, gap);
        } else if (cmd == "delay") {
            int ms = 0;
            in >> ms;
            phone.set_reply_delay_ms(ms);
        } else if (cmd == "silent") {
            in >> a;
            phone.set_silent(on(a));
        } else if (cmd == "range") {
            in >> a;
            phone.set_in_range(on(a));
        } else if (cmd == "fault") {
            std::string count;
            in >> a >> b >> count;
            if (b == "off")
                phone.clear_fault(a);
            else if (!b.empty())
                phone.inject_fault(a, b, count.empty() ? 1 : std::atoi(count.c_str()));
            else
                ok = false;
        } else if (cmd == "ring") {
            ok = phone.ring(target(phone));
        } else if (cmd == "clip") {
            in >> a;
            std::getline(in >> std::ws, b);
            ok = phone.clip(target(phone), a, b);
        } else if (cmd == "ciev") {
            int value = 0;
            in >> a >> value;
            ok = phone.ciev(target(phone), a, value);
        } else if (cmd == "indicator") {
            int value = 0;
            in >> a >> value;
            phone.set_indicator(a, value, true);
        } else if (cmd == "line") {
            std::getline(in >> std::ws, a);
            ok = phone.send_line(target(phone), a);
        } else if (cmd == "incoming") {
            in >> a;
            std::getline(in >> std::ws, b);
            ok = phone.incoming_call(a, b);
        } else if (cmd == "answer") {
            phone.remote_answer();
        } else if (cmd == "hangup") {
            phone.remote_hangup();
        } else if (cmd == "no_carrier") {
            ok = phone.no_carrier(target(phone));
        } else if (cmd == "busy") {
            ok = phone.busy(target(phone));
        } else if (cmd == "drop") {
            int conn = 0;
            if (in >> conn)
                phone.drop(conn);
            else
                phone.drop_all();
        } else if (cmd == "conns") {
            std::string text = "conns";
            for (int id : phone.connections())
                text += " " + std::to_string(id) + "@" + std::to_string(phone.channel_of(id));
            say(text);
        } else if (cmd == "commands") {
            for (const std::string& t : phone.command_texts())
                say("  " + t);
        } else if (cmd == "sco") {
            in >> a;
            if (a == "listen") {
                phone.listen_sco();
            } else if (a == "mtu") {
                int mtu = 64;
                in >> mtu;
                phone.set_sco_mtu(mtu);
            } else if (a == "accept") {
                int ms = 5000;
                in >> ms;
                say("sco " + std::to_string(phone.accept_sco(ms)));
            } else if (a == "drop") {
                int fd = -1;
                in >> fd;
                phone.drop_sco(fd);
            } else {
                ok = false;
            }
        } else if (!cmd.empty()) {
            ok = false;
        }
        say(ok ? "ok" : "error: " + line);
    }
    if (!quit) {
        int sig = 0;
        sigwait(&stop_signals, &sig);
    }
    done = true;
    printer.join();
    return 0;
}
