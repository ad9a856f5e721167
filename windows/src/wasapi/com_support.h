#pragma once

// Owning wrappers for what COM hands out, so that no path leaks: interface
// pointers, CoTaskMemAlloc'ed memory, PROPVARIANTs, and the per-thread
// apartment. Plus the multimedia class scheduler registration of capture
// threads and the conversion of audio packet positions to the steady clock.

#include <windows.h>

#include <objbase.h>
#include <propidl.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "engine/audio_buf.h"
#include "wasapi/wasapi_formats.h"

namespace quillbox::wasapi {

// One reference to a COM object; released when the holder goes.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes over a reference the caller owns.
  explicit ComPtr(T* owned) : p_(owned) {}
  ComPtr(const ComPtr& other) : p_(other.p_) {
    if (p_ != nullptr) p_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { reset(); }

  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out-parameters: releases what is held and hands out the slot.
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

 private:
  T* p_ = nullptr;
};

// Memory the system allocated with CoTaskMemAlloc (ids, mix formats).
template <typename T>
class CoTaskMem {
 public:
  CoTaskMem() = default;
  CoTaskMem(const CoTaskMem&) = delete;
  CoTaskMem& operator=(const CoTaskMem&) = delete;
  ~CoTaskMem() { ::CoTaskMemFree(p_); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** put() {
    ::CoTaskMemFree(std::exchange(p_, nullptr));
    return &p_;
  }

 private:
  T* p_ = nullptr;
};

// A PROPVARIANT cleared when the holder goes.
class PropVariant {
 public:
  PropVariant() { ::PropVariantInit(&value_); }
  PropVariant(const PropVariant&) = delete;
  PropVariant& operator=(const PropVariant&) = delete;
  ~PropVariant() { ::PropVariantClear(&value_); }
  PROPVARIANT* put() { return &value_; }
  const PROPVARIANT& get() const { return value_; }

 private:
  PROPVARIANT value_;
};

// COM for this thread in the multithreaded apartment; uninitialised only
// when the initialisation succeeded (an apartment of another kind already
// on the thread stays untouched).
class ComApartment {
 public:
  ComApartment() : hr_(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }
  HRESULT result() const { return hr_; }

 private:
  HRESULT hr_;
};

// Registers the calling thread with the multimedia class scheduler as a
// "Pro Audio" task for its lifetime, so a busy machine does not starve a
// capture. A failed registration is ignored: the thread just runs normally.
class ProAudioThread {
 public:
  ProAudioThread();
  ProAudioThread(const ProAudioThread&) = delete;
  ProAudioThread& operator=(const ProAudioThread&) = delete;
  ~ProAudioThread();
  bool registered() const { return handle_ != nullptr; }

 private:
  HANDLE handle_ = nullptr;
};

inline std::string hr_text(std::string_view step, HRESULT hr) {
  return hr_text(step, static_cast<std::uint32_t>(hr));
}

// The UTF-8 text of a wide string from the system; null reads as empty.
std::string wide_to_utf8(const wchar_t* text);
std::wstring utf8_to_wide(std::string_view text);

// Turns the QPC positions that audio packets carry (100 ns units) into
// steady-clock times. The offset between the two clocks is measured once,
// when the converter is made.
class QpcClock {
 public:
  QpcClock();
  CaptureTime to_steady(std::uint64_t qpc_100ns) const;
  // The QPC clock now, in 100 ns units.
  static std::uint64_t now_100ns();

 private:
  std::chrono::nanoseconds offset_{0};  // steady time minus QPC time
};

// The capture time of a packet of `frames` frames at `rate`: from its QPC
// position when the system gave one, else its arrival less its duration.
CaptureTime packet_time(const QpcClock& clock, std::uint64_t qpc_100ns, bool has_position,
                        std::uint32_t frames, std::uint32_t rate);

}  // namespace quillbox::wasapi
