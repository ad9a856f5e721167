// Reads the running program's window back through the window API for the
// end-to-end tests (a console program, run under Wine beside the program):
//
//   window_probe wait SECONDS      waits until the main window or one of its boxes is visible
//   window_probe controls          the main window (title|style|client w|h|client origin
//                                  x|y on the screen|list item height), then every child:
//                                  class|id|style|exstyle|x|y|w|h|text (client coordinates)
//   window_probe items             the entries of the device list
//   window_probe focus             the id and class of the control with the focus
//   window_probe boxes             every visible message box: caption|text
//   window_probe answer ID         presses button ID (1 OK, 6 Yes, 7 No) of the first box
//   window_probe close             asks the main window to close
//   window_probe detached EXE ARGS  runs EXE as a desktop start does (no standard
//                                  handles at all) and returns its exit status
//
// Exit status 0 on success, 1 when the window (or a box) is not there.

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
  return s;
}

// WM_GETTEXT reaches the control itself (GetWindowTextW does not for
// another process's edit field).
std::string text_of(HWND w) {
  DWORD_PTR n = 0;
  ::SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &n);
  std::wstring s(static_cast<std::size_t>(n) + 1, L'\0');
  DWORD_PTR got = 0;
  ::SendMessageTimeoutW(w, WM_GETTEXT, n + 1, reinterpret_cast<LPARAM>(s.data()), SMTO_ABORTIFHUNG,
                        2000, &got);
  s.resize(static_cast<std::size_t>(got));
  std::string out;
  for (char c : utf8(s)) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

std::string class_of(HWND w) {
  wchar_t name[64] = {};
  ::GetClassNameW(w, name, 64);
  return utf8(name);
}

HWND main_window() {
  return ::FindWindowW(L"QuillboxMain", nullptr);
}

BOOL CALLBACK collect(HWND w, LPARAM lp) {
  reinterpret_cast<std::vector<HWND>*>(lp)->push_back(w);
  return TRUE;
}

std::vector<HWND> children(HWND parent) {
  std::vector<HWND> out;
  for (HWND c = ::GetWindow(parent, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT))
    out.push_back(c);
  return out;
}

// Visible message boxes of the program's thread.
std::vector<HWND> boxes(HWND main) {
  std::vector<HWND> all, out;
  const DWORD thread = ::GetWindowThreadProcessId(main, nullptr);
  ::EnumThreadWindows(thread, collect, reinterpret_cast<LPARAM>(&all));
  for (HWND w : all)
    if (::IsWindowVisible(w) && class_of(w) == "#32770") out.push_back(w);
  return out;
}

void print_window(HWND w, HWND parent) {
  RECT r{};
  ::GetWindowRect(w, &r);
  ::MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
  std::printf("%s|%d|0x%08lX|0x%08lX|%ld|%ld|%ld|%ld|%s\n", class_of(w).c_str(), ::GetDlgCtrlID(w),
              static_cast<unsigned long>(::GetWindowLongW(w, GWL_STYLE)),
              static_cast<unsigned long>(::GetWindowLongW(w, GWL_EXSTYLE)), r.left, r.top,
              r.right - r.left, r.bottom - r.top, text_of(w).c_str());
}

}  // namespace

// A command line of the arguments, each quoted.
std::wstring command_line(int argc, wchar_t** argv, int first) {
  std::wstring line;
  for (int i = first; i < argc; ++i) {
    if (!line.empty()) line += L' ';
    line += L'"';
    line += argv[i];
    line += L'"';
  }
  return line;
}

int run_detached(int argc, wchar_t** argv) {
  std::wstring line = command_line(argc, argv, 2);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;  // all three null: nothing to write to
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(argv[2], line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        nullptr, &si, &pi))
    return 125;
  ::WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 125;
  ::GetExitCodeProcess(pi.hProcess, &code);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

int main() {
  int argc = 0;
  wchar_t** wargv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argc >= 3 && std::wstring(wargv[1]) == L"detached") return run_detached(argc, wargv);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(utf8(wargv[i]));
  std::vector<char*> pointers;
  for (auto& a : args) pointers.push_back(a.data());
  char** argv = pointers.data();
  if (argc < 2) return 2;
  const std::string cmd = argv[1];
  if (cmd == "wait") {
    const int tenths = (argc > 2 ? std::atoi(argv[2]) : 30) * 10;
    for (int i = 0; i < tenths; ++i) {
      // A --duration start shows its message boxes before the window.
      HWND w = main_window();
      if (w != nullptr && (::IsWindowVisible(w) || !boxes(w).empty())) return 0;
      ::Sleep(100);
    }
    return 1;
  }
  HWND main = main_window();
  if (main == nullptr) {
    std::fprintf(stderr, "no QuillboxMain window\n");
    return 1;
  }
  if (cmd == "controls") {
    RECT client{};
    ::GetClientRect(main, &client);
    POINT origin{0, 0};
    ::ClientToScreen(main, &origin);
    HWND list = ::GetDlgItem(main, 104);
    std::printf("main|%s|0x%08lX|%ld|%ld|%ld|%ld|%ld\n", text_of(main).c_str(),
                static_cast<unsigned long>(::GetWindowLongW(main, GWL_STYLE)), client.right,
                client.bottom, origin.x, origin.y,
                static_cast<long>(::SendMessageW(list, LB_GETITEMHEIGHT, 0, 0)));
    for (HWND c : children(main)) print_window(c, main);
    return 0;
  }
  if (cmd == "focus") {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!::GetGUIThreadInfo(::GetWindowThreadProcessId(main, nullptr), &info) ||
        info.hwndFocus == nullptr)
      return 1;
    std::printf("%d|%s\n", ::GetDlgCtrlID(info.hwndFocus), class_of(info.hwndFocus).c_str());
    return 0;
  }
  if (cmd == "boxes") {
    for (HWND b : boxes(main)) {
      std::string text;
      for (HWND c : children(b))
        if (class_of(c) == "Static" && !text_of(c).empty()) text = text_of(c);
      std::printf("%s|%s\n", text_of(b).c_str(), text.c_str());
    }
    return 0;
  }
  if (cmd == "answer" && argc > 2) {
    const auto found = boxes(main);
    if (found.empty()) return 1;
    HWND button = ::GetDlgItem(found.front(), std::atoi(argv[2]));
    if (button == nullptr) return 1;
    ::PostMessageW(button, BM_CLICK, 0, 0);
    return 0;
  }
  if (cmd == "items") {
    HWND list = ::GetDlgItem(main, 104);
    const auto count = ::SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      const auto n = ::SendMessageW(list, LB_GETTEXTLEN, i, 0);
      std::wstring item(static_cast<std::size_t>(n) + 1, L'\0');
      ::SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(item.data()));
      item.resize(static_cast<std::size_t>(n));
      std::printf("%s\n", utf8(item).c_str());
    }
    return 0;
  }
  if (cmd == "close") {
    ::PostMessageW(main, WM_CLOSE, 0, 0);
    return 0;
  }
  return 2;
}
