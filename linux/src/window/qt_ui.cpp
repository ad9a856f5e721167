#include "window/qt_ui.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QStringList>

#include "base/text.h"

namespace quillbox {
namespace {

QString qt_text(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string utf8(const QString& text) {
  return text.toStdString();
}

QMessageBox::Icon box_icon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Error:
      return QMessageBox::Critical;
    case MessageIcon::Warning:
      return QMessageBox::Warning;
    case MessageIcon::Question:
      return QMessageBox::Question;
    default:
      return QMessageBox::Information;
  }
}

// "WAV Files (*.wav)" already names its pattern the way Qt reads filters.
QStringList name_filters(const std::vector<FileFilter>& filters) {
  QStringList list;
  for (const FileFilter& f : filters)
    list << (qt_text(f.label).contains(qt_text(f.pattern))
                 ? qt_text(f.label)
                 : qt_text(f.label) + " (" + qt_text(f.pattern) + ")");
  return list;
}

// Qt's own dialogs, the same on every desktop and answerable in tests.
void prepare(QFileDialog& dialog, const std::string& title) {
  dialog.setWindowTitle(qt_text(title));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
}

DialogResult chosen_path(QFileDialog& dialog, int outcome) {
  if (outcome != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return DialogCancelled{};
  return path_from_utf8(utf8(dialog.selectedFiles().front()));
}

}  // namespace

QtUi::QtUi() : run_modal_([](QDialog& dialog) { return dialog.exec(); }) {}

void QtUi::set_window(QWidget* window, std::function<void()> started) {
  window_ = window;
  receiver_ = window;
  on_started_ = std::move(started);
}

QWidget* QtUi::control(Control control) const {
  const auto it = controls_.find(control);
  return it == controls_.end() ? nullptr : it->second.data();
}

void QtUi::set_status(std::string_view text) {
  set_text(Control::StatusLabel, text);
}

MessageAnswer QtUi::show_message(const Message& message) {
  QMessageBox box(box_icon(message.icon), qt_text(message.caption), qt_text(message.text),
                  message.buttons == MessageButtons::YesNo ? QMessageBox::Yes | QMessageBox::No
                                                           : QMessageBox::Ok,
                  window_);
  const int pressed = run_modal_(box);
  if (message.buttons != MessageButtons::YesNo) return MessageAnswer::Ok;
  return pressed == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

void QtUi::set_text(Control c, std::string_view text) {
  QWidget* w = control(c);
  if (auto* button = qobject_cast<QAbstractButton*>(w))
    button->setText(qt_text(text));
  else if (auto* label = qobject_cast<QLabel*>(w))
    label->setText(qt_text(text));
  else if (auto* edit = qobject_cast<QLineEdit*>(w))
    edit->setText(qt_text(text));
}

std::string QtUi::text(Control c) {
  QWidget* w = control(c);
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return utf8(button->text());
  if (auto* label = qobject_cast<QLabel*>(w)) return utf8(label->text());
  if (auto* edit = qobject_cast<QLineEdit*>(w)) return utf8(edit->text());
  return {};
}

void QtUi::set_enabled(Control c, bool enabled) {
  if (QWidget* w = control(c)) w->setEnabled(enabled);
}

bool QtUi::checked(Control c) {
  auto* button = qobject_cast<QAbstractButton*>(control(c));
  return button != nullptr && button->isChecked();
}

void QtUi::set_checked(Control c, bool on) {
  if (auto* button = qobject_cast<QAbstractButton*>(control(c))) button->setChecked(on);
}

void QtUi::focus(Control c) {
  if (QWidget* w = control(c)) w->setFocus(Qt::OtherFocusReason);
}

std::optional<std::size_t> QtUi::selection(Control c) {
  auto* combo = qobject_cast<QComboBox*>(control(c));
  if (combo == nullptr || combo->currentIndex() < 0) return std::nullopt;
  return static_cast<std::size_t>(combo->currentIndex());
}

void QtUi::set_entries(Control c, const std::vector<std::string>& entries) {
  auto* list = qobject_cast<QListWidget*>(control(c));
  if (list == nullptr) return;
  list->clear();
  for (const std::string& entry : entries) list->addItem(qt_text(entry));
}

void QtUi::set_entry(Control c, std::size_t index, std::string_view entry) {
  auto* list = qobject_cast<QListWidget*>(control(c));
  if (list == nullptr || index >= static_cast<std::size_t>(list->count())) return;
  const int row = static_cast<int>(index);
  list->item(row)->setText(qt_text(entry));
  list->setCurrentRow(row);
}

DialogResult QtUi::save_file_dialog(const SaveFileRequest& request) {
  QFileDialog dialog(window_);
  prepare(dialog, request.title);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters(name_filters(request.filters));
  dialog.selectFile(qt_text(request.initial_name));
  return chosen_path(dialog, run_modal_(dialog));
}

DialogResult QtUi::open_file_dialog(const OpenFileRequest& request) {
  QFileDialog dialog(window_);
  prepare(dialog, request.title);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilters(name_filters(request.filters));
  return chosen_path(dialog, run_modal_(dialog));
}

DialogResult QtUi::folder_dialog(const FolderRequest& request) {
  QFileDialog dialog(window_);
  prepare(dialog, request.title);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  return chosen_path(dialog, run_modal_(dialog));
}

UiServices::time_point QtUi::now() {
  return std::chrono::steady_clock::now();
}

void QtUi::request_close() {
  if (window_) QMetaObject::invokeMethod(window_, &QWidget::close, Qt::QueuedConnection);
}

void QtUi::post_source_started(SourceStartResult result) {
  started_.push(std::move(result));
  // A queued call runs on the window's thread; one still queued when the
  // window is destroyed is dropped with it.
  if (receiver_ != nullptr) QMetaObject::invokeMethod(receiver_, on_started_, Qt::QueuedConnection);
}

}  // namespace quillbox
