#include "wasapi/default_output_watch.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>

#include "wasapi/wasapi_devices.h"

namespace quillbox::wasapi {
namespace {

class DefaultRenderClient final : public IMMNotificationClient {
 public:
  explicit DefaultRenderClient(std::function<void()> changed) : changed_(std::move(changed)) {}

  // After this no call of `changed` runs, even one the system had begun.
  void silence() {
    std::lock_guard lock(mutex_);
    changed_ = nullptr;
  }

  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
    if (flow != eRender || role != eConsole) return S_OK;
    std::lock_guard lock(mutex_);
    if (changed_) changed_();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
      *out = static_cast<IMMNotificationClient*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

 private:
  std::mutex mutex_;
  std::function<void()> changed_;  // under mutex_
  std::atomic<ULONG> refs_{1};
};

class RenderWatch final : public DefaultOutputWatch {
 public:
  RenderWatch(ComPtr<IMMDeviceEnumerator> enumerator, ComPtr<DefaultRenderClient> client)
      : enumerator_(std::move(enumerator)), client_(std::move(client)) {}
  ~RenderWatch() override {
    (void)enumerator_->UnregisterEndpointNotificationCallback(client_.get());
    client_->silence();
    client_.reset();
    enumerator_.reset();
  }

 private:
  ComPtr<IMMDeviceEnumerator> enumerator_;
  ComPtr<DefaultRenderClient> client_;
};

// Holds COM on its thread for as long as the watch lives.
struct ApartmentWatch final : DefaultOutputWatch {
  std::optional<ComApartment> com;
  std::unique_ptr<DefaultOutputWatch> watch;  // declared last: it goes before the apartment
};

}  // namespace

std::unique_ptr<DefaultOutputWatch> watch_default_render(ComPtr<IMMDeviceEnumerator> enumerator,
                                                         std::function<void()> changed) {
  if (!enumerator) return nullptr;
  ComPtr<DefaultRenderClient> client(new DefaultRenderClient(std::move(changed)));
  if (FAILED(enumerator->RegisterEndpointNotificationCallback(client.get()))) return nullptr;
  return std::make_unique<RenderWatch>(std::move(enumerator), std::move(client));
}

std::unique_ptr<DefaultOutputWatch> watch_default_render(std::function<void()> changed) {
  auto held = std::make_unique<ApartmentWatch>();
  held->com.emplace();
  auto enumerator = create_enumerator();
  if (!enumerator) return nullptr;
  held->watch = watch_default_render(std::move(*enumerator), std::move(changed));
  if (!held->watch) return nullptr;
  return held;
}

}  // namespace quillbox::wasapi
