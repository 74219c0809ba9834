#include "simphone.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace sim {

const std::vector<std::string> kOrderServiceFirst = {"service", "call", "callsetup", "callheld",
                                                     "signal",  "roam", "battchg"};
const std::vector<std::string> kOrderCallFirst = {"call", "callsetup", "service", "signal",
                                                  "roam", "battchg",   "callheld"};

namespace {

using Bytes = std::vector<uint8_t>;

const char* indicator_range(const std::string& name)
{
    if (name == "callsetup")
        return "(0-3)";
    if (name == "callheld")
        return "(0-2)";
    if (name == "signal" || name == "battchg")
        return "(0-5)";
    return "(0,1)";
}

bool starts_with(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

void sleep_ms(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- SDP data elements ------------------------------------------------------

void put16(Bytes& b, unsigned v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void put32(Bytes& b, uint32_t v)
{
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}

Bytes de_u8(unsigned v) { return {0x08, static_cast<uint8_t>(v)}; }
Bytes de_u16(unsigned v)
{
    Bytes b{0x09};
    put16(b, v);
    return b;
}
Bytes de_u32(uint32_t v)
{
    Bytes b{0x0A};
    put32(b, v);
    return b;
}

const uint8_t kBaseUuid[16] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                               0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

Bytes uuid128_of(uint32_t short_uuid)
{
    Bytes b(kBaseUuid, kBaseUuid + 16);
    b[0] = static_cast<uint8_t>(short_uuid >> 24);
    b[1] = static_cast<uint8_t>(short_uuid >> 16);
    b[2] = static_cast<uint8_t>(short_uuid >> 8);
    b[3] = static_cast<uint8_t>(short_uuid);
    return b;
}

Bytes de_uuid(uint16_t v, bool as128)
{
    if (!as128) {
        Bytes b{0x19};
        put16(b, v);
        return b;
    }
    Bytes b{0x1C};
    Bytes u = uuid128_of(v);
    b.insert(b.end(), u.begin(), u.end());
    return b;
}

Bytes de_text(const std::string& s)
{
    Bytes b{0x25, static_cast<uint8_t>(s.size())};
    b.insert(b.end(), s.begin(), s.end());
    return b;
}

Bytes de_seq(const std::vector<Bytes>& items)
{
    Bytes body;
    for (const Bytes& i : items)
        body.insert(body.end(), i.begin(), i.end());
    Bytes b;
    if (body.size() < 256) {
        b = {0x35, static_cast<uint8_t>(body.size())};
    } else {
        b = {0x36};
        put16(b, static_cast<unsigned>(body.size()));
    }
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

struct Reader {
    const Bytes& b;
    size_t pos;
    size_t end;
    bool ok = true;
    uint32_t get(size_t n)
    {
        uint32_t v = 0;
        if (pos + n > end) {
            ok = false;
            pos = end;
            return 0;
        }
        for (size_t i = 0; i < n; i++)
            v = (v << 8) | b[pos++];
        return v;
    }
    // Reads a data element header; returns its type and sets *len to the body length.
    int header(size_t* len)
    {
        uint8_t d = static_cast<uint8_t>(get(1));
        int type = d >> 3, size = d & 7;
        static const size_t fixed[5] = {1, 2, 4, 8, 16};
        if (type == 0)
            *len = 0;
        else if (size < 5)
            *len = fixed[size];
        else
            *len = get(size == 5 ? 1 : size == 6 ? 2 : 4);
        if (pos + *len > end)
            ok = false;
        return type;
    }
};

struct Rendered {
    std::vector<Bytes> uuids;        // every UUID of the record, as 128-bit
    std::vector<std::pair<uint16_t, Bytes>> attrs;
};

Rendered render(const SdpRecord& r, size_t index)
{
    Rendered out;
    bool w = r.uuid128;
    std::vector<Bytes> protocols;
    if (r.rfcomm_channel >= 0) {
        protocols = {de_seq({de_uuid(0x0100, w)}),
                     de_seq({de_uuid(0x0003, w), de_u8(static_cast<unsigned>(r.rfcomm_channel))})};
        out.uuids = {uuid128_of(0x0100), uuid128_of(0x0003)};
    } else {
        // A service reached over plain L2CAP (AVDTP-like), no RFCOMM channel.
        protocols = {de_seq({de_uuid(0x0100, w), de_u16(0x0019)}), de_seq({de_uuid(0x0019, w), de_u16(0x0103)})};
        out.uuids = {uuid128_of(0x0100), uuid128_of(0x0019)};
    }
    out.uuids.push_back(uuid128_of(r.service_class));
    out.uuids.push_back(uuid128_of(0x1203));
    out.uuids.push_back(uuid128_of(0x1002));
    out.uuids.push_back(uuid128_of(0x111E));
    out.attrs = {
        {0x0000, de_u32(0x00010000u + static_cast<uint32_t>(index))},
        {0x0001, de_seq({de_uuid(r.service_class, false), de_uuid(0x1203, false)})},
        {0x0004, de_seq(protocols)},
        {0x0005, de_seq({de_uuid(0x1002, false)})},
        {0x0009, de_seq({de_seq({de_uuid(0x111E, false), de_u16(0x0107)})})},
        {0x0100, de_text("Voice Gateway")},
        {0x0301, de_u8(1)},
        {0x0311, de_u16(0x0000)},
    };
    return out;
}

Bytes sdp_error(uint16_t tid, uint16_t code)
{
    Bytes b{0x01};
    put16(b, tid);
    put16(b, 2);
    put16(b, code);
    return b;
}

}  // namespace

// Answers a ServiceSearchAttributeRequest; continuation state is the offset
// into the full attribute lists, 2 bytes.
Bytes sdp_answer(const std::vector<SdpRecord>& records, const Bytes& req, std::vector<Bytes>* searched)
{
    if (req.size() < 5)
        return sdp_error(0, 0x0003);
    uint16_t tid = static_cast<uint16_t>(req[1] << 8 | req[2]);
    size_t plen = static_cast<size_t>(req[3] << 8 | req[4]);
    if (req[0] != 0x06)
        return sdp_error(tid, 0x0003);
    if (plen + 5 != req.size())
        return sdp_error(tid, 0x0004);
    Reader rd{req, 5, req.size()};

    size_t len = 0;
    std::vector<Bytes> pattern;
    if (rd.header(&len) != 6 || !rd.ok)
        return sdp_error(tid, 0x0003);
    size_t seq_end = rd.pos + len;
    while (rd.ok && rd.pos < seq_end) {
        size_t ulen = 0;
        int type = rd.header(&ulen);
        if (type != 3 || !(ulen == 2 || ulen == 4 || ulen == 16) || !rd.ok)
            return sdp_error(tid, 0x0003);
        if (ulen == 16) {
            pattern.emplace_back(req.begin() + static_cast<long>(rd.pos), req.begin() + static_cast<long>(rd.pos + 16));
            rd.pos += 16;
        } else {
            pattern.push_back(uuid128_of(rd.get(ulen)));
        }
    }
    size_t max_bytes = rd.get(2);
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    if (rd.header(&len) != 6 || !rd.ok)
        return sdp_error(tid, 0x0003);
    seq_end = rd.pos + len;
    while (rd.ok && rd.pos < seq_end) {
        size_t alen = 0;
        int type = rd.header(&alen);
        if (type != 1 || !(alen == 2 || alen == 4))
            return sdp_error(tid, 0x0003);
        uint32_t v = rd.get(alen);
        if (alen == 2)
            ranges.push_back({v, v});
        else
            ranges.push_back({v >> 16, v & 0xFFFF});
    }
    size_t cont_len = rd.get(1);
    size_t offset = cont_len == 2 ? rd.get(2) : 0;
    if (!rd.ok || pattern.empty() || pattern.size() > 12 || max_bytes < 7)
        return sdp_error(tid, 0x0003);
    if (searched)
        *searched = pattern;

    std::vector<Bytes> lists;
    for (size_t i = 0; i < records.size(); i++) {
        Rendered r = render(records[i], i);
        bool match = std::all_of(pattern.begin(), pattern.end(), [&](const Bytes& u) {
            return std::find(r.uuids.begin(), r.uuids.end(), u) != r.uuids.end();
        });
        if (!match)
            continue;
        std::vector<Bytes> items;
        for (auto& [id, value] : r.attrs) {
            bool wanted = std::any_of(ranges.begin(), ranges.end(),
                                      [id = id](auto& rg) { return id >= rg.first && id <= rg.second; });
            if (wanted) {
                items.push_back(de_u16(id));
                items.push_back(value);
            }
        }
        lists.push_back(de_seq(items));
    }
    Bytes all = de_seq(lists);
    if (offset > all.size())
        return sdp_error(tid, 0x0005);
    size_t n = std::min(all.size() - offset, max_bytes);
    bool more = offset + n < all.size();

    Bytes params;
    put16(params, static_cast<unsigned>(n));
    params.insert(params.end(), all.begin() + static_cast<long>(offset), all.begin() + static_cast<long>(offset + n));
    if (more) {
        params.push_back(2);
        put16(params, static_cast<unsigned>(offset + n));
    } else {
        params.push_back(0);
    }
    Bytes out{0x07};
    put16(out, tid);
    put16(out, static_cast<unsigned>(params.size()));
    out.insert(out.end(), params.begin(), params.end());
    return out;
}

// ---- the phone ------------------------------------------------------------------

struct SimPhone::Conn {
    int id = 0;
    int channel = 0;
    std::mutex write_mu;
    int fd = -1;                 // guarded by write_mu; -1 once closed
    std::atomic<bool> open{true};
    std::atomic<bool> clip{false};
    std::atomic<bool> cmer{false};
    std::atomic<bool> ccwa{false};
    std::atomic<int> hf_features{0};
};

struct SimPhone::Listener {
    int fd = -1;
    int channel = 0;
    std::string path;
    bool has_loop = false;   // the accept loop closes fd when it ends
    std::atomic<bool> closed{false};
};

SimPhone::SimPhone(std::string shim_dir, std::string address)
    : shim_dir_(std::move(shim_dir)), address_(upper(std::move(address)))
{
    phone_dir_ = shim_dir_ + "/" + address_;
    if (mkdir(phone_dir_.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + phone_dir_);
    set_indicator_order(kOrderServiceFirst);
    values_ = {{"service", 1}, {"call", 0}, {"callsetup", 0}, {"callheld", 0},
               {"signal", 4},  {"roam", 0}, {"battchg", 3}};
}

SimPhone::~SimPhone()
{
    stopping_ = true;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (sdp_listener_)
            sdp_listener_->closed = true;
        if (sco_listener_)
            sco_listener_->closed = true;
        for (auto& [ch, l] : rfcomm_listeners_)
            l->closed = true;
        for (auto& [id, c] : conns_) {
            std::lock_guard<std::mutex> wl(c->write_mu);
            if (c->fd >= 0)
                shutdown(c->fd, SHUT_RDWR);
        }
    }
    // An accept loop may still add a thread while it winds down.
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(mu_);
            threads.swap(threads_);
        }
        if (threads.empty())
            break;
        for (auto& t : threads)
            t.join();
    }
    close_listener(sdp_listener_);
    close_listener(sco_listener_);
    for (auto& [ch, l] : rfcomm_listeners_)
        close_listener(l);
    for (int fd : sco_fds_)
        close(fd);
    for (auto& [id, c] : conns_) {
        std::lock_guard<std::mutex> wl(c->write_mu);
        if (c->fd >= 0)
            close(c->fd);
        c->fd = -1;
    }
    unlink((phone_dir_ + "/sco_mtu").c_str());
    rmdir(phone_dir_.c_str());
    rmdir((phone_dir_ + ".away").c_str());
}

void SimPhone::set_in_range(bool in_range)
{
    std::string away = phone_dir_ + ".away";
    if (in_range)
        rename(away.c_str(), phone_dir_.c_str());
    else
        rename(phone_dir_.c_str(), away.c_str());
}

void SimPhone::inject_fault(const std::string& op, const std::string& error, int count)
{
    std::string path = shim_dir_ + "/fault-" + op;
    std::string text = error + " " + (count > 0 ? std::to_string(count) : "*") + "\n";
    // Written whole under a temporary name, so the shim never reads half of it.
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f)
        throw std::runtime_error("cannot write " + tmp);
    std::fputs(text.c_str(), f);
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
}

void SimPhone::clear_fault(const std::string& op) { unlink((shim_dir_ + "/fault-" + op).c_str()); }

std::shared_ptr<SimPhone::Listener> SimPhone::open_listener(const std::string& name, int type, int channel,
                                                            bool accept)
{
    auto l = std::make_shared<Listener>();
    l->channel = channel;
    l->path = phone_dir_ + "/" + name;
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (l->path.size() >= sizeof sun.sun_path)
        throw std::runtime_error("socket path too long: " + l->path);
    std::strcpy(sun.sun_path, l->path.c_str());
    unlink(l->path.c_str());
    l->fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (l->fd < 0 || bind(l->fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0 || listen(l->fd, 16) != 0)
        throw std::runtime_error("cannot listen on " + l->path + ": " + std::strerror(errno));
    l->has_loop = accept;
    if (accept) {
        std::lock_guard<std::mutex> lock(mu_);
        threads_.emplace_back(&SimPhone::accept_loop, this, l);
    }
    return l;
}

void SimPhone::close_listener(std::shared_ptr<Listener>& l)
{
    if (!l)
        return;
    l->closed = true;
    unlink(l->path.c_str());
    if (!l->has_loop)
        close(l->fd);
    l.reset();
}

void SimPhone::accept_loop(std::shared_ptr<Listener> l)
{
    while (!stopping_ && !l->closed) {
        pollfd p{l->fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int fd = accept4(l->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        if (l->channel == 0) {
            std::lock_guard<std::mutex> lock(mu_);
            threads_.emplace_back(&SimPhone::serve_sdp, this, fd);
            continue;
        }
        if (!admit_rfcomm(fd, l->channel))
            continue;
        auto c = std::make_shared<Conn>();
        c->fd = fd;
        c->channel = l->channel;
        {
            std::lock_guard<std::mutex> lock(mu_);
            c->id = next_conn_++;
            conns_[c->id] = c;
            threads_.emplace_back(&SimPhone::serve_rfcomm, this, c);
        }
        cv_.notify_all();
    }
    close(l->fd);
}

// The kernel keeps one RFCOMM link per remote channel: a second connect
// while one is up fails with EBUSY. A link whose other end was just closed
// is given a moment to wind down, as the kernel's disconnect takes one too.
bool SimPhone::admit_rfcomm(int fd, int channel)
{
    auto busy = [&] {
        for (auto& [id, c] : conns_)
            if (c->open && c->channel == channel)
                return true;
        return false;
    };
    bool refused;
    int delay_ms;
    {
        std::unique_lock<std::mutex> lock(mu_);
        delay_ms = admit_delay_ms_;
        refused = !cv_.wait_for(lock, std::chrono::milliseconds(300), [&] { return !busy(); });
        if (refused)
            busy_refusals_++;
    }
    // A phone slow to set up the link: the connect stays pending meanwhile.
    for (int waited = 0; waited < delay_ms && !stopping_; waited += 20)
        sleep_ms(20);
    unsigned char verdict = refused ? static_cast<unsigned char>(EBUSY) : 0;
    if (send(fd, &verdict, 1, MSG_NOSIGNAL) != 1 || refused) {
        close(fd);
        return false;
    }
    return true;
}

// ---- SDP ---------------------------------------------------------------------------

void SimPhone::start_sdp(std::vector<SdpRecord> records)
{
    set_sdp_records(std::move(records));
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (sdp_listener_)
            return;
    }
    auto l = open_listener("sdp", SOCK_SEQPACKET, 0, true);
    std::lock_guard<std::mutex> lock(mu_);
    sdp_listener_ = l;
}

void SimPhone::set_sdp_records(std::vector<SdpRecord> records)
{
    std::lock_guard<std::mutex> lock(mu_);
    sdp_records_ = std::move(records);
}

void SimPhone::stop_sdp()
{
    std::lock_guard<std::mutex> lock(mu_);
    close_listener(sdp_listener_);
}

void SimPhone::serve_sdp(int fd)
{
    while (!stopping_) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, 50);
        if (r <= 0)
            continue;
        Bytes req(4096);
        ssize_t n = recv(fd, req.data(), req.size(), 0);
        if (n <= 0)
            break;
        req.resize(static_cast<size_t>(n));
        std::vector<SdpRecord> records;
        {
            std::lock_guard<std::mutex> lock(mu_);
            records = sdp_records_;
        }
        std::vector<Bytes> searched;
        Bytes rsp = sdp_answer(records, req, &searched);
        if (std::find(searched.begin(), searched.end(), uuid128_of(0x111F)) != searched.end())
            hfp_sdp_searches_++;
        if (send(fd, rsp.data(), rsp.size(), MSG_NOSIGNAL) < 0)
            break;
    }
    close(fd);
}

// ---- RFCOMM ---------------------------------------------------------------------------

void SimPhone::listen_rfcomm(int channel)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (rfcomm_listeners_.count(channel))
            return;
    }
    auto l = open_listener("rfcomm-" + std::to_string(channel), SOCK_STREAM, channel, true);
    std::lock_guard<std::mutex> lock(mu_);
    rfcomm_listeners_[channel] = l;
}

void SimPhone::stop_rfcomm(int channel)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = rfcomm_listeners_.find(channel);
    if (it == rfcomm_listeners_.end())
        return;
    close_listener(it->second);
    rfcomm_listeners_.erase(it);
}

void SimPhone::serve_hfp(int channel)
{
    start_sdp({SdpRecord{0x111F, channel, false}});
    listen_rfcomm(channel);
}

void SimPhone::serve_rfcomm(std::shared_ptr<Conn> c)
{
    std::string buf;
    int fd;
    {
        std::lock_guard<std::mutex> wl(c->write_mu);
        fd = c->fd;
    }
    while (!stopping_) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, 50);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        char tmp[1024];
        ssize_t n = read(fd, tmp, sizeof tmp);
        if (n <= 0)
            break;
        buf.append(tmp, static_cast<size_t>(n));
        size_t pos;
        while ((pos = buf.find_first_of("\r\n")) != std::string::npos) {
            std::string command = buf.substr(0, pos);
            buf.erase(0, pos + 1);
            bool more_waiting = buf.find_first_not_of("\r\n") != std::string::npos;
            if (!command.empty())
                handle_command(c, command, more_waiting);
        }
        if (buf.size() > 4096)
            buf.clear();
    }
    {
        std::lock_guard<std::mutex> wl(c->write_mu);
        if (c->fd >= 0)
            close(c->fd);
        c->fd = -1;
        c->open = false;
    }
    cv_.notify_all();
}

// Called just before a command's final result goes out: anything already
// read or waiting in the socket came before it.
void SimPhone::note_early(const std::shared_ptr<Conn>& c, const std::string& command, bool more_waiting)
{
    int queued = 0;
    {
        std::lock_guard<std::mutex> wl(c->write_mu);
        if (c->fd >= 0)
            ioctl(c->fd, FIONREAD, &queued);
    }
    if (!more_waiting && queued <= 0)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    protocol_errors_.push_back("connection " + std::to_string(c->id) + ": a command came before the answer to " +
                               command);
}

void SimPhone::handle_command(const std::shared_ptr<Conn>& c, const std::string& command, bool more_waiting)
{
    CommandHook hook;
    bool silent, drop = false;
    int delay;
    {
        std::lock_guard<std::mutex> lock(mu_);
        commands_.push_back(Command{c->id, c->channel, std::chrono::steady_clock::now(), command});
        hook = hook_;
        silent = silent_ || std::any_of(silent_on_.begin(), silent_on_.end(),
                                        [&](const std::string& p) { return starts_with(command, p); });
        auto it = std::find_if(drop_on_.begin(), drop_on_.end(),
                               [&](const auto& p) { return starts_with(command, p.first); });
        drop = it != drop_on_.end();
        if (drop && it->second > 0 && --it->second == 0)
            drop_on_.erase(it);
        delay = reply_delay_ms_;
    }
    cv_.notify_all();
    if (drop) {
        this->drop(c->id);
        return;
    }
    std::string reply;
    if (hook && hook(c->id, command, &reply)) {
        sleep_ms(delay);
        if (!reply.empty())
            note_early(c, command, more_waiting);
        write_reply(c, reply, true);
        return;
    }
    if (silent)
        return;
    std::vector<std::pair<std::string, int>> after;
    reply = builtin_reply(c, command, &after);
    sleep_ms(delay);
    if (!reply.empty())
        note_early(c, command, more_waiting);
    write_reply(c, reply, true);
    for (auto& [name, value] : after) {
        sleep_ms(30);
        set_indicator(name, value, true);
    }
    // The phone picks the codec once it has said OK.
    std::string bcs = codec_choice(upper(command));
    if (!bcs.empty()) {
        sleep_ms(20);
        write_reply(c, bcs, true);
    }
    voice_after_command(upper(command), reply);
}

std::string SimPhone::codec_choice(const std::string& cmd)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (starts_with(cmd, "AT+BAC=")) {
        hf_codecs_.clear();
        for (size_t at = 7; at < cmd.size();) {
            hf_codecs_.push_back(std::atoi(cmd.c_str() + at));
            size_t comma = cmd.find(',', at);
            at = comma == std::string::npos ? cmd.size() : comma + 1;
        }
    } else if (cmd != "AT+BCC") {
        return "";
    }
    if (codecs_.empty() || hf_codecs_.empty())
        return "";
    int pick = 1;
    for (int c : codecs_)
        if (std::find(hf_codecs_.begin(), hf_codecs_.end(), c) != hf_codecs_.end()) {
            pick = c;
            break;
        }
    pending_bcs_ = pick;
    bcs_deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    return "\r\n+BCS: " + std::to_string(pick) + "\r\n";
}

void SimPhone::set_codecs(std::vector<int> codecs)
{
    std::lock_guard<std::mutex> lock(mu_);
    codecs_ = std::move(codecs);
}

int SimPhone::negotiated_codec() const
{
    std::lock_guard<std::mutex> lock(mu_);
    if (pending_bcs_ && std::chrono::steady_clock::now() > bcs_deadline_) {
        // Unanswered: the codec every hands-free unit has.
        codec_ = 1;
        pending_bcs_ = 0;
    }
    return codec_;
}

int SimPhone::last_sco_voice() const
{
    std::ifstream in(phone_dir_ + "/sco_voice");
    std::string text;
    return in >> text ? static_cast<int>(std::strtol(text.c_str(), nullptr, 16)) : -1;
}

int SimPhone::sco_link_codec() const { return last_sco_voice() == 0x0003 ? negotiated_codec() : 1; }

void SimPhone::refuse_transparent(bool refuse)
{
    const std::string path = phone_dir_ + "/no_transparent";
    if (refuse)
        std::ofstream(path) << "EOPNOTSUPP\n";
    else
        unlink(path.c_str());
}

std::string SimPhone::builtin_reply(const std::shared_ptr<Conn>& c, const std::string& raw,
                                    std::vector<std::pair<std::string, int>>* after)
{
    const std::string ok = "\r\nOK\r\n", error = "\r\nERROR\r\n";
    std::string cmd = upper(raw);
    std::lock_guard<std::mutex> lock(mu_);
    if (starts_with(cmd, "AT+BRSF=")) {
        c->hf_features = std::atoi(cmd.c_str() + 8);
        return "\r\n+BRSF: " + std::to_string(ag_features_) + "\r\n" + ok;
    }
    if (cmd == "AT+CIND=?") {
        std::string list;
        for (const std::string& name : order_)
            list += (list.empty() ? "(\"" : ",(\"") + name + "\"," + indicator_range(name) + ")";
        return "\r\n+CIND: " + list + "\r\n" + ok;
    }
    if (cmd == "AT+CIND?") {
        std::string values;
        for (const std::string& name : order_)
            values += (values.empty() ? "" : ",") + std::to_string(values_[name]);
        return "\r\n+CIND: " + values + "\r\n" + ok;
    }
    if (cmd == "AT+CMER=3,0,0,1") {
        if (cmer_1_error_)
            return error;
        c->cmer = true;
        return ok;
    }
    if (starts_with(cmd, "AT+CMER=")) {
        c->cmer = false;
        return ok;
    }
    if (starts_with(cmd, "AT+CLIP=")) {
        c->clip = cmd == "AT+CLIP=1";
        return ok;
    }
    if (starts_with(cmd, "ATD")) {
        // Android's dial set (the iPhone's is smaller): a leading '+', digits,
        // '*', '#' and the pauses; the trailing ';' asks for a voice call.
        std::string number = raw.substr(3);
        if (!number.empty() && number.back() == ';')
            number.pop_back();
        bool dialable = !number.empty();
        for (size_t i = 0; i < number.size(); ++i)
            dialable = dialable && number[i] != '\0' &&
                       (std::strchr("0123456789*#,pPwW", number[i]) || (number[i] == '+' && i == 0));
        if (!dialable)
            return error;
        switch (dial_reply_) {
        case DialReply::OK:
            add_call(false, auto_progress_ ? 3 : 2, number);
            if (auto_progress_)
                *after = {{"callsetup", 2}, {"callsetup", 3}};
            return ok;
        case DialReply::ERROR: return error;
        case DialReply::NO_CARRIER: return "\r\nNO CARRIER\r\n";
        case DialReply::BUSY: return "\r\nBUSY\r\n";
        case DialReply::SILENCE: return "";
        }
    }
    if (cmd == "ATA") {
        for (Call& call : calls_)
            if (call.status == 4)
                call.status = 0;
        if (auto_progress_)
            *after = {{"call", 1}, {"callsetup", 0}};
        return ok;
    }
    if (cmd == "AT+CLCC")
        return call_list() + ok;
    if (cmd == "AT+CHUP") {
        if (auto_progress_) {
            if (values_["call"] == 1)
                *after = {{"call", 0}};
            else
                *after = {{"callsetup", 0}};
        }
        return ok;
    }
    if (cmd == "AT+CHLD=?")
        return "\r\n+CHLD: (0,1,2,3)\r\n" + ok;
    if (starts_with(cmd, "AT+CHLD=")) {
        if (!chld_events(cmd.substr(8), after))
            return error;
        return ok;
    }
    if (starts_with(cmd, "AT+VTS="))
        return values_["call"] == 1 && cmd.size() == 8 ? ok : error;
    if (starts_with(cmd, "AT+CCWA=")) {
        c->ccwa = cmd == "AT+CCWA=1";
        return ok;
    }
    if (starts_with(cmd, "AT+BCS=")) {
        // Only the codec just offered, and only while the offer stands.
        int n = std::atoi(cmd.c_str() + 7);
        if (!pending_bcs_ || n != pending_bcs_ || std::chrono::steady_clock::now() > bcs_deadline_)
            return error;
        codec_ = n;
        pending_bcs_ = 0;
        cv_.notify_all();
        return ok;
    }
    if (cmd == "AT+BCC")
        return codecs_.empty() ? error : ok;
    if (cmd == "AT" || starts_with(cmd, "AT+NREC=") || starts_with(cmd, "AT+BIA=") || starts_with(cmd, "AT+BAC=") ||
        starts_with(cmd, "AT+VGS=") || starts_with(cmd, "AT+VGM=") || starts_with(cmd, "AT+CMEE=") ||
        starts_with(cmd, "AT+COPS") || cmd == "AT+BTRH?")
        return ok;
    return error;
}

// What a phone does for each hold action (mu_ held), as the indicator
// events it sends afterwards. False when there is nothing to act on.
bool SimPhone::chld_events(const std::string& action, std::vector<std::pair<std::string, int>>* after)
{
    int call = values_["call"], setup = values_["callsetup"], held = values_["callheld"];
    bool waiting = call == 1 && setup == 1;
    if (call != 1)
        return false;
    auto erase = [this](int status) {
        calls_.erase(std::remove_if(calls_.begin(), calls_.end(), [status](const Call& c) { return c.status == status; }),
                     calls_.end());
    };
    auto move = [this](int from, int to) {
        for (Call& c : calls_)
            if (c.status == from)
                c.status = to;
    };
    if (action == "0")
        erase(waiting ? 5 : 1);
    else if (action == "1") {
        erase(0);
        move(waiting ? 5 : 1, 0);
    } else if (action == "2") {
        move(0, 6);
        move(waiting ? 5 : 1, 0);
        move(6, 1);
    }
    if (action == "0") {            // release the waiting or the held call
        if (waiting)
            *after = {{"callsetup", 0}};
        else if (held == 1)
            *after = {{"callheld", 0}};
        else if (held == 2)
            *after = {{"callheld", 0}, {"call", 0}};
        else
            return false;
    } else if (action == "1") {     // end the active call, take the other one
        if (waiting)
            *after = {{"callsetup", 0}};
        else if (held != 0)
            *after = {{"callheld", 0}};
        else
            *after = {{"call", 0}};
    } else if (action == "2") {     // hold the active call, take the other one
        if (waiting)
            *after = {{"callheld", 1}, {"callsetup", 0}};
        else if (held == 1)
            *after = {{"callheld", 1}};
        else if (held == 2)
            *after = {{"callheld", 0}};
        else
            *after = {{"callheld", 2}};
    } else {
        return false;
    }
    return true;
}

bool SimPhone::write_reply(const std::shared_ptr<Conn>& c, const std::string& bytes, bool chunked)
{
    size_t chunk;
    int gap;
    {
        std::lock_guard<std::mutex> lock(mu_);
        chunk = chunked ? chunk_ : 0;
        gap = chunk_gap_ms_;
    }
    std::lock_guard<std::mutex> wl(c->write_mu);
    if (c->fd < 0)
        return false;
    size_t step = chunk == 0 ? bytes.size() : chunk;
    for (size_t off = 0; off < bytes.size(); off += step) {
        if (off > 0)
            sleep_ms(gap);
        size_t n = std::min(step, bytes.size() - off);
        if (send(c->fd, bytes.data() + off, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
            return false;
    }
    return true;
}

void SimPhone::set_indicator_order(const std::vector<std::string>& names)
{
    std::lock_guard<std::mutex> lock(mu_);
    order_ = names;
}

std::vector<std::string> SimPhone::indicator_order() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return order_;
}

int SimPhone::indicator_index(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = std::find(order_.begin(), order_.end(), name);
    return it == order_.end() ? -1 : static_cast<int>(it - order_.begin()) + 1;
}

void SimPhone::set_indicator(const std::string& name, int value, bool notify)
{
    std::vector<std::shared_ptr<Conn>> targets;
    {
        std::lock_guard<std::mutex> lock(mu_);
        values_[name] = value;
        // The list follows what the indicators say has ended; a caller who
        // waited beside the call that ended now rings.
        auto keep = [&](const Call& c) {
            if (name == "call" && value == 0)
                return c.status >= 2;
            if (name == "callsetup" && value == 0)
                return c.status <= 1;
            if (name == "callheld" && value == 0 && values_["call"] == 1)
                return c.status != 1;
            return true;
        };
        calls_.erase(std::remove_if(calls_.begin(), calls_.end(), [&](const Call& c) { return !keep(c); }),
                     calls_.end());
        if (name == "call" && value == 0)
            for (Call& c : calls_)
                if (c.status == 5)
                    c.status = 4;
        if (name == "callsetup" && value == 3)
            for (Call& c : calls_)
                if (c.status == 2)
                    c.status = 3;
        if (notify)
            for (auto& [id, c] : conns_)
                if (c->open && c->cmer)
                    targets.push_back(c);
    }
    for (auto& c : targets)
        ciev(c->id, name, value);
}

int SimPhone::indicator(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = values_.find(name);
    return it == values_.end() ? -1 : it->second;
}

void SimPhone::set_cmer_1_error(bool error)
{
    std::lock_guard<std::mutex> lock(mu_);
    cmer_1_error_ = error;
}

void SimPhone::set_dial_reply(DialReply reply)
{
    std::lock_guard<std::mutex> lock(mu_);
    dial_reply_ = reply;
}

void SimPhone::set_auto_call_progress(bool on)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto_progress_ = on;
}

void SimPhone::set_reply_chunking(size_t chunk, int gap_ms)
{
    std::lock_guard<std::mutex> lock(mu_);
    chunk_ = chunk;
    chunk_gap_ms_ = gap_ms;
}

void SimPhone::set_reply_delay_ms(int ms)
{
    std::lock_guard<std::mutex> lock(mu_);
    reply_delay_ms_ = ms;
}

void SimPhone::set_silent(bool silent)
{
    std::lock_guard<std::mutex> lock(mu_);
    silent_ = silent;
}

void SimPhone::set_silent_on(const std::string& prefix)
{
    std::lock_guard<std::mutex> lock(mu_);
    silent_on_.push_back(prefix);
}

void SimPhone::set_drop_on(const std::string& prefix, int times)
{
    std::lock_guard<std::mutex> lock(mu_);
    drop_on_.emplace_back(prefix, times);
}

void SimPhone::set_command_hook(CommandHook hook)
{
    std::lock_guard<std::mutex> lock(mu_);
    hook_ = std::move(hook);
}

// ---- connections ------------------------------------------------------------------

std::shared_ptr<SimPhone::Conn> SimPhone::find(int conn) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = conns_.find(conn);
    return it == conns_.end() ? nullptr : it->second;
}

std::vector<int> SimPhone::connections() const
{
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<int> ids;
    for (auto& [id, c] : conns_)
        if (c->open)
            ids.push_back(id);
    return ids;
}

int SimPhone::connection_count() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(conns_.size());
}

int SimPhone::latest_connection() const
{
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = conns_.rbegin(); it != conns_.rend(); ++it)
        if (it->second->open)
            return it->first;
    return -1;
}

int SimPhone::listener_connection() const
{
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = conns_.rbegin(); it != conns_.rend(); ++it)
        if (it->second->open && it->second->clip)
            return it->first;
    return -1;
}

bool SimPhone::is_open(int conn) const
{
    auto c = find(conn);
    return c && c->open;
}

int SimPhone::channel_of(int conn) const
{
    auto c = find(conn);
    return c ? c->channel : -1;
}

bool SimPhone::wait_for_connections(int count, int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return static_cast<int>(conns_.size()) >= count; });
}

bool SimPhone::wait_for_close(int conn, int timeout_ms)
{
    auto c = find(conn);
    if (!c)
        return false;
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !c->open; });
}

void SimPhone::drop(int conn)
{
    auto c = find(conn);
    if (!c)
        return;
    std::lock_guard<std::mutex> wl(c->write_mu);
    // The connection's thread sees the end of the stream and closes it.
    if (c->fd >= 0)
        shutdown(c->fd, SHUT_RDWR);
}

void SimPhone::drop_all()
{
    for (int id : connections())
        drop(id);
}

bool SimPhone::send_raw(int conn, const std::string& bytes)
{
    auto c = find(conn);
    return c && write_reply(c, bytes, false);
}

bool SimPhone::send_line(int conn, const std::string& line) { return send_raw(conn, "\r\n" + line + "\r\n"); }

bool SimPhone::clip(int conn, const std::string& number, const std::string& name)
{
    std::string line = "+CLIP: \"" + number + "\"," + (number.rfind('+', 0) == 0 ? "145" : "129");
    if (!name.empty())
        line += ",,,\"" + name + "\"";
    return send_line(conn, line);
}

bool SimPhone::ciev(int conn, const std::string& name, int value)
{
    int index = indicator_index(name);
    if (index < 0)
        return false;
    return send_line(conn, "+CIEV: " + std::to_string(index) + "," + std::to_string(value));
}

bool SimPhone::waiting_call(const std::string& number, const std::string& name)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        add_call(true, 5, number);
    }
    set_indicator("callsetup", 1, true);
    std::vector<int> targets;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& [id, c] : conns_)
            if (c->open && c->ccwa)
                targets.push_back(id);
    }
    std::string line = "+CCWA: \"" + number + "\"," + (number.rfind('+', 0) == 0 ? "145" : "129") + ",1";
    if (!name.empty())
        line += ",\"" + name + "\"";
    bool sent = false;
    for (int id : targets)
        sent = send_line(id, line) || sent;
    return sent;
}

void SimPhone::set_admit_delay_ms(int ms)
{
    std::lock_guard<std::mutex> lock(mu_);
    admit_delay_ms_ = ms;
}

void SimPhone::set_ag_features(int features)
{
    std::lock_guard<std::mutex> lock(mu_);
    ag_features_ = features;
}

int SimPhone::voice_links_refused() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return voice_links_refused_;
}

int SimPhone::busy_refusals() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return busy_refusals_;
}

void SimPhone::add_call(bool incoming, int status, const std::string& number)
{
    int index = 1;
    while (std::any_of(calls_.begin(), calls_.end(), [index](const Call& c) { return c.index == index; }))
        ++index;
    calls_.push_back(Call{index, incoming, status, number});
}

std::string SimPhone::call_list()
{
    std::vector<Call> calls = calls_;
    // A call the test made with indicators alone is listed without a number.
    if (calls.empty() && values_["call"] == 1)
        calls.push_back(Call{1, false, 0, ""});
    std::sort(calls.begin(), calls.end(), [](const Call& a, const Call& b) { return a.index < b.index; });
    std::string out;
    for (const Call& c : calls) {
        out += "\r\n+CLCC: " + std::to_string(c.index) + "," + (c.incoming ? "1" : "0") + "," +
               std::to_string(c.status) + ",0,0";
        if (!c.number.empty())
            out += ",\"" + c.number + "\"," + (c.number[0] == '+' ? "145" : "129");
        out += "\r\n";
    }
    return out;
}

void SimPhone::dial_on_phone(const std::string& number)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        add_call(false, 2, number);
    }
    set_indicator("callsetup", 2, true);
    set_indicator("callsetup", 3, true);
}

bool SimPhone::send_gain(const std::string& code, int gain)
{
    std::vector<int> targets;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& [id, c] : conns_)
            if (c->open && (c->hf_features.load() & 16))
                targets.push_back(id);
    }
    bool sent = false;
    for (int id : targets)
        sent = send_line(id, code + ": " + std::to_string(gain)) || sent;
    return sent;
}

bool SimPhone::speaker_gain(int gain) { return send_gain("+VGS", gain); }
bool SimPhone::microphone_gain(int gain) { return send_gain("+VGM", gain); }

std::vector<std::string> SimPhone::protocol_errors() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return protocol_errors_;
}

bool SimPhone::incoming_call(const std::string& number, const std::string& name)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        add_call(true, 4, number);
    }
    set_indicator("callsetup", 1, true);
    int conn = listener_connection();
    bool rang = conn > 0 && ring(conn) && clip(conn, number, name);
    bool inband;
    {
        std::lock_guard<std::mutex> lock(mu_);
        inband = inband_;
    }
    if (inband)
        open_voice_async();
    return rang;
}

void SimPhone::remote_answer()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (Call& c : calls_)
            if (c.status >= 2 && c.status <= 4)
                c.status = 0;
    }
    set_indicator("call", 1, true);
    set_indicator("callsetup", 0, true);
    open_voice_async();
}

void SimPhone::remote_hangup()
{
    if (indicator("call") == 1)
        set_indicator("call", 0, true);
    else
        set_indicator("callsetup", 0, true);
}

// ---- record -------------------------------------------------------------------------

std::vector<Command> SimPhone::commands() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
}

std::vector<std::string> SimPhone::command_texts(int conn) const
{
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (const Command& c : commands_)
        if (conn < 0 || c.conn == conn)
            out.push_back(c.text);
    return out;
}

size_t SimPhone::command_count() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return commands_.size();
}

bool SimPhone::wait_for_command(const std::string& prefix, int timeout_ms, Command* out, int conn, size_t from)
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        for (size_t i = from; i < commands_.size(); i++) {
            if ((conn < 0 || commands_[i].conn == conn) && starts_with(commands_[i].text, prefix)) {
                if (out)
                    *out = commands_[i];
                return true;
            }
        }
        return false;
    });
}

// ---- SCO -----------------------------------------------------------------------------

void SimPhone::listen_sco()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (sco_listener_)
            return;
    }
    auto l = open_listener("sco", SOCK_SEQPACKET, -1, false);
    std::lock_guard<std::mutex> lock(mu_);
    sco_listener_ = l;
}

void SimPhone::stop_sco()
{
    std::shared_ptr<Listener> l;
    {
        std::lock_guard<std::mutex> lock(mu_);
        l.swap(sco_listener_);
    }
    close_listener(l);
}

void SimPhone::set_sco_mtu(int mtu)
{
    std::string path = phone_dir_ + "/sco_mtu", text = std::to_string(mtu) + "\n";
    FILE* f = std::fopen(path.c_str(), "w");
    if (f) {
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
}

int SimPhone::accept_sco(int timeout_ms)
{
    int lfd;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!sco_listener_)
            return -1;
        lfd = sco_listener_->fd;
    }
    pollfd p{lfd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return -1;
    int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        std::lock_guard<std::mutex> lock(mu_);
        sco_fds_.push_back(fd);
    }
    return fd;
}

void SimPhone::drop_sco(int fd)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = std::find(sco_fds_.begin(), sco_fds_.end(), fd);
    if (it == sco_fds_.end())
        return;
    shutdown(fd, SHUT_RDWR);
    close(fd);
    sco_fds_.erase(it);
}

void SimPhone::set_pc_address(const std::string& address)
{
    std::lock_guard<std::mutex> lock(mu_);
    pc_address_ = upper(address);
}

int SimPhone::open_sco_to_pc(int timeout_ms)
{
    std::string pc;
    {
        std::lock_guard<std::mutex> lock(mu_);
        pc = pc_address_;
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::snprintf(sun.sun_path, sizeof sun.sun_path, "%s/%s/sco", shim_dir_.c_str(), pc.c_str());
    unsigned char verdict = 1;
    pollfd p{fd, POLLIN, 0};
    bool up = !pc.empty() && connect(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) == 0 &&
              send(fd, address_.data(), address_.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(address_.size()) &&
              poll(&p, 1, timeout_ms) == 1 && recv(fd, &verdict, 1, 0) == 1 && verdict == 0;
    if (!up) {
        close(fd);
        return -1;
    }
    std::lock_guard<std::mutex> lock(mu_);
    sco_fds_.push_back(fd);
    handset_ = false;
    return fd;
}

void SimPhone::set_opens_voice(bool on)
{
    std::lock_guard<std::mutex> lock(mu_);
    opens_voice_ = on;
}

void SimPhone::set_inband_ringing(bool on)
{
    std::lock_guard<std::mutex> lock(mu_);
    inband_ = on;
    // AG feature bit 3: in-band ring tone capability.
    ag_features_ = on ? (ag_features_ | 8) : (ag_features_ & ~8);
}

void SimPhone::open_voice_async()
{
    std::lock_guard<std::mutex> lock(mu_);
    if (!opens_voice_ || stopping_)
        return;
    threads_.emplace_back([this] {
        // With codecs negotiated the phone first sets up the link's codec
        // ("+BCS: n", answered by AT+BCS=n within 2 s), as it does when asked
        // with AT+BCC; unanswered, the link is CVSD.
        std::string bcs = codec_choice("AT+BCC");
        std::shared_ptr<Conn> conn = bcs.empty() ? nullptr : find(listener_connection());
        if (conn && write_reply(conn, bcs, true)) {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait_until(lock, bcs_deadline_, [&] { return pending_bcs_ == 0 || stopping_; });
        }
        for (int attempt = 0; attempt < 3 && !stopping_; ++attempt) {
            if (attempt > 0)
                sleep_ms(300);
            int fd = open_sco_to_pc();
            std::lock_guard<std::mutex> lock(mu_);
            if (fd >= 0) {
                phone_opened_.push_back(fd);
                cv_.notify_all();
                return;
            }
            voice_links_refused_++;
        }
        std::lock_guard<std::mutex> lock(mu_);
        handset_ = true;
        cv_.notify_all();
    });
}

void SimPhone::voice_after_command(const std::string& command, const std::string& reply)
{
    if (reply.find("OK") == std::string::npos)
        return;
    bool call_up = indicator("call") == 1;
    if (starts_with(command, "ATD") || command == "ATA" || (command == "AT+CMER=3,0,0,1" && call_up))
        open_voice_async();
}

int SimPhone::take_phone_sco(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !phone_opened_.empty(); }))
        return -1;
    int fd = phone_opened_.front();
    phone_opened_.erase(phone_opened_.begin());
    return fd;
}

int SimPhone::voice_link(int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int fd = take_phone_sco(0);
        if (fd < 0)
            fd = accept_sco(timeout_ms > 0 ? 20 : 0);
        if (fd >= 0 || std::chrono::steady_clock::now() >= deadline)
            return fd;
        sleep_ms(5);   // the phone may not be listening for the PC's
    }
}

bool SimPhone::sound_on_handset() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return handset_;
}

void SimPhone::move_sound_to_handset()
{
    std::lock_guard<std::mutex> lock(mu_);
    // Shut down, not closed: whoever took the descriptor closes it.
    for (int fd : sco_fds_)
        shutdown(fd, SHUT_RDWR);
    phone_opened_.clear();
    handset_ = true;
}

void SimPhone::set_active_audio_device(bool pc_is_active)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        pc_active_ = pc_is_active;
    }
    // Android refuses the link of a hands-free unit that is not its active
    // audio device: nothing answers its connect.
    if (pc_is_active)
        listen_sco();
    else
        stop_sco();
}

std::string shim_library() { return TELVANE_BTSHIM; }

std::map<std::string, std::string> shim_env(const std::string& shim_dir)
{
    return {{"LD_PRELOAD", shim_library()},
            {"TELVANE_BT_SHIM_DIR", shim_dir},
            {"ASAN_OPTIONS", "detect_leaks=0:verify_asan_link_order=0"}};
}

}  // namespace sim
