#include "capture/relay.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "capture/audio_thread.h"
#include "capture/loopback_stream.h"
#include "capture/output.h"

namespace {

constexpr DWORD kWakeInterval = 1000;  // ms; wake even when no event comes

// Zeros written in place of silent packets. It only ever holds zeros, so
// growing it gives up the old storage without copying.
struct SilenceBuffer {
    std::unique_ptr<BYTE[]> storage;
    size_t capacity = 0;
};

const BYTE* Zeros(SilenceBuffer* silence, size_t length) {
    if (length > silence->capacity) {
        const size_t capacity = std::max(length, silence->capacity + silence->capacity / 2);
        silence->storage.reset();
        silence->storage.reset(new BYTE[capacity]);
        silence->capacity = capacity;
    }
    if (length != 0) memset(silence->storage.get(), 0, length);
    return silence->storage.get();
}

}  // namespace

int RelaySingleStream(DWORD pid, bool exclude, const PcmFormat& format) {
    CaptureStream stream;
    StageLabel label = "";
    const HRESULT opened = OpenLoopbackStream(pid, exclude ? kExcludeTargetTree : kIncludeTargetTree, format, &stream,
                                              &label);
    if (FAILED(opened)) return ReportError(label, opened);
    ReportReady(pid);
    ScheduleAsAudioThread();

    IAudioCaptureClient* capture = stream.capture_client;
    SilenceBuffer silence;
    for (;;) {
        WaitForSingleObject(stream.event, kWakeInterval);  // timed out, set or failed: look anyway
        UINT32 packet_size = 0;
        // A lost stream (the audio service restarted, the device went away)
        // fails GetNextPacketSize for good, and no event comes any more: the
        // run ends here rather than waking once a second forever.
        HRESULT next = capture->GetNextPacketSize(&packet_size);
        while (SUCCEEDED(next) && packet_size != 0) {
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            const HRESULT got = capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
            if (FAILED(got)) return ReportError("buffer", got);
            const size_t bytes = static_cast<uint64_t>(frames) * FrameBytes(format);
            const BYTE* out = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 ? Zeros(&silence, bytes) : data;
            const HRESULT written = WriteOutput(out, bytes);
            if (written != S_OK) return EndOfOutput(written);
            capture->ReleaseBuffer(frames);
            next = capture->GetNextPacketSize(&packet_size);
        }
        if (FAILED(next)) return ReportError("buffer", next);
        const HRESULT flushed = FlushOutput();
        if (flushed != S_OK) return EndOfOutput(flushed);
    }
}
