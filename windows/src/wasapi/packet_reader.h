#pragma once

// Draining a WASAPI capture client: every queued packet in order, with its
// capture time on the steady clock, shared by loopback and input streams.

#include <windows.h>

#include <audioclient.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "engine/capture_stamps.h"
#include "wasapi/com_support.h"

namespace quillbox::wasapi {

// A packet call that failed: its step name and HRESULT.
struct PacketFailure {
  const char* step;
  HRESULT hr;
};

class PacketReader {
 public:
  // `rate` times packets that come without a position.
  explicit PacketReader(std::uint32_t rate) : rate_(rate), stamps_(rate) {}

  // Called per packet with its data (null when the packet is flagged
  // silent), its frame count and the capture time of its first frame (the
  // packets' positions, held to what the queue's length allows and followed
  // by their frames); the buffer is released after the call returns.
  using Deliver = std::function<void(const BYTE* data, UINT32 frames, CaptureTime time)>;

  // Reads packets until none is queued. A failing call ends the drain and
  // is returned. The first packet flagged as a discontinuity returns
  // `true` from `take_discontinuity` once.
  std::optional<PacketFailure> drain(IAudioClient& client, IAudioCaptureClient& capture,
                                     const Deliver& deliver);
  bool take_discontinuity();

 private:
  std::uint32_t rate_;
  QpcClock clock_;
  CaptureStamps stamps_;
  bool discontinuity_ = false;
  bool discontinuity_reported_ = false;
};

}  // namespace quillbox::wasapi
