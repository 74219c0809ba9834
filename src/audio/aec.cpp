#include "audio/aec.h"

#include <webrtc/common.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <cstring>

AecInstance* aec_handle = nullptr;
std::atomic<int> aec_enabled{0};
int16_t aec_render_fifo[kAecFifoCapacity];
int aec_fifo_head = 0;
int aec_fifo_tail = 0;
int aec_fifo_size = 0;
std::mutex aec_fifo_mutex;
std::mutex aec_mutex;

namespace {

void fill_frame(webrtc::AudioFrame& frame, const int16_t* samples, int count, int rate)
{
    std::memset(frame.data_, 0, sizeof frame.data_);
    frame.UpdateFrame(0, 0, samples, static_cast<size_t>(count), rate, webrtc::AudioFrame::kNormalSpeech,
                      webrtc::AudioFrame::kVadUnknown, 1);
    frame.elapsed_time_ms_ = -1;
    frame.ntp_time_ms_ = -1;
    frame.interleaved_ = true;
}

}  // namespace

AecInstance* aec_create(int sample_rate)
{
    if (sample_rate <= 0)
        return nullptr;
    // One 10 ms frame must fit the library's frame buffer.
    if (sample_rate / 100 > static_cast<int>(webrtc::AudioFrame::kMaxDataSizeSamples))
        return nullptr;
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create());
    if (!apm)
        return nullptr;

    apm->echo_cancellation()->Enable(true);
    apm->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kLowSuppression);
    apm->echo_cancellation()->enable_drift_compensation(true);
    apm->noise_suppression()->Enable(false);
    apm->gain_control()->Enable(false);
    apm->high_pass_filter()->Enable(false);

    webrtc::StreamConfig stream(sample_rate, 1, false);
    webrtc::ProcessingConfig processing = {{stream, stream, stream, stream}};
    apm->Initialize(processing);

    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    apm->SetExtraOptions(config);

    auto* aec = new AecInstance{};
    aec->processor = std::move(apm);
    aec->stream_sample_rate = sample_rate;
    aec->stream_channels = 1;
    aec->stream_keyboard_channel = false;
    aec->stream_frames = stream.num_frames();
    aec->sample_rate = sample_rate;
    return aec;
}

int aec_process(AecInstance* aec, int16_t* capture, const int16_t* render, int samples)
{
    if (!aec || !aec->processor || !capture || !render || samples < 1 || samples != aec->sample_rate / 100)
        return -1;

    webrtc::AudioFrame render_frame;
    fill_frame(render_frame, render, samples, aec->sample_rate);
    if (aec->processor->ProcessReverseStream(&render_frame) != 0)
        return -1;

    webrtc::AudioFrame capture_frame;
    fill_frame(capture_frame, capture, samples, aec->sample_rate);
    // The 0.x library refuses every capture frame unless both are given
    // first, each time; without them nothing would ever be cancelled.
    aec->processor->set_stream_delay_ms(kAecStreamDelayMs);
    aec->processor->echo_cancellation()->set_stream_drift_samples(0);
    if (aec->processor->ProcessStream(&capture_frame) != 0)
        return -1;

    std::memcpy(capture, capture_frame.data_, sizeof(int16_t) * static_cast<size_t>(samples));
    return 0;
}

void aec_destroy(AecInstance* aec)
{
    delete aec;   // the unique_ptr deletes the processor
}

void aec_fifo_push(const int16_t* samples, int count)
{
    if (!samples || count <= 0)
        return;
    std::lock_guard<std::mutex> lock(aec_fifo_mutex);
    for (int i = 0; i < count; ++i) {
        aec_render_fifo[aec_fifo_head] = samples[i];
        aec_fifo_head = (aec_fifo_head + 1) % kAecFifoCapacity;
        if (aec_fifo_size < kAecFifoCapacity)
            ++aec_fifo_size;
        else
            aec_fifo_tail = (aec_fifo_tail + 1) % kAecFifoCapacity;   // oldest sample lost
    }
}

bool aec_fifo_pop_frame(int16_t* out) { return aec_fifo_pop(out, kAecFrameSamples); }

bool aec_fifo_pop(int16_t* out, int count)
{
    std::lock_guard<std::mutex> lock(aec_fifo_mutex);
    if (aec_fifo_size < count) {
        std::fill(out, out + count, int16_t{0});
        return false;
    }
    for (int i = 0; i < count; ++i) {
        out[i] = aec_render_fifo[aec_fifo_tail];
        aec_fifo_tail = (aec_fifo_tail + 1) % kAecFifoCapacity;
    }
    aec_fifo_size -= count;
    return true;
}

void aec_fifo_reset()
{
    std::lock_guard<std::mutex> lock(aec_fifo_mutex);
    aec_fifo_head = 0;
    aec_fifo_tail = 0;
    aec_fifo_size = 0;
}
