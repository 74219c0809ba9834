// A simulated phone: the Audio Gateway side of HFP, served over the Unix
// sockets that the Bluetooth socket shim (tools/btshim) connects to.
//
// Use it in-process from tests (every server runs on its own threads):
//
//   th::TempDir shim;                        // TELVANE_BT_SHIM_DIR of the product
//   sim::SimPhone phone(shim.path(), "00:11:22:33:44:55");
//   phone.serve_hfp(5);                      // SDP record for 0x111F on channel 5 + RFCOMM server
//   ... the product connects ...
//   phone.wait_for_command("AT+CLIP=1", 3000);
//   phone.ring(phone.listener_connection());
//   phone.clip(phone.listener_connection(), "+4930123456", "Alice");
//   phone.ciev(phone.listener_connection(), "callsetup", 1);   // index follows the indicator order
//   int sco = phone.accept_sco(2000);        // phone side of the voice link
//
// Folder layout and fault files are described in tools/btshim/btshim.c.
// Behaviour setters may be called at any time; they apply to the next reply.
// Connection ids start at 1 and are never reused within one SimPhone.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// One service record of the SDP server.
struct SdpRecord {
    uint16_t service_class = 0x111F;   // 0x111F = Handsfree Audio Gateway
    int rfcomm_channel = 3;            // -1: no RFCOMM in the protocol descriptor list
    bool uuid128 = false;              // protocol UUIDs written as 128-bit UUIDs
};

// The two indicator orders real phones use for "AT+CIND=?".
extern const std::vector<std::string> kOrderServiceFirst;   // service, call, callsetup, callheld, signal, roam, battchg
extern const std::vector<std::string> kOrderCallFirst;      // call, callsetup, service, signal, roam, battchg, callheld

enum class DialReply { OK, ERROR, NO_CARRIER, BUSY, SILENCE };

// A command as the phone received it (without its "\r").
struct Command {
    int conn = 0;
    int channel = 0;
    std::chrono::steady_clock::time_point at;
    std::string text;
};

class SimPhone {
public:
    // Creates shim_dir/ADDR, so the phone is in range (connects to a missing
    // service give ECONNREFUSED). Nothing is served until asked.
    SimPhone(std::string shim_dir, std::string address = "00:11:22:33:44:55");
    ~SimPhone();
    SimPhone(const SimPhone&) = delete;
    SimPhone& operator=(const SimPhone&) = delete;

    const std::string& address() const { return address_; }
    const std::string& dir() const { return phone_dir_; }

    // Out of range: connects give EHOSTDOWN. Servers keep running.
    void set_in_range(bool in_range);
    // Makes the next count uses of a shim operation fail with error (an errno
    // name such as "EBUSY"); count 0 = every time until cleared. Operations:
    // socket-rfcomm, socket-l2cap, socket-sco, connect-rfcomm, connect-l2cap,
    // connect-sco, setsockopt-bt_voice, getsockopt-bt_voice, getsockopt-sco_options.
    void inject_fault(const std::string& op, const std::string& error, int count = 1);
    void clear_fault(const std::string& op);

    // ---- SDP -------------------------------------------------------------
    void start_sdp(std::vector<SdpRecord> records);
    void set_sdp_records(std::vector<SdpRecord> records);
    void stop_sdp();
    // Requests that search for the hands-free gateway service. Others are
    // not counted: an obexd started under the shim searches for the
    // phonebook service on the same server.
    int hfp_sdp_search_count() const { return hfp_sdp_searches_.load(); }

    // ---- RFCOMM ----------------------------------------------------------
    void listen_rfcomm(int channel);
    void stop_rfcomm(int channel);   // refuses new connections; open ones stay
    // start_sdp({{0x111F, channel}}) and listen_rfcomm(channel).
    void serve_hfp(int channel);

    // ---- AT behaviour ----------------------------------------------------
    void set_indicator_order(const std::vector<std::string>& names);
    std::vector<std::string> indicator_order() const;
    // 1-based index of an indicator in the current order, -1 when absent.
    int indicator_index(const std::string& name) const;
    // Value reported by "AT+CIND?". With notify, "+CIEV:" goes to every
    // connection that enabled event reporting (AT+CMER=3,0,0,1 answered OK).
    void set_indicator(const std::string& name, int value, bool notify = false);
    int indicator(const std::string& name) const;

    void set_cmer_1_error(bool error);                 // "ERROR" to AT+CMER=3,0,0,1
    void set_ag_features(int features);                // "+BRSF:" value (bit 0: three-way calling)
    void set_admit_delay_ms(int ms);                   // RFCOMM connects complete only after this
    void set_dial_reply(DialReply reply);
    // After ATD OK / ATA / AT+CHUP, play the indicator events a phone sends
    // (callsetup 2, 3; call 1 + callsetup 0; call 0 or callsetup 0).
    void set_auto_call_progress(bool on);
    // Every reply written in pieces of chunk bytes with gap_ms between (0 = whole).
    void set_reply_chunking(size_t chunk, int gap_ms = 3);
    void set_reply_delay_ms(int ms);
    void set_silent(bool silent);                      // record commands, answer nothing
    void set_silent_on(const std::string& prefix);     // answer nothing to these commands
    // Closes the link when this command arrives, the next times times (0 = always).
    void set_drop_on(const std::string& prefix, int times = 0);
    // Full control: return true to take the command; *reply is written raw
    // (empty = silence). Runs on the connection's thread.
    using CommandHook = std::function<bool(int conn, const std::string& command, std::string* reply)>;
    void set_command_hook(CommandHook hook);

    // ---- connections -----------------------------------------------------
    std::vector<int> connections() const;          // open ones, oldest first
    int connection_count() const;                  // accepted so far, open or not
    int busy_refusals() const;                     // connects refused with EBUSY (channel in use)
    int voice_links_refused() const;               // voice links the phone opened and the PC refused
    int latest_connection() const;                 // most recent open, -1 if none
    int listener_connection() const;               // most recent open that sent AT+CLIP=1, -1 if none
    bool is_open(int conn) const;
    int channel_of(int conn) const;
    bool wait_for_connections(int count, int timeout_ms);
    bool wait_for_close(int conn, int timeout_ms);
    void drop(int conn);                           // the phone closes the link
    void drop_all();

    // ---- unsolicited codes -----------------------------------------------
    bool send_raw(int conn, const std::string& bytes);
    bool send_line(int conn, const std::string& line);   // "\r\n" + line + "\r\n"
    bool ring(int conn) { return send_line(conn, "RING"); }
    bool clip(int conn, const std::string& number, const std::string& name = "");
    // clip() sends the common form +CLIP: "<number>",<145|129>,,,"<name>";
    // send_line() any other form.
    // "+CIEV: <index of name>,<value>"; false when the name is not in the order.
    bool ciev(int conn, const std::string& name, int value);
    bool no_carrier(int conn) { return send_line(conn, "NO CARRIER"); }
    // A call coming in: callsetup 1 to every reporting connection, then RING
    // and +CLIP on the listener connection (false when there is none).
    bool incoming_call(const std::string& number, const std::string& name = "");
    // A second caller during a call: callsetup 1 to every reporting
    // connection, then "+CCWA:" to those that enabled it (AT+CCWA=1); false
    // when none had. AT+CHLD=0/1/2 then act on it as a phone does, with
    // the indicator events that follow; AT+VTS is answered during a call.
    bool waiting_call(const std::string& number, const std::string& name = "");
    void remote_answer();   // the call is up: call 1, callsetup 0
    void remote_hangup();   // call 0, or callsetup 0 when no call was up
    // A call dialled on the phone itself: callsetup 2, 3 and no "+CLIP:".
    void dial_on_phone(const std::string& number);
    // "+VGS: n" / "+VGM: n" to every connection whose AT+BRSF claimed remote
    // volume control; false when none had.
    bool speaker_gain(int gain);
    bool microphone_gain(int gain);
    bool busy(int conn) { return send_line(conn, "BUSY"); }

    // ---- record ----------------------------------------------------------
    // Commands that arrived before the final result of the one before them:
    // a real gateway drops or refuses them. Tests expect this to stay empty.
    std::vector<std::string> protocol_errors() const;
    std::vector<Command> commands() const;
    std::vector<std::string> command_texts(int conn = -1) const;
    size_t command_count() const;
    // Waits for a command starting with prefix among those with index >= from
    // (optionally on one connection).
    bool wait_for_command(const std::string& prefix, int timeout_ms, Command* out = nullptr, int conn = -1,
                          size_t from = 0);

    // ---- SCO -------------------------------------------------------------
    void listen_sco();
    void stop_sco();
    void set_sco_mtu(int mtu);     // what SCO_OPTIONS reports to the product
    // Accepts one SCO link; returns the phone-side seqpacket descriptor, or -1
    // on timeout. The phone owns it: close it with drop_sco or let the
    // destructor do it.
    int accept_sco(int timeout_ms);
    void drop_sco(int fd);
    // The adapter in the shim refuses transparent links (EOPNOTSUPP).
    void refuse_transparent(bool refuse);
    // BT_VOICE of the last SCO connect (0x0060 CVSD, 0x0003 transparent), -1 before any.
    int last_sco_voice() const;

    // ---- codec negotiation -----------------------------------------------
    // The codecs the phone speaks, best first (1 CVSD, 2 mSBC, 3 LC3-SWB).
    // Empty (the default): it never sends "+BCS:" and every call is CVSD.
    // Otherwise, after AT+BAC (and AT+BCC) it picks the best one the
    // hands-free unit listed, sends "+BCS: n" and expects AT+BCS=n within
    // 2 s, else falls back to CVSD.
    void set_codecs(std::vector<int> codecs);
    int negotiated_codec() const;
    // What the phone codes on the link it got: the agreed codec on a
    // transparent link, CVSD on a CVSD one.
    int sco_link_codec() const;

    // ---- the phone's own voice links, as Android opens them ---------------
    // Where the phone opens them: the PC adapter's address (its listening
    // SCO socket under the shim).
    void set_pc_address(const std::string& address);
    // Opens a voice link to the PC: the phone-side descriptor once the PC
    // completed it, -1 when it refused (closed it unread) or nothing listens.
    int open_sco_to_pc(int timeout_ms = 2000);
    // As Android does (on by default), the phone opens the voice link itself
    // on dialling, on an answer from either side, for a call already up when
    // a hands-free link starts reporting events, and while ringing when
    // in-band ringing is on. Refused three times, it keeps the sound on its
    // handset. Off, it leaves every voice link to the hands-free unit.
    void set_opens_voice(bool on);
    void set_inband_ringing(bool on);
    // A link the phone opened by itself and the PC took; -1 if none came.
    int take_phone_sco(int timeout_ms);
    // The call's voice link, whoever opened it: the phone's own or the PC's
    // connect; -1 if none came.
    int voice_link(int timeout_ms);
    bool sound_on_handset() const;
    // The user moves the call's sound to the handset: the phone closes its
    // voice links; a voice connect from the PC brings the sound back.
    void move_sound_to_handset();
    // Not the phone's active audio device: it refuses the PC's voice connects.
    void set_active_audio_device(bool pc_is_active);

private:
    struct Conn;
    struct Listener;
    void accept_loop(std::shared_ptr<Listener> listener);
    void serve_rfcomm(std::shared_ptr<Conn> conn);
    bool admit_rfcomm(int fd, int channel);
    bool chld_events(const std::string& action, std::vector<std::pair<std::string, int>>* after);
    void serve_sdp(int fd);
    void handle_command(const std::shared_ptr<Conn>& conn, const std::string& command, bool more_waiting);
    void note_early(const std::shared_ptr<Conn>& conn, const std::string& command, bool more_waiting);
    std::string call_list();   // mu_ held
    bool send_gain(const std::string& code, int gain);
    void open_voice_async();
    void voice_after_command(const std::string& command, const std::string& reply);
    std::string builtin_reply(const std::shared_ptr<Conn>& conn, const std::string& command,
                              std::vector<std::pair<std::string, int>>* after);
    bool write_reply(const std::shared_ptr<Conn>& conn, const std::string& bytes, bool chunked);
    std::shared_ptr<Conn> find(int conn) const;
    std::shared_ptr<Listener> open_listener(const std::string& name, int type, int channel, bool accept);
    void close_listener(std::shared_ptr<Listener>& listener);

    std::string shim_dir_, address_, phone_dir_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> hfp_sdp_searches_{0};
    int busy_refusals_ = 0;   // guarded by mu_
    int voice_links_refused_ = 0;   // guarded by mu_

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<SdpRecord> sdp_records_;
    std::shared_ptr<Listener> sdp_listener_;
    std::map<int, std::shared_ptr<Listener>> rfcomm_listeners_;
    std::shared_ptr<Listener> sco_listener_;
    std::vector<int> sco_fds_;
    std::string pc_address_ = "00:01:02:03:04:05";   // the BlueZ stand-in's hci0
    bool opens_voice_ = true;
    bool inband_ = false;
    bool handset_ = false;
    bool pc_active_ = true;
    std::vector<int> phone_opened_;   // links the phone opened, not yet taken
    std::map<int, std::shared_ptr<Conn>> conns_;
    std::vector<std::thread> threads_;
    std::vector<Command> commands_;
    std::vector<std::string> protocol_errors_;
    int next_conn_ = 1;
    // The phone's calls as AT+CLCC lists them; indices stay while a call lives.
    struct Call {
        int index;
        bool incoming;
        int status;   // 0 active, 1 held, 2 dialling, 3 alerting, 4 incoming, 5 waiting
        std::string number;
    };
    std::vector<Call> calls_;
    void add_call(bool incoming, int status, const std::string& number);   // mu_ held

    std::vector<std::string> order_;
    std::map<std::string, int> values_;
    bool cmer_1_error_ = false;
    int ag_features_ = 871;
    int admit_delay_ms_ = 0;
    DialReply dial_reply_ = DialReply::OK;
    bool auto_progress_ = false;
    size_t chunk_ = 0;
    int chunk_gap_ms_ = 3;
    int reply_delay_ms_ = 0;
    bool silent_ = false;
    std::vector<std::string> silent_on_;
    std::vector<std::pair<std::string, int>> drop_on_;   // prefix, times left (0 = always)
    CommandHook hook_;
    std::vector<int> codecs_, hf_codecs_;
    mutable int codec_ = 1, pending_bcs_ = 0;
    mutable std::chrono::steady_clock::time_point bcs_deadline_{};
    std::string codec_choice(const std::string& command);
};

// Path of libbtshim.so in this build.
std::string shim_library();
// Environment that runs a program under the shim with shim_dir as its
// folder (LD_PRELOAD, TELVANE_BT_SHIM_DIR, ASan's link-order check off).
std::map<std::string, std::string> shim_env(const std::string& shim_dir);

// SDP wire format, exposed for the tests of the server itself.
// searched, when given, receives the request's search pattern (128-bit UUIDs).
std::vector<uint8_t> sdp_answer(const std::vector<SdpRecord>& records, const std::vector<uint8_t>& request,
                                std::vector<std::vector<uint8_t>>* searched = nullptr);

}  // namespace sim
