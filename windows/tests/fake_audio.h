#pragma once

// Scripted fakes of the endpoint and audio client interfaces the loopback
// stream talks to: one device whose audio clients act as the loopback
// capture (initialised with the loopback flag) or as the silent render
// stream (without it). A script says which call fails, which mix format
// the clients report and which packets the capture queue holds; it also
// counts what the stream did, and how many fake objects are alive.

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace quillbox::fake {

struct Packet {
  std::vector<unsigned char> bytes;
  UINT32 frames = 0;
  DWORD flags = 0;
  UINT64 qpc = 0;
  HRESULT size_hr = S_OK;    // GetNextPacketSize fails with it (and the entry is used up)
  HRESULT buffer_hr = S_OK;  // GetBuffer fails with it (and the entry is used up)
};

struct Script {
  std::mutex mutex;
  // Setup of the capture client.
  HRESULT activate_hr = S_OK;
  HRESULT mix_hr = S_OK;
  HRESULT initialize_hr = S_OK;
  HRESULT service_hr = S_OK;
  HRESULT start_hr = S_OK;
  // The render client.
  HRESULT render_activate_hr = S_OK;
  HRESULT render_initialize_hr = S_OK;
  HRESULT render_padding_hr = S_OK;
  std::vector<unsigned char> mix;  // WAVEFORMATEX bytes
  std::deque<Packet> packets;
  // What happened.
  std::vector<DWORD> initialize_flags;
  REFERENCE_TIME capture_buffer = 0;
  int capture_starts = 0, capture_stops = 0;
  int render_starts = 0, render_stops = 0;
  std::uint64_t silent_frames_rendered = 0;
  int next_packet_calls = 0;
  std::atomic<int> live_objects{0};

  void add(Packet p) {
    std::lock_guard lock(mutex);
    packets.push_back(std::move(p));
  }
  std::size_t queued() {
    std::lock_guard lock(mutex);
    return packets.size();
  }
};

// A WAVEFORMATEXTENSIBLE of 32-bit float, or a plain 16-bit PCM WAVEFORMATEX.
inline std::vector<unsigned char> mix_format(std::uint32_t rate, std::uint16_t channels,
                                             bool float32) {
  std::vector<unsigned char> bytes(float32 ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX));
  auto* f = reinterpret_cast<WAVEFORMATEX*>(bytes.data());
  const WORD bits = float32 ? 32 : 16;
  f->wFormatTag = float32 ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
  f->nChannels = channels;
  f->nSamplesPerSec = rate;
  f->wBitsPerSample = bits;
  f->nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f->nAvgBytesPerSec = rate * f->nBlockAlign;
  f->cbSize = float32 ? 22 : 0;
  if (float32) {
    auto* x = reinterpret_cast<WAVEFORMATEXTENSIBLE*>(bytes.data());
    x->Samples.wValidBitsPerSample = 32;
    x->dwChannelMask = 3;
    // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
    x->SubFormat =
        GUID{0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  }
  return bytes;
}

template <typename... I>
class Object : public I... {
 public:
  explicit Object(std::shared_ptr<Script> script) : script_(std::move(script)) {
    ++script_->live_objects;
  }
  virtual ~Object() { --script_->live_objects; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }

 protected:
  std::shared_ptr<Script> script_;

 private:
  std::atomic<ULONG> refs_{1};
};

class CaptureClient final : public Object<IAudioCaptureClient> {
 public:
  using Object::Object;
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    std::lock_guard lock(script_->mutex);
    ++script_->next_packet_calls;
    *frames = 0;
    if (script_->packets.empty()) return S_OK;
    if (FAILED(script_->packets.front().size_hr)) {
      const HRESULT hr = script_->packets.front().size_hr;
      script_->packets.pop_front();
      return hr;
    }
    *frames = script_->packets.front().frames;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* position,
                                      UINT64* qpc) override {
    std::lock_guard lock(script_->mutex);
    if (script_->packets.empty()) return AUDCLNT_S_BUFFER_EMPTY;
    Packet& p = script_->packets.front();
    if (FAILED(p.buffer_hr)) {
      const HRESULT hr = p.buffer_hr;
      script_->packets.pop_front();
      return hr;
    }
    current_ = p.bytes;
    *data = current_.data();
    *frames = p.frames;
    *flags = p.flags;
    if (position != nullptr) *position = 0;
    if (qpc != nullptr) *qpc = p.qpc;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32) override {
    std::lock_guard lock(script_->mutex);
    // What the stream read must not be touched after it let go.
    std::memset(current_.data(), 0xEE, current_.size());
    if (!script_->packets.empty()) script_->packets.pop_front();
    return S_OK;
  }

 private:
  std::vector<unsigned char> current_;
};

class RenderClient final : public Object<IAudioRenderClient> {
 public:
  using Object::Object;
  HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 frames, BYTE** data) override {
    storage_.assign(std::size_t{frames} * 8, 0x55);
    *data = storage_.data();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames, DWORD flags) override {
    std::lock_guard lock(script_->mutex);
    if (flags & AUDCLNT_BUFFERFLAGS_SILENT) script_->silent_frames_rendered += frames;
    return S_OK;
  }

 private:
  std::vector<unsigned char> storage_;
};

class AudioClient final : public Object<IAudioClient> {
 public:
  AudioClient(std::shared_ptr<Script> script, bool render)
      : Object(std::move(script)), render_(render) {}
  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD flags, REFERENCE_TIME buffer,
                                       REFERENCE_TIME, const WAVEFORMATEX*, LPCGUID) override {
    std::lock_guard lock(script_->mutex);
    script_->initialize_flags.push_back(flags);
    if (render_) return script_->render_initialize_hr;
    script_->capture_buffer = buffer;
    return script_->initialize_hr;
  }
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
    *frames = 4410;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
  // A capture client has its queued packets' frames to read.
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override {
    std::lock_guard lock(script_->mutex);
    *frames = 0;
    if (render_) return script_->render_padding_hr;
    for (const Packet& p : script_->packets) *frames += p.frames;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                              WAVEFORMATEX**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
    std::lock_guard lock(script_->mutex);
    if (!render_ && FAILED(script_->mix_hr)) return script_->mix_hr;
    auto* copy = static_cast<unsigned char*>(::CoTaskMemAlloc(script_->mix.size()));
    std::memcpy(copy, script_->mix.data(), script_->mix.size());
    *format = reinterpret_cast<WAVEFORMATEX*>(copy);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Start() override {
    std::lock_guard lock(script_->mutex);
    if (render_) {
      ++script_->render_starts;
      return S_OK;
    }
    ++script_->capture_starts;
    return script_->start_hr;
  }
  HRESULT STDMETHODCALLTYPE Stop() override {
    std::lock_guard lock(script_->mutex);
    ++(render_ ? script_->render_stops : script_->capture_stops);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** out) override {
    *out = nullptr;
    if (render_) {
      if (iid != __uuidof(IAudioRenderClient)) return E_NOINTERFACE;
      *out = static_cast<IAudioRenderClient*>(new RenderClient(script_));
      return S_OK;
    }
    {
      std::lock_guard lock(script_->mutex);
      if (FAILED(script_->service_hr)) return script_->service_hr;
    }
    if (iid != __uuidof(IAudioCaptureClient)) return E_NOINTERFACE;
    *out = static_cast<IAudioCaptureClient*>(new CaptureClient(script_));
    return S_OK;
  }

 private:
  bool render_;
};

// The first client activated is the loopback capture, later ones render.
class Device final : public Object<IMMDevice> {
 public:
  using Object::Object;
  HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** out) override {
    *out = nullptr;
    if (iid != __uuidof(IAudioClient)) return E_NOINTERFACE;
    const bool render = activations_++ > 0;
    {
      std::lock_guard lock(script_->mutex);
      const HRESULT hr = render ? script_->render_activate_hr : script_->activate_hr;
      if (FAILED(hr)) return hr;
    }
    *out = static_cast<IAudioClient*>(new AudioClient(script_, render));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
    *state = DEVICE_STATE_ACTIVE;
    return S_OK;
  }

 private:
  std::atomic<int> activations_{0};
};

// A device enumerator that only keeps notification clients, as the system
// does: registered ones hear what `tell_default_changed` says, on the
// caller's thread (the system calls them on a thread of its own).
class Enumerator final : public Object<IMMDeviceEnumerator> {
 public:
  explicit Enumerator(std::shared_ptr<Script> script, HRESULT register_hr = S_OK)
      : Object(std::move(script)), register_hr_(register_hr) {}
  ~Enumerator() override {
    for (IMMNotificationClient* c : clients_) c->Release();
  }

  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE
  RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    if (client == nullptr) return E_POINTER;
    if (FAILED(register_hr_)) return register_hr_;
    std::lock_guard lock(mutex_);
    client->AddRef();
    clients_.push_back(client);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    std::lock_guard lock(mutex_);
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
      if (*it != client) continue;
      clients_.erase(it);
      client->Release();
      return S_OK;
    }
    return static_cast<HRESULT>(0x80070490);  // E_NOTFOUND
  }

  void tell_default_changed(EDataFlow flow, ERole role, const wchar_t* id) {
    std::lock_guard lock(mutex_);
    for (IMMNotificationClient* c : clients_) c->OnDefaultDeviceChanged(flow, role, id);
  }
  std::size_t registered() {
    std::lock_guard lock(mutex_);
    return clients_.size();
  }

 private:
  HRESULT register_hr_;
  std::mutex mutex_;
  std::vector<IMMNotificationClient*> clients_;
};

}  // namespace quillbox::fake
