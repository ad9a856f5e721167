#include "wasapi/com_support.h"

#include <avrt.h>

#include "base/text.h"
#include "engine/capture_stamps.h"

namespace quillbox::wasapi {

ProAudioThread::ProAudioThread() {
  DWORD task_index = 0;
  handle_ = ::AvSetMmThreadCharacteristicsW(L"Pro Audio", &task_index);
}

ProAudioThread::~ProAudioThread() {
  if (handle_ != nullptr) ::AvRevertMmThreadCharacteristics(handle_);
}

std::string wide_to_utf8(const wchar_t* text) {
  if (text == nullptr) return {};
  const std::wstring_view view(text);
  return utf16_to_utf8(std::u16string(view.begin(), view.end()));
}

std::wstring utf8_to_wide(std::string_view text) {
  const std::u16string wide = utf8_to_utf16(text);
  return std::wstring(wide.begin(), wide.end());
}

std::uint64_t QpcClock::now_100ns() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER count;
  ::QueryPerformanceCounter(&count);
  // Whole seconds and the remainder apart, so the product cannot overflow.
  const std::uint64_t c = static_cast<std::uint64_t>(count.QuadPart);
  const std::uint64_t f = static_cast<std::uint64_t>(frequency);
  return c / f * 10'000'000 + c % f * 10'000'000 / f;
}

QpcClock::QpcClock() {
  // The steady reading sits between two QPC readings; their middle is its QPC time.
  const std::uint64_t before = now_100ns();
  const auto steady = std::chrono::steady_clock::now().time_since_epoch();
  const std::uint64_t after = now_100ns();
  const std::uint64_t middle = before + (after - before) / 2;
  offset_ = std::chrono::duration_cast<std::chrono::nanoseconds>(steady) -
            std::chrono::nanoseconds(static_cast<std::int64_t>(middle) * 100);
}

CaptureTime QpcClock::to_steady(std::uint64_t qpc_100ns) const {
  const std::chrono::nanoseconds qpc(static_cast<std::int64_t>(qpc_100ns) * 100);
  return CaptureTime(std::chrono::duration_cast<CaptureTime::duration>(qpc + offset_));
}

CaptureTime packet_time(const QpcClock& clock, std::uint64_t qpc_100ns, bool has_position,
                        std::uint32_t frames, std::uint32_t rate) {
  if (has_position && qpc_100ns != 0) return clock.to_steady(qpc_100ns);
  return std::chrono::steady_clock::now() -
         std::chrono::duration_cast<CaptureTime::duration>(frames_length(frames, rate));
}

}  // namespace quillbox::wasapi
