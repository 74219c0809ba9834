// Which speech codec a call uses, agreed over the AT link (hands-free 1.7
// and later): we list what we can carry (AT+BAC), the phone picks
// ("+BCS: n"), we confirm (AT+BCS=n). Pure: the phone's lines in, the
// commands to send out; the link code sends them.
#pragma once
#include "core/voice_codec.h"
#include "core/features.h"

#include <string>
#include <string_view>


class CodecNegotiation {
public:
    // A codec set as bits 1 << codec number; CVSD is always in it.
    static constexpr unsigned kCvsdOnly = 1u << 1;
    static constexpr unsigned kAll = kCvsdOnly | 1u << 2 | 1u << 3;
    static unsigned bit(VoiceCodec c) { return 1u << static_cast<int>(c); }

    explicit CodecNegotiation(unsigned available = kAll) { available_ = available | kCvsdOnly; }

    // The phone's "+BRSF:" bits, -1 when it sent none. Negotiation runs
    // only when both sides claim it; otherwise every call is CVSD.
    void set_phone_features(int features);
    bool negotiating() const { return negotiating_; }

    // The AT+BAC command for the handshake, "" when not negotiating.
    std::string bac_command() const;
    // A line from the phone: the command to answer it with, "" when the
    // line is not ours to answer.
    std::string on_line(std::string_view line);
    // Asking the phone for a codec connection before opening the voice
    // link ourselves: "AT+BCC\r", "" when not negotiating.
    std::string bcc_command() const { return negotiating_ ? "AT+BCC\r" : ""; }
    // What we can carry changed (a transparent link refused): the AT+BAC
    // to send again, "" when nothing changed or not negotiating.
    std::string set_available(unsigned available);
    unsigned available() const { return available_; }

    // The codec of the next voice link: the last one confirmed, CVSD
    // until then.
    VoiceCodec codec() const { return codec_; }
    // The voice link failed in this codec: back to CVSD for good on this
    // connection. The AT+BAC to send, as set_available.
    std::string fall_back();

private:
    unsigned available_;
    bool negotiating_ = false;
    VoiceCodec codec_ = VoiceCodec::CVSD;
};
