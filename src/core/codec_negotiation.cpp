#include "core/codec_negotiation.h"

#include "core/at_result.h"

void CodecNegotiation::set_phone_features(int features)
{
    negotiating_ = features >= 0 && (features & AG_CODEC_NEGOTIATION) != 0;
    if (!negotiating_)
        codec_ = VoiceCodec::CVSD;
}

std::string CodecNegotiation::bac_command() const
{
    if (!negotiating_)
        return "";
    std::string command = "AT+BAC=";
    for (int c = 1; c <= 3; ++c) {
        if (available_ & (1u << c)) {
            if (command.back() != '=')
                command += ',';
            command += std::to_string(c);
        }
    }
    return command + "\r";
}

std::string CodecNegotiation::on_line(std::string_view line)
{
    if (line.substr(0, 5) != "+BCS:")
        return "";
    int n = 0;
    if (!parse_bcs(line, &n) || n < 1 || n > 3 || !(available_ & (1u << n)))
        return negotiating_ ? bac_command() : "AT+BAC=1\r";   // not ours: tell it again what is
    codec_ = static_cast<VoiceCodec>(n);
    return "AT+BCS=" + std::to_string(n) + "\r";
}

std::string CodecNegotiation::set_available(unsigned available)
{
    available |= kCvsdOnly;
    if (available == available_)
        return "";
    available_ = available;
    if (!(available_ & bit(codec_)))
        codec_ = VoiceCodec::CVSD;
    return bac_command();
}

std::string CodecNegotiation::fall_back()
{
    codec_ = VoiceCodec::CVSD;
    return set_available(kCvsdOnly);
}
