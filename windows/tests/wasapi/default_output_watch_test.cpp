// The watch of the default output device against a scripted enumerator that
// calls its registered clients as the system does, and against Wine's.
#include "wasapi/default_output_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fake_audio.h"
#include "wasapi/wasapi_devices.h"
#include "wasapi/wasapi_platform.h"

namespace quillbox::wasapi {
namespace {

struct Rig {
  std::shared_ptr<fake::Script> script = std::make_shared<fake::Script>();
  fake::Enumerator* enumerator = new fake::Enumerator(script);
  ComPtr<IMMDeviceEnumerator> held{enumerator};  // the test's own reference
  std::atomic<int> told{0};

  std::unique_ptr<DefaultOutputWatch> watch() {
    return watch_default_render(held, [this] { ++told; });
  }
  // From a thread of its own, as the system calls.
  void tell(EDataFlow flow, ERole role) {
    std::thread([&] {
      enumerator->tell_default_changed(flow, role, L"{0.0.0.00000000}.{hs}");
    }).join();
  }
};

TEST(DefaultOutputWatch, OnlyANewDefaultRenderDeviceForTheConsoleRoleIsTold) {
  Rig rig;
  auto watch = rig.watch();
  ASSERT_NE(watch, nullptr);
  EXPECT_EQ(rig.enumerator->registered(), 1u);
  rig.tell(eCapture, eConsole);
  rig.tell(eRender, eCommunications);
  rig.tell(eRender, eMultimedia);
  EXPECT_EQ(rig.told.load(), 0);
  rig.tell(eRender, eConsole);
  EXPECT_EQ(rig.told.load(), 1);
}

TEST(DefaultOutputWatch, DroppingItUnregistersTheClientAndReleasesTheEnumerator) {
  Rig rig;
  auto watch = rig.watch();
  ASSERT_NE(watch, nullptr);
  EXPECT_EQ(rig.script->live_objects.load(), 1);
  watch.reset();
  EXPECT_EQ(rig.enumerator->registered(), 0u);
  rig.tell(eRender, eConsole);
  EXPECT_EQ(rig.told.load(), 0);
  rig.held.reset();
  EXPECT_EQ(rig.script->live_objects.load(), 0);
}

TEST(DefaultOutputWatch, ARefusedRegistrationGivesNoWatch) {
  auto script = std::make_shared<fake::Script>();
  ComPtr<IMMDeviceEnumerator> enumerator(new fake::Enumerator(script, E_OUTOFMEMORY));
  EXPECT_EQ(watch_default_render(enumerator, [] {}), nullptr);
  enumerator.reset();
  EXPECT_EQ(script->live_objects.load(), 0);
}

// The system's enumerator takes the client (on Wine too) and gives it back.
TEST(DefaultOutputWatch, TheSystemsEnumeratorTakesTheWatch) {
  WasapiPlatform platform(process_default_output_id());
  auto watch = platform.watch_default_output([] {});
  EXPECT_NE(watch, nullptr);
}

}  // namespace
}  // namespace quillbox::wasapi
