#include "mix/source_buffer.h"

#include <algorithm>

#include "mix/growth.h"

namespace {

void Append(std::vector<int16_t>& queue, const BYTE* data, UINT32 frames, bool silent, size_t units) {
    const size_t added = size_t{frames} * units;
    ReserveForGrowth(queue, queue.size() + added);
    // A silent packet's data is undefined and may not be read: it gives zeros.
    if (silent || frames == 0) {
        queue.resize(queue.size() + added);
        return;
    }
    const auto* samples = reinterpret_cast<const int16_t*>(data);
    queue.insert(queue.end(), samples, samples + added);
}

}  // namespace

void PumpSource(CaptureSource& source, const MixFrames& mix) {
    IAudioCaptureClient* capture = source.stream.capture_client;
    UINT32 packet_frames = 0;
    HRESULT hr = capture->GetNextPacketSize(&packet_frames);
    while (SUCCEEDED(hr) && packet_frames != 0) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        hr = capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
        if (FAILED(hr)) break;
        Append(source.sample_queue, data, frames, (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0, mix.units);
        capture->ReleaseBuffer(frames);
        hr = capture->GetNextPacketSize(&packet_frames);
    }
    if (FAILED(hr)) source.failed = true;  // the next reconciliation replaces or drops it
}

void SkipSource(CaptureSource& source, size_t chunk_frames, size_t skipped_frames, const MixFrames& mix) {
    if (!source.primed || skipped_frames == 0) return;
    const uint64_t unread = (source.sample_queue.size() - source.read_index) / mix.units;
    // What it held after its last chunk stays: a device that lost packets
    // over the stall has already skipped them.
    const uint64_t kept = chunk_frames + static_cast<uint64_t>(std::max<int64_t>(source.drift.left, 0));
    if (unread > kept) source.read_index += mix.units * std::min<uint64_t>(skipped_frames, unread - kept);
}

void TrimSource(CaptureSource& source, const MixFrames& mix) {
    std::vector<int16_t>& queue = source.sample_queue;
    // Old audio is dropped rather than played late: more than a chunk's most.
    if (queue.size() - source.read_index > static_cast<size_t>(mix.max_chunk) * mix.units)
        source.read_index = queue.size() - static_cast<size_t>(mix.trim_target) * mix.units;
    // erase keeps the storage.
    if (source.read_index == 0 || 2 * source.read_index <= queue.size()) return;
    queue.erase(queue.begin(), queue.begin() + static_cast<ptrdiff_t>(source.read_index));
    source.read_index = 0;
}
