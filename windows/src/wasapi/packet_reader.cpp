#include "wasapi/packet_reader.h"

#include <algorithm>

namespace quillbox::wasapi {

std::optional<PacketFailure> PacketReader::drain(IAudioClient& client, IAudioCaptureClient& capture,
                                                 const Deliver& deliver) {
  // What is queued now was captured by now at the latest, the oldest of it
  // its length ago. A driver that stamps packets with when it read them
  // (late, when it reads in bursts) is held to that.
  UINT32 queued_total = 0;
  if (FAILED(client.GetCurrentPadding(&queued_total))) queued_total = 0;
  const CaptureTime read_at = std::chrono::steady_clock::now();
  std::uint64_t consumed = 0;
  for (;;) {
    UINT32 queued = 0;
    HRESULT hr = capture.GetNextPacketSize(&queued);
    if (FAILED(hr)) return PacketFailure{"GetNextPacketSize", hr};
    if (queued == 0) return std::nullopt;
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 device_position = 0;
    UINT64 qpc_position = 0;
    hr = capture.GetBuffer(&data, &frames, &flags, &device_position, &qpc_position);
    if (FAILED(hr)) return PacketFailure{"GetBuffer", hr};
    if (hr == AUDCLNT_S_BUFFER_EMPTY) return std::nullopt;
    const bool lost = (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0;
    if (lost) discontinuity_ = true;
    // A position flagged as wrong is no position.
    const bool positioned = !(flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR);
    CaptureTime measured = packet_time(clock_, qpc_position, positioned, frames, rate_);
    if (consumed < queued_total) {
      measured = std::min(measured, read_at - frames_length(queued_total - consumed, rate_));
    }
    consumed += frames;
    const CaptureTime time =
        stamps_.place(measured, frames, std::chrono::steady_clock::now(), lost);
    deliver((flags & AUDCLNT_BUFFERFLAGS_SILENT) ? nullptr : data, frames, time);
    hr = capture.ReleaseBuffer(frames);
    if (FAILED(hr)) return PacketFailure{"ReleaseBuffer", hr};
  }
}

bool PacketReader::take_discontinuity() {
  if (!discontinuity_ || discontinuity_reported_) return false;
  discontinuity_reported_ = true;
  return true;
}

}  // namespace quillbox::wasapi
