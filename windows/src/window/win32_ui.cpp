#include "window/win32_ui.h"

// After windows.h, which they need.
#include <commdlg.h>
#include <shobjidl.h>

#include <cstdio>
#include <vector>

#include "base/text.h"

namespace quillbox {
namespace {

constexpr DWORD FILE_NAME_UNITS = 32768;
constexpr DWORD SAVE_FLAGS =
    OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_EXPLORER;
constexpr DWORD OPEN_FLAGS = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
constexpr HRESULT CANCELLED = HRESULT_FROM_WIN32(ERROR_CANCELLED);

struct ControlId {
  Control control;
  int id;
};
constexpr ControlId CONTROL_IDS[] = {
    {Control::StartButton, 101},     {Control::MicBox, 102},        {Control::SystemBox, 103},
    {Control::DeviceList, 104},      {Control::FolderEdit, 105},    {Control::RepairButton, 106},
    {Control::NormalizeButton, 107}, {Control::SingleRadio, 108},   {Control::SilenceRadio, 109},
    {Control::InstructedRadio, 110}, {Control::QualityCombo, 111},  {Control::AskSaveBox, 112},
    {Control::StatusLabel, 201},     {Control::DurationLabel, 202},
};

std::string from_wide(const wchar_t* text, std::size_t length) {
  return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

// "label\0pattern\0" per filter, then a final NUL.
std::wstring filter_text(const std::vector<FileFilter>& filters) {
  std::wstring text;
  for (const FileFilter& f : filters) {
    text += to_wide(f.label);
    text.push_back(L'\0');
    text += to_wide(f.pattern);
    text.push_back(L'\0');
  }
  text.push_back(L'\0');
  return text;
}

// Runs one of the common file dialogs; `initial_name` fills the buffer first.
DialogResult file_dialog(HWND owner, const std::string& title,
                         const std::vector<FileFilter>& filters, const std::string& initial_name,
                         DWORD flags, BOOL(WINAPI* show)(LPOPENFILENAMEW)) {
  std::vector<wchar_t> buffer(FILE_NAME_UNITS, L'\0');
  const std::wstring initial = to_wide(initial_name);
  if (initial.size() < buffer.size()) std::copy(initial.begin(), initial.end(), buffer.begin());
  const std::wstring filter = filter_text(filters);
  const std::wstring caption = to_wide(title);
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filter.c_str();
  ofn.lpstrFile = buffer.data();
  ofn.nMaxFile = FILE_NAME_UNITS;
  ofn.lpstrTitle = caption.c_str();
  ofn.Flags = flags;
  // Zero means cancelled or failed, which the callers treat alike.
  if (show(&ofn) == 0) return DialogCancelled{};
  std::size_t length = 0;
  while (length < buffer.size() && buffer[length] != L'\0') ++length;
  return path_from_utf8(from_wide(buffer.data(), length));
}

std::string picker_error(std::string_view text, HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(hr));
  return std::string(text) + " (error 0x" + code + ")";
}

template <class T>
void release(T*& p) {
  if (p != nullptr) p->Release();
  p = nullptr;
}

// The shell's folder picker: the chosen file-system folder, a cancellation,
// or the failing step's text with its result code.
DialogResult pick_folder(HWND owner, const std::string& title) {
  const HRESULT init = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(init)) return picker_error("could not initialise the folder picker", init);
  IFileOpenDialog* dialog = nullptr;
  IShellItem* item = nullptr;
  DialogResult result = DialogCancelled{};
  HRESULT hr = ::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&dialog));
  if (FAILED(hr)) {
    result = picker_error("could not create the folder picker", hr);
  } else {
    FILEOPENDIALOGOPTIONS options = 0;
    hr = dialog->GetOptions(&options);
    if (SUCCEEDED(hr))
      hr = dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
    if (SUCCEEDED(hr)) hr = dialog->SetTitle(to_wide(title).c_str());
    if (FAILED(hr)) {
      result = picker_error("could not configure the folder picker", hr);
    } else if (hr = dialog->Show(owner); hr == CANCELLED) {
      result = DialogCancelled{};
    } else if (FAILED(hr)) {
      result = picker_error("the folder picker failed", hr);
    } else if (hr = dialog->GetResult(&item); FAILED(hr) || item == nullptr) {
      result = picker_error("could not read the chosen folder", FAILED(hr) ? hr : E_POINTER);
    } else {
      PWSTR name = nullptr;
      hr = item->GetDisplayName(SIGDN_FILESYSPATH, &name);
      if (FAILED(hr) || name == nullptr || name[0] == L'\0') {
        result =
            picker_error("the chosen folder is not a file-system folder", FAILED(hr) ? hr : E_FAIL);
      } else {
        result = path_from_utf8(from_wide(name, std::wcslen(name)));
      }
      if (name != nullptr) ::CoTaskMemFree(name);
    }
  }
  release(item);
  release(dialog);
  ::CoUninitialize();
  return result;
}

}  // namespace

int control_id(Control control) {
  for (const ControlId& c : CONTROL_IDS)
    if (c.control == control) return c.id;
  return 0;
}

std::optional<Control> control_of_id(int id) {
  for (const ControlId& c : CONTROL_IDS)
    if (c.id == id) return c.control;
  return std::nullopt;
}

std::wstring to_wide(std::string_view utf8) {
  const std::u16string wide = utf8_to_utf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

std::string read_window_text(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  std::vector<wchar_t> buffer(static_cast<std::size_t>(std::max(length, 0)) + 1, L'\0');
  ::GetWindowTextW(window, buffer.data(), static_cast<int>(buffer.size()));
  std::size_t n = 0;
  while (n < buffer.size() && buffer[n] != L'\0') ++n;
  return from_wide(buffer.data(), n);
}

HWND Win32Ui::control(Control c) const {
  const auto it = controls_.find(c);
  return it == controls_.end() ? nullptr : it->second;
}

void Win32Ui::set_status(std::string_view text) {
  set_text(Control::StatusLabel, text);
}

MessageAnswer Win32Ui::show_message(const Message& m) {
  UINT type = m.buttons == MessageButtons::YesNo ? MB_YESNO : MB_OK;
  switch (m.icon) {
    case MessageIcon::Error:
      type |= MB_ICONERROR;
      break;
    case MessageIcon::Warning:
      type |= MB_ICONWARNING;
      break;
    case MessageIcon::Information:
      type |= MB_ICONINFORMATION;
      break;
    case MessageIcon::Question:
      type |= MB_ICONQUESTION;
      break;
  }
  const HWND owner = ::IsWindow(main_window_) ? main_window_ : nullptr;
  const int answer =
      ::MessageBoxW(owner, to_wide(m.text).c_str(), to_wide(m.caption).c_str(), type);
  if (answer == IDYES) return MessageAnswer::Yes;
  if (answer == IDNO) return MessageAnswer::No;
  return MessageAnswer::Ok;
}

void Win32Ui::set_text(Control c, std::string_view text) {
  if (HWND w = control(c)) ::SetWindowTextW(w, to_wide(text).c_str());
}

std::string Win32Ui::text(Control c) {
  HWND w = control(c);
  return w == nullptr ? std::string() : read_window_text(w);
}

void Win32Ui::set_enabled(Control c, bool enabled) {
  if (HWND w = control(c)) ::EnableWindow(w, enabled ? TRUE : FALSE);
}

bool Win32Ui::checked(Control c) {
  HWND w = control(c);
  return w != nullptr && ::SendMessageW(w, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32Ui::set_checked(Control c, bool on) {
  if (HWND w = control(c)) ::SendMessageW(w, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

void Win32Ui::focus(Control c) {
  if (HWND w = control(c)) ::SetFocus(w);
}

std::optional<std::size_t> Win32Ui::selection(Control c) {
  HWND w = control(c);
  if (w == nullptr) return std::nullopt;
  const LRESULT index = ::SendMessageW(w, CB_GETCURSEL, 0, 0);
  if (index < 0) return std::nullopt;
  return static_cast<std::size_t>(index);
}

void Win32Ui::set_entries(Control c, const std::vector<std::string>& entries) {
  HWND w = control(c);
  if (w == nullptr) return;
  ::SendMessageW(w, LB_RESETCONTENT, 0, 0);
  for (const std::string& entry : entries)
    ::SendMessageW(w, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(to_wide(entry).c_str()));
}

void Win32Ui::set_entry(Control c, std::size_t index, std::string_view entry) {
  HWND w = control(c);
  if (w == nullptr) return;
  ::SendMessageW(w, LB_DELETESTRING, index, 0);
  ::SendMessageW(w, LB_INSERTSTRING, index, reinterpret_cast<LPARAM>(to_wide(entry).c_str()));
  ::SendMessageW(w, LB_SETCURSEL, index, 0);
}

DialogResult Win32Ui::save_file_dialog(const SaveFileRequest& request) {
  return file_dialog(main_window_, request.title, request.filters, request.initial_name, SAVE_FLAGS,
                     ::GetSaveFileNameW);
}

DialogResult Win32Ui::open_file_dialog(const OpenFileRequest& request) {
  return file_dialog(main_window_, request.title, request.filters, "", OPEN_FLAGS,
                     ::GetOpenFileNameW);
}

DialogResult Win32Ui::folder_dialog(const FolderRequest& request) {
  return pick_folder(main_window_, request.title);
}

UiServices::time_point Win32Ui::now() {
  return std::chrono::steady_clock::now();
}

void Win32Ui::request_close() {
  ::PostMessageW(main_window_, WM_CLOSE, 0, 0);
}

void Win32Ui::post_source_started(SourceStartResult result) {
  started_.push(std::move(result));
  ::PostMessageW(main_window_, WM_APP_SOURCE_STARTED, 0, 0);
}

std::optional<SourceStartResult> Win32Ui::take_source_started() {
  return started_.take();
}

void Win32Ui::clear_source_started() {
  started_.clear();
}

}  // namespace quillbox
