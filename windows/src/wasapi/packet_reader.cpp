#include "wasapi/packet_reader.h"

namespace quillbox::wasapi {

std::optional<PacketFailure> PacketReader::read_all(IAudioCaptureClient& capture) {
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
    const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
    // A position flagged as wrong is no position.
    const bool positioned = !(flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR);
    const std::size_t offset = bytes_.size();
    if (!silent) bytes_.insert(bytes_.end(), data, data + std::size_t{frames} * frame_bytes_);
    packets_.push_back({offset, frames, silent, lost,
                        packet_time(clock_, qpc_position, positioned, frames, rate_)});
    hr = capture.ReleaseBuffer(frames);
    if (FAILED(hr)) return PacketFailure{"ReleaseBuffer", hr};
  }
}

std::optional<PacketFailure> PacketReader::drain(IAudioCaptureClient& capture,
                                                 const Deliver& deliver) {
  packets_.clear();
  bytes_.clear();
  const auto failure = read_all(capture);
  // Everything read was captured by now; each packet is placed with what
  // followed it in the queue.
  const CaptureTime now = std::chrono::steady_clock::now();
  std::size_t queued = 0;
  for (const Packet& p : packets_) queued += p.frames;
  for (const Packet& p : packets_) {
    const CaptureTime time = stamps_.place(p.measured, p.frames, now, queued, p.lost_before);
    queued -= p.frames;
    deliver(p.silent ? nullptr : bytes_.data() + p.offset, p.frames, time);
  }
  return failure;
}

bool PacketReader::take_discontinuity() {
  if (!discontinuity_ || discontinuity_reported_) return false;
  discontinuity_reported_ = true;
  return true;
}

}  // namespace quillbox::wasapi
