// The input capture thread against the scripted fake device: chunking by the
// mix format, the start report, a vanished device and the last chunk.
#include "wasapi/input_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "fake_audio.h"
#include "test_support.h"

namespace quillbox::wasapi {
namespace {

using namespace std::chrono_literals;
using test_support::eventually;

std::vector<unsigned char> pcm16(std::size_t samples, std::int16_t value) {
  std::vector<std::int16_t> v(samples, value);
  std::vector<unsigned char> bytes(samples * 2);
  std::memcpy(bytes.data(), v.data(), bytes.size());
  return bytes;
}

struct Rig {
  std::shared_ptr<fake::Script> script = std::make_shared<fake::Script>();
  std::shared_ptr<AudioBuf> buffer = std::make_shared<AudioBuf>();
  std::vector<std::string> notices;

  std::expected<std::unique_ptr<InputStream>, std::string> start() {
    StreamSettings settings;
    settings.notice = [this](std::string_view text) { notices.emplace_back(text); };
    auto open = [s = script]() -> std::expected<ComPtr<IMMDevice>, std::string> {
      return ComPtr<IMMDevice>(new fake::Device(s));
    };
    return InputStream::start(open, "Fake Mic", buffer, settings);
  }
};

TEST(InputStream, GathersPacketsIntoFiveMillisecondChunksAndPushesTheRestOnRelease) {
  Rig rig;
  rig.script->mix = fake::mix_format(48000, 2, false);  // 16-bit PCM
  // 2 ms packets: three make a chunk of 576 samples; the seventh is left over.
  for (int i = 0; i < 7; ++i) rig.script->add({pcm16(192, 16384), 96, 0, 0});
  rig.script->add({pcm16(192, 0), 96, AUDCLNT_BUFFERFLAGS_SILENT, 0});
  auto stream = rig.start();
  ASSERT_TRUE(stream.has_value()) << stream.error();
  EXPECT_EQ((*stream)->format().sample_rate, 48000u);
  EXPECT_EQ((*stream)->format().channels, 2u);
  ASSERT_TRUE(eventually([&] { return rig.script->queued() == 0; }));
  EXPECT_EQ(rig.script->initialize_flags, std::vector<DWORD>{AUDCLNT_STREAMFLAGS_EVENTCALLBACK});
  stream->reset();
  const auto chunks = rig.buffer->take_all();
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].size(), 576u);
  EXPECT_EQ(chunks[1].size(), 576u);
  EXPECT_EQ(chunks[2].size(), 384u);  // the last partial chunk: one packet and the silent one
  EXPECT_FLOAT_EQ(chunks[0].samples[0], 16384.0f / 32767.0f);
  EXPECT_EQ(chunks[2].samples.back(), 0.0f);
  EXPECT_EQ(rig.script->capture_stops, 1);
  EXPECT_EQ(rig.script->live_objects.load(), 0);
}

TEST(InputStream, StartFailuresAreReportedAsErrorKinds) {
  {
    Rig rig;
    rig.script->mix = fake::mix_format(48000, 2, true);
    rig.script->initialize_hr = AUDCLNT_E_UNSUPPORTED_FORMAT;
    EXPECT_EQ(rig.start().error(), "StreamConfigNotSupported");
    rig.script->initialize_hr = S_OK;
    rig.script->activate_hr = AUDCLNT_E_DEVICE_INVALIDATED;
    EXPECT_EQ(rig.start().error(), "DeviceNotAvailable");
    rig.script->activate_hr = S_OK;
    rig.script->start_hr = E_FAIL;
    EXPECT_EQ(rig.start().error(), "BackendSpecific: Start: 0x80004005");
    EXPECT_TRUE(rig.notices.empty());
    EXPECT_EQ(rig.script->live_objects.load(), 0);
  }
  Rig rig;
  rig.script->mix = fake::mix_format(48000, 2, false);
  auto* f = reinterpret_cast<WAVEFORMATEX*>(rig.script->mix.data());
  f->wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  f->wBitsPerSample = 64;
  EXPECT_EQ(rig.start().error(), "StreamConfigNotSupported");
  EXPECT_EQ(rig.notices, std::vector<std::string>{"Mic stream: unsupported sample format F64\n"});
}

TEST(InputStream, VanishedDeviceEndsItsDeliveryWithOneLineAndKeepsWhatCame) {
  Rig rig;
  rig.script->mix = fake::mix_format(48000, 1, true);
  std::vector<float> tenth(480, 0.5f);
  std::vector<unsigned char> bytes(tenth.size() * 4);
  std::memcpy(bytes.data(), tenth.data(), bytes.size());
  rig.script->add({bytes, 480, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, 0});
  rig.script->add({bytes, 480, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, 0});
  rig.script->add({.frames = 1, .size_hr = AUDCLNT_E_DEVICE_INVALIDATED});
  rig.script->add({bytes, 480, 0, 0});
  auto stream = rig.start();
  ASSERT_TRUE(stream.has_value()) << stream.error();
  ASSERT_TRUE(eventually([&] { return rig.buffer->failed(); }));
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(rig.script->queued(), 1u) << "nothing is read after the loss";
  stream->reset();
  const auto chunks = rig.buffer->take_all();
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[1].samples, tenth);
  EXPECT_EQ(take_capture_failure(*rig.buffer),
            "Mic stream error: DeviceNotAvailable (GetNextPacketSize: 0x88890004)");
  EXPECT_EQ(rig.notices,
            std::vector<std::string>{"Mic stream: data discontinuity (some audio was lost)\n"});
  EXPECT_EQ(rig.script->live_objects.load(), 0);
}

}  // namespace
}  // namespace quillbox::wasapi
