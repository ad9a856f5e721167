#pragma once

// A scripted user interface for the window's flows: it records every call,
// answers message boxes and dialogs from a script, keeps the controls'
// states, and runs on a clock the test moves.

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "flows/source_start_queue.h"
#include "flows/ui_services.h"

namespace quillbox {

inline void PrintTo(const Message& m, std::ostream* os) {
  *os << "{" << m.caption << " | " << m.text << " | icon " << static_cast<int>(m.icon)
      << " | buttons " << static_cast<int>(m.buttons) << "}";
}

}  // namespace quillbox

namespace quillbox::test_support {

class FakeUi final : public UiServices {
 public:
  // Every call that shows something, in order: "status: ...", "box: ...".
  std::vector<std::string> log;
  std::vector<std::string> statuses;
  std::vector<Message> messages;
  std::vector<SaveFileRequest> save_requests;
  std::vector<OpenFileRequest> open_requests;
  std::vector<FolderRequest> folder_requests;

  // Answers, used in turn; an unscripted box answers No (Yes/No) or Ok, an
  // unscripted dialog is cancelled.
  std::deque<MessageAnswer> answers;
  std::deque<DialogResult> dialogs;
  std::function<void(const Message&)> while_shown;

  std::map<Control, std::string> texts;
  std::map<Control, bool> enabled;
  std::map<Control, bool> ticks;
  std::optional<std::size_t> quality;
  std::vector<std::string> entries;
  std::optional<Control> focused;
  bool has_mic_box = true;
  bool close_requested = false;
  time_point clock{std::chrono::hours(1)};

  void set_status(std::string_view text) override {
    statuses.emplace_back(text);
    log.push_back("status: " + std::string(text));
  }
  MessageAnswer show_message(const Message& message) override {
    messages.push_back(message);
    log.push_back("box: " + message.caption);
    // What happens while the box is open (a window's timer ticks on).
    if (while_shown) while_shown(message);
    if (!answers.empty()) {
      const MessageAnswer a = answers.front();
      answers.pop_front();
      return a;
    }
    return message.buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
  }
  void set_text(Control c, std::string_view text) override {
    if (present(c)) texts[c] = std::string(text);
  }
  std::string text(Control c) override { return present(c) ? texts[c] : std::string(); }
  void set_enabled(Control c, bool on) override {
    if (present(c)) enabled[c] = on;
  }
  bool is_enabled(Control c) const {
    const auto it = enabled.find(c);
    return it == enabled.end() || it->second;
  }
  bool checked(Control c) override { return present(c) && ticks[c]; }
  void set_checked(Control c, bool on) override {
    if (present(c)) ticks[c] = on;
  }
  void focus(Control c) override { focused = c; }
  std::optional<std::size_t> selection(Control) override { return quality; }
  void set_entries(Control, const std::vector<std::string>& list) override { entries = list; }
  void set_entry(Control, std::size_t index, std::string_view entry) override {
    if (index < entries.size()) entries[index] = std::string(entry);
  }
  DialogResult save_file_dialog(const SaveFileRequest& r) override {
    save_requests.push_back(r);
    return next_dialog();
  }
  DialogResult open_file_dialog(const OpenFileRequest& r) override {
    open_requests.push_back(r);
    return next_dialog();
  }
  DialogResult folder_dialog(const FolderRequest& r) override {
    folder_requests.push_back(r);
    return next_dialog();
  }
  time_point now() override { return clock; }
  void request_close() override { close_requested = true; }

  void post_source_started(SourceStartResult result) override { posted_.push(std::move(result)); }
  // Waits for the next handed-over start outcome.
  std::optional<SourceStartResult> wait_posted(
      std::chrono::seconds timeout = std::chrono::seconds(10)) {
    return posted_.wait_take(timeout);
  }

  std::string last_status() const { return statuses.empty() ? std::string() : statuses.back(); }

 private:
  bool present(Control c) const { return c != Control::MicBox || has_mic_box; }
  DialogResult next_dialog() {
    if (dialogs.empty()) return DialogCancelled{};
    DialogResult d = std::move(dialogs.front());
    dialogs.pop_front();
    return d;
  }
  SourceStartQueue posted_;
};

}  // namespace quillbox::test_support
