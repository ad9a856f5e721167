#pragma once

// What the window's behaviour needs of a user-interface toolkit. The flows
// (start, live switching, the timer, finish and save, the file tools) run in
// the core against this interface; the windows (Win32, Qt) adapt it to
// their controls and events, the Linux console to the terminal, and the tests to
// a scripted fake. Everything here is called on the UI thread, except
// `post_source_started`, which worker threads call.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/recorder.h"

namespace quillbox {

// The window's controls, as the flows name them. Each front end maps them to
// its own toolkit's controls (the Win32 window to its control ids); the two
// labels are named too, although they only show text.
enum class Control {
  StartButton,
  MicBox,
  SystemBox,
  DeviceList,
  FolderEdit,
  RepairButton,
  NormalizeButton,
  SingleRadio,
  SilenceRadio,
  InstructedRadio,
  QualityCombo,
  AskSaveBox,
  StatusLabel,
  DurationLabel,
};

enum class MessageIcon { Error, Warning, Information, Question };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

struct Message {
  std::string caption;
  std::string text;
  MessageIcon icon = MessageIcon::Information;
  MessageButtons buttons = MessageButtons::Ok;

  friend bool operator==(const Message&, const Message&) = default;
};

struct FileFilter {
  std::string label;    // "WAV Files (*.wav)"
  std::string pattern;  // "*.wav"
};

struct SaveFileRequest {
  std::string title;
  std::vector<FileFilter> filters;
  std::string initial_name;  // a file name, no directory
};

struct OpenFileRequest {
  std::string title;
  std::vector<FileFilter> filters;
};

struct FolderRequest {
  std::string title;
};

// The user closed a dialog without choosing.
struct DialogCancelled {
  friend bool operator==(const DialogCancelled&, const DialogCancelled&) = default;
};

// A chosen path, a cancellation, or the text of the dialog's failure.
using DialogResult = std::variant<std::filesystem::path, DialogCancelled, std::string>;

class UiServices {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  virtual ~UiServices() = default;

  // The status line.
  virtual void set_status(std::string_view text) = 0;
  // A modal message box; returns the button pressed.
  virtual MessageAnswer show_message(const Message& message) = 0;

  // Controls. A control the window does not have (the microphone box when
  // there is no microphone) ignores every change and reads unticked and empty.
  virtual void set_text(Control control, std::string_view text) = 0;
  virtual std::string text(Control control) = 0;
  virtual void set_enabled(Control control, bool enabled) = 0;
  virtual bool checked(Control control) = 0;
  virtual void set_checked(Control control, bool checked) = 0;
  virtual void focus(Control control) = 0;
  // The selected entry of the quality list, absent when none is selected.
  virtual std::optional<std::size_t> selection(Control control) = 0;
  // Replaces every entry of the device list (the selection is not kept).
  virtual void set_entries(Control control, const std::vector<std::string>& entries) = 0;
  // Replaces one entry's text and selects it.
  virtual void set_entry(Control control, std::size_t index, std::string_view entry) = 0;

  // Dialogs.
  virtual DialogResult save_file_dialog(const SaveFileRequest& request) = 0;
  virtual DialogResult open_file_dialog(const OpenFileRequest& request) = 0;
  virtual DialogResult folder_dialog(const FolderRequest& request) = 0;

  // The monotonic clock of the timer, durations and deadlines.
  virtual time_point now() = 0;
  // Asks the window to close (after the current flow returns).
  virtual void request_close() = 0;

  // Thread-safe: hands a live start's outcome to the UI thread, which later
  // calls `on_source_started` with it.
  virtual void post_source_started(SourceStartResult result) = 0;
};

}  // namespace quillbox
