#pragma once

// The user-interface services on Qt: the window's widgets by `Control`,
// message boxes (QMessageBox) and file dialogs (QFileDialog) owned by the
// window, and live-start outcomes handed to the UI thread through a queued
// call. Everything runs on the UI thread except `post_source_started`.

#include <QPointer>
#include <QWidget>

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "flows/source_start_queue.h"
#include "flows/ui_services.h"

class QDialog;

namespace quillbox {

class QtUi final : public UiServices {
 public:
  // Runs a prepared modal box or dialog and returns what its `exec` returns
  // (the standard button of a box, Accepted or Rejected of a dialog). Tests
  // answer here instead of a person.
  using ModalRunner = std::function<int(QDialog&)>;

  QtUi();

  // The window that owns boxes and dialogs and receives the queued outcomes;
  // `started` runs on its thread after each `post_source_started`.
  void set_window(QWidget* window, std::function<void()> started);
  void set_control(Control control, QWidget* widget) { controls_[control] = widget; }
  QWidget* control(Control control) const;
  void set_modal_runner(ModalRunner runner) { run_modal_ = std::move(runner); }

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

  // The next queued live-start outcome, on the UI thread.
  std::optional<SourceStartResult> take_source_started() { return started_.take(); }
  // Drops queued outcomes (the window is gone); they hold no capture.
  void clear_source_started() { started_.clear(); }

 private:
  QPointer<QWidget> window_;
  // Set once before any recording; read by the workers' posts.
  QObject* receiver_ = nullptr;
  std::function<void()> on_started_;
  std::map<Control, QPointer<QWidget>> controls_;
  ModalRunner run_modal_;
  SourceStartQueue started_;
};

}  // namespace quillbox
