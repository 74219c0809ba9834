// The feature bits both sides announce with AT+BRSF / +BRSF.
#pragma once

enum HfFeature {
    HF_EC_NR = 1 << 0,
    HF_THREE_WAY = 1 << 1,
    HF_CLI = 1 << 2,
    HF_VOICE_RECOGNITION = 1 << 3,
    HF_REMOTE_VOLUME = 1 << 4,
    HF_ENHANCED_STATUS = 1 << 5,
    HF_ENHANCED_CONTROL = 1 << 6,
    HF_CODEC_NEGOTIATION = 1 << 7,
};

enum AgFeature {
    AG_THREE_WAY = 1 << 0,
    AG_EC_NR = 1 << 1,
    AG_VOICE_RECOGNITION = 1 << 2,
    AG_INBAND_RING = 1 << 3,
    AG_VOICE_TAG = 1 << 4,
    AG_REJECT = 1 << 5,
    AG_ENHANCED_STATUS = 1 << 6,
    AG_ENHANCED_CONTROL = 1 << 7,
    AG_EXTENDED_ERRORS = 1 << 8,
    AG_CODEC_NEGOTIATION = 1 << 9,
};

// What we claim in AT+BRSF: the one place the bits are composed. Echo
// cancelling only while the PC's own canceller runs.
inline int hf_features(bool echo_cancelling)
{
    return (echo_cancelling ? HF_EC_NR : 0) | HF_THREE_WAY | HF_CLI | HF_REMOTE_VOLUME | HF_ENHANCED_STATUS |
           HF_CODEC_NEGOTIATION;
}
