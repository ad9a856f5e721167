// The Qt window on the offscreen platform, against the real flows and
// recorder and the synthetic devices in real time: its controls, keys and
// clicks, boxes and dialogs answered as a person would, and the files.

#include "window/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "base/text.h"
#include "flow_rig.h"
#include "signal_analysis.h"
#include "test_support.h"
#include "wav/normalize.h"

namespace quillbox {
namespace {

using namespace std::chrono_literals;
using test_support::ScratchDir;
namespace fs = std::filesystem;

// One application for the whole test program, on the offscreen platform.
void ensure_application() {
  static QApplication* application = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "quillbox_tests";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  (void)application;
}

// What a box showed: "{caption} | {text}".
std::string box_text(const QMessageBox& box) {
  return box.windowTitle().toStdString() + " | " + box.text().toStdString();
}

struct WindowRig {
  explicit WindowRig(synthetic::SyntheticConfig config = test_support::speakers_and_mic(),
                     Options options = {})
      : capture(std::make_shared<synthetic::SyntheticCapture>(std::move(config),
                                                              synthetic::Timing::RealTime)) {
    ensure_application();
    WindowEnv env;
    env.capture = capture;
    env.default_dir = dir / "out";
    env.recorder_env.paths =
        PlatformPaths{test_support::no_place, test_support::no_place, test_support::no_place};
    env.err = [this](std::string_view text) {
      std::lock_guard lock(mutex);
      err += text;
    };
    window = std::make_unique<MainWindow>(options, std::move(env));
    window->ui().set_modal_runner([this](QDialog& dialog) { return answer(dialog); });
    window->show();
    QApplication::setActiveWindow(window.get());
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
  }

  // Boxes are logged and answered in turn; an unscripted box answers No
  // (or Ok), an unscripted dialog is cancelled.
  int answer(QDialog& dialog) {
    if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
      boxes.push_back(box_text(*box));
      if (!box_answers.empty()) {
        const auto pressed = box_answers.front();
        box_answers.pop_front();
        return pressed;
      }
      return box->standardButtons() & QMessageBox::No ? QMessageBox::No : QMessageBox::Ok;
    }
    auto& files = dynamic_cast<QFileDialog&>(dialog);
    dialogs.push_back(files.windowTitle().toStdString());
    if (chosen.empty()) return QDialog::Rejected;
    files.selectFile(QString::fromStdString(path_to_text(chosen.front())));
    chosen.pop_front();
    return QDialog::Accepted;
  }

  template <class W>
  W* find(const QString& name) const {
    for (W* w : window->findChildren<W*>())
      if (w->accessibleName() == name) return w;
    ADD_FAILURE() << "no control named " << name.toStdString();
    return nullptr;
  }
  QPushButton* start() const { return find<QPushButton>("Start Recording"); }
  QListWidget* devices() const { return find<QListWidget>("Other devices"); }
  std::string status() const { return find<QLabel>("Status")->text().toStdString(); }
  bool recording() { return window->app().state.recorder.has_value(); }

  // Lets the event loop run until `done`, at most `limit`.
  template <class Condition>
  bool wait_for(Condition&& done, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      QTest::qWait(20);
    }
    return true;
  }

  void tick_device(const QString& entry_name) {
    QListWidget* list = devices();
    for (int i = 0; i < list->count(); ++i)
      if (list->item(i)->text().endsWith(entry_name)) {
        list->setFocus();
        list->setCurrentRow(i);
        QTest::keyClick(list, Qt::Key_Space);
        return;
      }
    ADD_FAILURE() << "no device entry " << entry_name.toStdString();
  }

  // Every WAV file under the scratch folder, by file name.
  std::map<std::string, fs::path> wavs() const {
    std::map<std::string, fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(dir.path()))
      if (e.path().extension() == ".wav") out[path_to_text(e.path().filename())] = e.path();
    return out;
  }

  ScratchDir dir;
  std::shared_ptr<synthetic::SyntheticCapture> capture;
  std::mutex mutex;
  std::string err;
  std::deque<int> box_answers;
  std::vector<std::string> boxes;
  std::deque<fs::path> chosen;
  std::vector<std::string> dialogs;
  std::unique_ptr<MainWindow> window;  // last: goes first
};

// Speakers and the microphone, plus a headset playing 660 Hz at 0.4.
synthetic::SyntheticConfig with_headset() {
  auto config = test_support::speakers_and_mic();
  config.outputs.push_back(synthetic::SyntheticDevice::output("Headset", "hs", 48000, 2, 660.0));
  config.outputs.back().amplitude = 0.4f;
  return config;
}

double tone_of(const fs::path& file, double frequency) {
  const auto audio = signal::read_wav(file);
  if (!audio || audio->frames() < 4800) return 0.0;
  // The last part: after any switching.
  const auto mono = audio->channel(0, audio->frames() * 6 / 10, audio->frames() * 19 / 20);
  return signal::tone_amplitude(mono, audio->sample_rate, frequency);
}

TEST(QtWindow, ControlsCarryTheWindowsTextsNamesTicksAndTabOrder) {
  Options options;
  options.mic = true;
  options.mode = RecordMode::StemsSilence;
  options.format = find_preset("studio")->spec;
  WindowRig rig(with_headset(), options);
  EXPECT_EQ(rig.window->windowTitle(), "Quillbox");

  struct Expected {
    QString name, text;
    bool checked;
  };
  for (const Expected& e : std::vector<Expected>{
           {"Start Recording", "&Start Recording", false},
           {"Record microphone", "Record &microphone", true},
           {"Record system audio", "Record &system audio", true},
           {"Single file", "Single file", false},
           {"Stems (silence)", "Stems (silence)", true},
           {"Stems (instructed)", "Stems (instructed)", false},
           {"Ask where to save after recording", "Ask where to save after recording", false},
           {"Repair incomplete recordings", "Repair incomplete recordings", false},
           {"Normalize WAV file", "Normalize WAV file...", false}}) {
    SCOPED_TRACE(e.name.toStdString());
    auto* button = rig.find<QAbstractButton>(e.name);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), e.text);
    EXPECT_EQ(button->isChecked(), e.checked);
    EXPECT_TRUE(button->isEnabled());
  }
  auto* quality = rig.find<QComboBox>("Quality");
  ASSERT_EQ(quality->count(), static_cast<int>(FORMAT_PRESETS.size()));
  EXPECT_EQ(quality->currentText().toStdString(), find_preset("studio")->label);
  EXPECT_EQ(rig.find<QLineEdit>("Output folder")->text().toStdString(),
            path_to_text(rig.dir / "out"));
  EXPECT_EQ(rig.status(), "Ready.");
  EXPECT_EQ(rig.find<QLabel>("Duration")->text(), "");
  // The default output device is left out once the window has read it.
  ASSERT_TRUE(rig.wait_for([&] { return rig.devices()->count() == 1; }));
  EXPECT_EQ(rig.devices()->item(0)->text(), "off  \u2014  [Loopback] Headset");
  for (const char* text :
       {"Mix all sources into one recording file.", "Quality:", "Other devices:", "Output folder:"})
    EXPECT_TRUE(std::ranges::any_of(rig.window->findChildren<QLabel*>(), [&](QLabel* l) {
      return l->text() == text;
    })) << text;

  // Tab walks the controls in the Win32 window's order; the mode buttons
  // are one stop (the arrow keys move within them).
  rig.start()->setFocus();
  std::vector<std::string> order;
  for (int i = 0; i < 10; ++i) {
    order.push_back(QApplication::focusWidget()->accessibleName().toStdString());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  EXPECT_EQ(order,
            (std::vector<std::string>{"Start Recording", "Record microphone", "Record system audio",
                                      "Single file", "Quality", "Other devices", "Output folder",
                                      "Ask where to save after recording",
                                      "Repair incomplete recordings", "Normalize WAV file"}));

  // Without a microphone a line says so where the box would be.
  auto config = with_headset();
  config.default_input.reset();
  WindowRig no_mic(config);
  EXPECT_TRUE(std::ranges::any_of(no_mic.window->findChildren<QLabel*>(),
                                  [](QLabel* l) { return l->text() == "No microphone found"; }));
  EXPECT_TRUE(std::ranges::none_of(no_mic.window->findChildren<QCheckBox*>(), [](QCheckBox* b) {
    return b->accessibleName() == "Record microphone";
  }));
}

// The headset ticked with Space, Enter starts; while recording the
// microphone box is clicked on (its live start comes back through the queued
// call) and the headset is switched off by a click on its mark and on again
// with Space; the Start button stops. Each layout keeps what it should.
TEST(QtWindow, RecordsWithLiveSwitchingAndStopsInEveryLayout) {
  struct Case {
    const char* mode_button;
    RecordMode mode;
    const char* saved;  // the status line's start
  };
  for (const Case& c :
       {Case{"Single file", RecordMode::Single, "Saved: "},
        Case{"Stems (silence)", RecordMode::StemsSilence, "Saved 3 stems: "},
        // The headset's two stretches are two segments.
        Case{"Stems (instructed)", RecordMode::StemsInstructed, "Saved 4 stems: "}}) {
    SCOPED_TRACE(c.mode_button);
    WindowRig rig(with_headset());
    ASSERT_TRUE(rig.wait_for([&] { return rig.devices()->count() == 1; }));
    rig.find<QRadioButton>(c.mode_button)->click();
    rig.tick_device("[Loopback] Headset");
    EXPECT_EQ(rig.devices()->item(0)->text(), "on   \u2014  [Loopback] Headset");
    rig.start()->setFocus();
    QTest::keyClick(rig.start(), Qt::Key_Return);
    ASSERT_TRUE(rig.recording()) << rig.status();
    EXPECT_EQ(rig.start()->text(), "&Stop Recording");
    EXPECT_FALSE(rig.find<QRadioButton>("Single file")->isEnabled());
    EXPECT_FALSE(rig.find<QComboBox>("Quality")->isEnabled());

    QTest::qWait(300);
    QTest::mouseClick(rig.find<QCheckBox>("Record microphone"), Qt::LeftButton);
    Recorder& recorder = *rig.window->app().state.recorder;
    ASSERT_TRUE(rig.wait_for([&] { return recorder.used_source_count() == 3; }))
        << rig.status() << " | " << rig.err;
    QListWidget* list = rig.devices();
    const QRect entry = list->visualItemRect(list->item(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, entry.topLeft() + QPoint(3, 3));
    EXPECT_EQ(list->item(0)->text(), "off  \u2014  [Loopback] Headset");
    QTest::qWait(200);
    rig.tick_device("[Loopback] Headset");
    EXPECT_EQ(list->item(0)->text(), "on   \u2014  [Loopback] Headset");
    QTest::qWait(700);
    QTest::mouseClick(rig.start(), Qt::LeftButton);
    ASSERT_FALSE(rig.recording());
    EXPECT_EQ(rig.start()->text(), "&Start Recording");
    EXPECT_TRUE(rig.find<QRadioButton>("Single file")->isEnabled());
    EXPECT_TRUE(rig.boxes.empty()) << rig.boxes.front();

    const auto files = rig.wavs();
    EXPECT_EQ(rig.status().rfind(c.saved, 0), 0u) << rig.status();
    if (c.mode == RecordMode::Single) {
      ASSERT_EQ(files.size(), 1u);
      const fs::path& mix = files.begin()->second;
      for (double f : {440.0, 660.0, 1000.0}) EXPECT_GT(tone_of(mix, f), 0.02) << f;
      continue;
    }
    const auto stem = [&](const std::string& part) {
      for (const auto& [name, path] : files)
        if (name.find(part) != std::string::npos) return path;
      ADD_FAILURE() << "no stem with " << part;
      return fs::path();
    };
    EXPECT_NEAR(tone_of(stem("loopback"), 440.0), 0.6, 0.05);
    EXPECT_NEAR(tone_of(stem("Headset"), 660.0), 0.4, 0.05);
    EXPECT_NEAR(tone_of(stem("mic"), 1000.0), 0.5, 0.05);
  }
}

// A quiet mix is offered for normalizing: Yes lifts it, No leaves it; with
// "Ask where to save" the recording goes under the name chosen in the dialog.
TEST(QtWindow, NormalizeOfferAndSaveAs) {
  for (const bool yes : {true, false}) {
    SCOPED_TRACE(yes ? "Yes" : "No");
    WindowRig rig;
    rig.find<QCheckBox>("Ask where to save after recording")->setChecked(true);
    rig.box_answers = {yes ? QMessageBox::Yes : QMessageBox::No, QMessageBox::Ok};
    const fs::path chosen = rig.dir / (yes ? "loud.wav" : "quiet");
    rig.chosen = {chosen};
    QTest::mouseClick(rig.start(), Qt::LeftButton);
    ASSERT_TRUE(rig.recording());
    QTest::qWait(800);
    QTest::mouseClick(rig.start(), Qt::LeftButton);
    ASSERT_FALSE(rig.recording());

    ASSERT_GE(rig.boxes.size(), 1u);
    EXPECT_EQ(rig.boxes[0].rfind("Normalize recording? | Recording used 1 of 2 sources", 0), 0u)
        << rig.boxes[0];
    EXPECT_EQ(rig.dialogs, std::vector<std::string>{"Save recording as"});
    const fs::path saved = yes ? chosen : fs::path(chosen.string() + ".wav");
    ASSERT_TRUE(fs::exists(saved)) << rig.status();
    EXPECT_EQ(rig.status(), "Saved: " + path_to_text(saved));
    const auto peak = wav_peak(saved);
    ASSERT_TRUE(peak);
    if (yes)
      EXPECT_GT(*peak, 0.95f);
    else
      EXPECT_LT(*peak, 0.5f);
  }
}

// A folder that cannot be made and no other place: the box says so and the
// window stays idle.
TEST(QtWindow, ARecordingThatCannotStartShowsItsBox) {
  WindowRig rig;
  std::ofstream(rig.dir / "file") << "x";
  rig.find<QLineEdit>("Output folder")
      ->setText(QString::fromStdString(path_to_text(rig.dir / "file" / "sub")));
  QTest::mouseClick(rig.start(), Qt::LeftButton);
  EXPECT_FALSE(rig.recording());
  ASSERT_EQ(rig.boxes.size(), 1u);
  EXPECT_EQ(rig.boxes[0].rfind("Cannot start recording | ", 0), 0u) << rig.boxes[0];
  EXPECT_EQ(rig.status(), "Recording couldn't be started: no writeable output directory.");
  EXPECT_EQ(rig.start()->text(), "&Start Recording");
}

// Closing the window while recording finishes and saves the recording; a
// `--duration` run starts at once and closes the window itself.
TEST(QtWindow, ClosingDuringARecordingSavesItAndADurationRunClosesItself) {
  {
    WindowRig rig;
    QTest::mouseClick(rig.start(), Qt::LeftButton);
    ASSERT_TRUE(rig.recording());
    QTest::qWait(500);
    EXPECT_TRUE(rig.window->close());
    EXPECT_FALSE(rig.recording());
    ASSERT_EQ(rig.wavs().size(), 1u);
    EXPECT_GT(tone_of(rig.wavs().begin()->second, 440.0), 0.2);
  }
  Options options;
  options.duration = 1;
  options.mode = RecordMode::StemsSilence;
  WindowRig rig(test_support::speakers_and_mic(), options);
  rig.window->start_duration_run(1);
  ASSERT_TRUE(rig.recording());
  EXPECT_TRUE(rig.wait_for([&] { return !rig.window->isVisible(); }, 5s));
  EXPECT_FALSE(rig.recording());
  EXPECT_EQ(rig.wavs().size(), 2u);
}

// The meters follow the sources that are on: they move with the tones, a
// source switched off loses its meter, a full-scale source gets the clipping
// mark, and nothing is shown once the recording ends.
TEST(QtWindow, MetersMoveWithTheTonesAndRestWhenOff) {
  auto config = test_support::speakers_and_mic();
  config.inputs[0].amplitude = 1.0f;
  WindowRig rig(config);
  rig.find<QCheckBox>("Record microphone")->setChecked(true);
  MeterPanel& panel = rig.window->meters();
  const auto meter = [&](const QString& name) -> LevelMeter* {
    for (LevelMeter* m : panel.findChildren<LevelMeter*>())
      if (m->accessibleName() == name) return m;
    return nullptr;
  };
  EXPECT_EQ(meter("System audio level"), nullptr);
  QTest::mouseClick(rig.start(), Qt::LeftButton);
  ASSERT_TRUE(rig.wait_for([&] {
    return meter("System audio level") != nullptr && meter("System audio level")->fill() > 0.8f &&
           meter("Microphone level") != nullptr && meter("Microphone level")->clipped();
  }));
  EXPECT_FALSE(meter("System audio level")->clipped());
  EXPECT_EQ(meter("Microphone level")->fill(), 1.0f);

  QTest::mouseClick(rig.find<QCheckBox>("Record microphone"), Qt::LeftButton);
  EXPECT_TRUE(rig.wait_for([&] { return meter("Microphone level") == nullptr; }));
  EXPECT_GT(meter("System audio level")->fill(), 0.8f);
  QTest::mouseClick(rig.start(), Qt::LeftButton);
  EXPECT_TRUE(rig.wait_for([&] { return panel.findChildren<LevelMeter*>().isEmpty(); }));

  EXPECT_EQ(meter_fill(0.0f), 0.0f);
  EXPECT_EQ(meter_fill(0.001f), 0.0f);  // -60 dBFS
  EXPECT_NEAR(meter_fill(0.5f), 0.9f, 0.001f);
  EXPECT_EQ(meter_fill(std::nanf("")), 0.0f);
}

// The file tools: Repair reports on the folder field's folder; Normalize
// asks for a file in the open dialog and lifts it.
TEST(QtWindow, RepairAndNormalizeButtons) {
  WindowRig rig;
  rig.find<QLineEdit>("Output folder")
      ->setText(QString::fromStdString(path_to_text(rig.dir.path())));
  QTest::mouseClick(rig.find<QPushButton>("Repair incomplete recordings"), Qt::LeftButton);
  ASSERT_EQ(rig.boxes.size(), 1u);
  EXPECT_EQ(rig.boxes[0],
            "Repair Results | No incomplete recordings found.\n\nDirectory checked:\n" +
                path_to_text(rig.dir.path()));

  QTest::mouseClick(rig.start(), Qt::LeftButton);
  QTest::qWait(500);
  QTest::mouseClick(rig.start(), Qt::LeftButton);  // the offer: No
  ASSERT_EQ(rig.wavs().size(), 1u);
  const fs::path file = rig.wavs().begin()->second;
  rig.boxes.clear();
  rig.chosen = {file};
  QTest::mouseClick(rig.find<QPushButton>("Normalize WAV file"), Qt::LeftButton);
  EXPECT_EQ(rig.dialogs, std::vector<std::string>{"Select WAV file to normalize"});
  ASSERT_EQ(rig.boxes.size(), 1u);
  EXPECT_EQ(rig.boxes[0].rfind("Normalize complete | Normalized: ", 0), 0u) << rig.boxes[0];
  EXPECT_GT(wav_peak(file).value_or(0.0f), 0.95f);
}

}  // namespace
}  // namespace quillbox
