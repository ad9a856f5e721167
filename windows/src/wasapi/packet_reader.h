#pragma once

// Draining a WASAPI capture client: every queued packet in order, with its
// capture time on the steady clock, shared by loopback and input streams.

#include <windows.h>

#include <audioclient.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

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
  // `rate` times packets that come without a position; a frame is
  // `frame_bytes` long.
  PacketReader(std::uint32_t rate, std::size_t frame_bytes)
      : rate_(rate), frame_bytes_(frame_bytes), stamps_(rate) {}

  // Called per packet with its data (null when the packet is flagged
  // silent), its frame count and the capture time of its first frame (the
  // packets' positions, held to what was queued behind them and followed by
  // their frames).
  using Deliver = std::function<void(const BYTE* data, UINT32 frames, CaptureTime time)>;

  // Reads packets until none is queued, then delivers them: a burst and a
  // pause are told apart by what was queued. A failing call ends the drain
  // (what was read before it is delivered) and is returned. The first packet
  // flagged as a discontinuity returns `true` from `take_discontinuity` once.
  std::optional<PacketFailure> drain(IAudioCaptureClient& capture, const Deliver& deliver);
  bool take_discontinuity();

 private:
  struct Packet {
    std::size_t offset;  // into bytes_
    UINT32 frames;
    bool silent;
    bool lost_before;
    CaptureTime measured;
  };
  std::optional<PacketFailure> read_all(IAudioCaptureClient& capture);

  std::uint32_t rate_;
  std::size_t frame_bytes_;
  QpcClock clock_;
  CaptureStamps stamps_;
  std::vector<Packet> packets_;  // one drain's, reused
  std::vector<BYTE> bytes_;
  bool discontinuity_ = false;
  bool discontinuity_reported_ = false;
};

}  // namespace quillbox::wasapi
