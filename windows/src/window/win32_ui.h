#pragma once

// The user-interface services on Win32: the window's controls, message boxes
// owned by the main window, the common file dialogs and the shell's folder
// picker. Everything runs on the window thread except
// `post_source_started`, which queues the outcome and posts
// WM_APP_SOURCE_STARTED to the window.

#include <windows.h>

#include <map>
#include <optional>
#include <string>

#include "flows/source_start_queue.h"
#include "flows/ui_services.h"

namespace quillbox {

inline constexpr UINT WM_APP_DEVICES_READY = WM_APP + 1;
inline constexpr UINT WM_APP_SOURCE_STARTED = WM_APP + 2;

// The window's control ids. The two labels have no id of their own in the
// window (they are created with 0); theirs only names them here.
int control_id(Control control);
// The control of a WM_COMMAND id; none for an id the window does not give.
std::optional<Control> control_of_id(int id);

// The text of a window, converted from UTF-16 (unpaired surrogates become U+FFFD).
std::string read_window_text(HWND window);
std::wstring to_wide(std::string_view utf8);

class Win32Ui final : public UiServices {
 public:
  void set_main_window(HWND window) { main_window_ = window; }
  void set_control(Control control, HWND window) { controls_[control] = window; }
  HWND control(Control control) const;

  void set_status(std::string_view text) override;
  MessageAnswer show_message(const Message& message) override;
  void set_text(Control control, std::string_view text) override;
  std::string text(Control control) override;
  void set_enabled(Control control, bool enabled) override;
  bool checked(Control control) override;
  void set_checked(Control control, bool checked) override;
  void focus(Control control) override;
  std::optional<std::size_t> selection(Control control) override;
  void set_entries(Control control, const std::vector<std::string>& entries) override;
  void set_entry(Control control, std::size_t index, std::string_view entry) override;
  DialogResult save_file_dialog(const SaveFileRequest& request) override;
  DialogResult open_file_dialog(const OpenFileRequest& request) override;
  DialogResult folder_dialog(const FolderRequest& request) override;
  time_point now() override;
  void request_close() override;
  void post_source_started(SourceStartResult result) override;

  // The next queued live-start outcome, on the window thread.
  std::optional<SourceStartResult> take_source_started();
  // Drops queued outcomes. They hold no capture: a started capture stays
  // with the recorder until `attach_stream`, and its stop releases it.
  void clear_source_started();

 private:
  HWND main_window_ = nullptr;
  std::map<Control, HWND> controls_;
  SourceStartQueue started_;
};

}  // namespace quillbox
