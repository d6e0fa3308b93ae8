#include "mix/source_buffer.h"

#include "mix/growth.h"

namespace {

constexpr uint64_t kTrimThreshold = 19200;  // samples (200 ms): more unread than this is cut back
constexpr uint64_t kTrimTarget = 1920;      // samples (20 ms): the newest ones survive a cut

void Append(std::vector<int16_t>& queue, const BYTE* data, UINT32 frames, bool silent) {
    const size_t added = size_t{frames} * 2;
    ReserveForGrowth(queue, queue.size() + added);
    // A silent packet's data is undefined and may not be read: it gives zeros.
    if (silent || frames == 0) {
        queue.resize(queue.size() + added);
        return;
    }
    const auto* samples = reinterpret_cast<const int16_t*>(data);
    queue.insert(queue.end(), samples, samples + added);
}

// After a long stall, old audio is dropped rather than played late.
void Trim(CaptureSource& source) {
    const uint64_t stored = source.sample_queue.size();
    if (stored - source.read_index > kTrimThreshold) source.read_index = stored - kTrimTarget;
}

// Moves the unread samples to the front once most of the queue is read;
// erase keeps the storage.
void Compact(CaptureSource& source) {
    std::vector<int16_t>& queue = source.sample_queue;
    if (source.read_index == 0 || 2 * source.read_index <= queue.size()) return;
    queue.erase(queue.begin(), queue.begin() + static_cast<ptrdiff_t>(source.read_index));
    source.read_index = 0;
}

}  // namespace

void PumpSource(CaptureSource& source) {
    IAudioCaptureClient* capture = source.stream.capture_client;
    UINT32 packet_frames = 0;
    HRESULT hr = capture->GetNextPacketSize(&packet_frames);
    while (SUCCEEDED(hr) && packet_frames != 0) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        hr = capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
        if (FAILED(hr)) break;
        Append(source.sample_queue, data, frames, (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0);
        capture->ReleaseBuffer(frames);
        hr = capture->GetNextPacketSize(&packet_frames);
    }
    if (FAILED(hr)) {
        source.failed = true;  // the next reconciliation replaces or drops it
        return;
    }
    Trim(source);
    Compact(source);
}
