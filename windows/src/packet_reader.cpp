#include "packet_reader.h"

namespace quillbox::wasapi {

std::optional<PacketFailure> PacketReader::drain(IAudioCaptureClient& capture,
                                                 const Deliver& deliver) {
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
    if (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) discontinuity_ = true;
    // A position flagged as wrong is no position.
    const bool positioned = !(flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR);
    const CaptureTime time = packet_time(clock_, qpc_position, positioned, frames, rate_);
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
