// ket-probe: the hands and eyes of the end-to-end tests. It runs next to KetroSetup.exe in the
// same Wine prefix, reads the window tree of other processes and types and clicks through
// SendInput, as a person at the keyboard would.
//
// It serves one command per line on standard input and answers each with one line of JSON on
// standard output, so a test driver keeps a single probe for a whole scenario:
//
//   tree <hwnd>                    the window and all its descendants
//   windows <class>                every top-level window of that class
//   key <name>[+<name>...]         key presses, e.g. "Return", "shift+Tab", "alt+F4"
//   type <text>                    Unicode characters (the rest of the line)
//   click <x> <y>                  a left click at screen coordinates
//   move <x> <y>                   the pointer moved to screen coordinates
//   text status|default <text>     the text's size in the system's tooltip font, or in the
//                                  toolkit's default font, and its ink: the number of dark
//                                  pixels in each column when drawn black on white
//   start <command line>           a process started with exactly this command line
//                                  (CreateProcessW); answers its pid
//   exitcode <pid> <timeout ms>    waits for a process the probe started; its exit code
//   kill <pid>                     ends a process the probe started (exit code 1)
//   suspend <pid> | resume <pid>   stops or restarts every thread of a process
//   foreground <hwnd> | minimize <hwnd> | close <hwnd> | iconic <hwnd>
//   own-window                     shows a window of the probe's own and makes it the active one
//   zorder <hwnd>                  whether hwnd lies above the probe's own window
//   hold <path>                    opens the file as a program that keeps it does: reading,
//                                  others may read it too but neither write nor delete nor
//                                  rename it; the probe keeps it open until "release"
//   release                        closes every file that "hold" opened
//   embed <exe> <archive> <out>    a copy of exe whose archive resource holds the given file
//   quit
//
// Fields are separated by one space; "type", "text" and "start" take the rest of the line
// unchanged.
#include "base/wide.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <thread>
#include <vector>
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

namespace {

std::string ToUtf8(std::wstring_view w) {
  return ket::Utf16ToUtf8(ket::FromWide(w));
}

std::string Json(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Bool(bool b) {
  return b ? "true" : "false";
}

HWND ParseHwnd(const std::string& s) {
  return reinterpret_cast<HWND>(static_cast<intptr_t>(std::strtoll(s.c_str(), nullptr, 10)));
}

std::string HwndText(HWND h) {
  return std::to_string(reinterpret_cast<intptr_t>(h));
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= line.size()) {
    const size_t sp = line.find(' ', start);
    if (sp == std::string::npos) {
      parts.push_back(line.substr(start));
      break;
    }
    parts.push_back(line.substr(start, sp - start));
    start = sp + 1;
  }
  return parts;
}

std::wstring WindowText(HWND h) {
  // WM_GETTEXT rather than GetWindowText, which does not ask windows of other processes; with a
  // timeout, since the setup does not answer while it writes a large file.
  DWORD_PTR len = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 3000, &len))
    return {};
  std::wstring text(static_cast<size_t>(len) + 1, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, 3000, &got))
    return {};
  text.resize(static_cast<size_t>(got));
  return text;
}

std::wstring ClassOf(HWND h) {
  wchar_t buf[256] = {};
  GetClassNameW(h, buf, 256);
  return buf;
}

HWND FocusOf(HWND top) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  const DWORD thread = GetWindowThreadProcessId(top, nullptr);
  return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}

void Describe(HWND h, HWND focus, std::string& out) {
  RECT r{};
  GetWindowRect(h, &r);
  POINT origin{r.left, r.top};
  const HWND parent = GetAncestor(h, GA_PARENT);
  const bool child = (GetWindowLongW(h, GWL_STYLE) & WS_CHILD) != 0;
  if (child && parent)
    ScreenToClient(parent, &origin);
  RECT client{};
  GetClientRect(h, &client);
  const auto style = static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE));
  std::string combo;
  if (ClassOf(h) == L"ComboBox") {
    const LRESULT sel = SendMessageW(h, CB_GETCURSEL, 0, 0);
    combo = ",\"selected\":" + std::to_string(sel);
  }
  if (!out.empty())
    out += ",";
  out += "{\"hwnd\":" + HwndText(h) + ",\"parent\":" + HwndText(child ? parent : nullptr) +
         ",\"class\":" + Json(ToUtf8(ClassOf(h))) + ",\"text\":" + Json(ToUtf8(WindowText(h))) +
         ",\"x\":" + std::to_string(origin.x) + ",\"y\":" + std::to_string(origin.y) +
         ",\"w\":" + std::to_string(r.right - r.left) +
         ",\"h\":" + std::to_string(r.bottom - r.top) + ",\"sx\":" + std::to_string(r.left) +
         ",\"sy\":" + std::to_string(r.top) + ",\"cw\":" + std::to_string(client.right) +
         ",\"ch\":" + std::to_string(client.bottom) +
         ",\"visible\":" + Bool(IsWindowVisible(h) != FALSE) +
         ",\"shown\":" + Bool((style & WS_VISIBLE) != 0) +
         ",\"enabled\":" + Bool(IsWindowEnabled(h) != FALSE) + ",\"focus\":" + Bool(h == focus) +
         ",\"style\":" + std::to_string(style) + ",\"id\":" + std::to_string(GetDlgCtrlID(h)) +
         combo + "}";
}

// Each window before its children, children in z-order from the top.
void Walk(HWND h, HWND focus, std::string& list) {
  Describe(h, focus, list);
  for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    Walk(c, focus, list);
}

std::string Tree(HWND top) {
  if (!IsWindow(top))
    return "{\"ok\":false,\"error\":\"no such window\"}";
  std::string list;
  Walk(top, FocusOf(top), list);
  DWORD pid = 0;
  GetWindowThreadProcessId(top, &pid);
  return "{\"ok\":true,\"pid\":" + std::to_string(pid) +
         ",\"foreground\":" + Bool(GetForegroundWindow() == top) +
         ",\"iconic\":" + Bool(IsIconic(top) != FALSE) + ",\"windows\":[" + list + "]}";
}

std::optional<WORD> KeyCode(const std::string& name) {
  static const struct {
    const char* name;
    WORD vk;
  } keys[] = {
      {"Return", VK_RETURN}, {"Tab", VK_TAB},     {"Escape", VK_ESCAPE}, {"Space", VK_SPACE},
      {"Down", VK_DOWN},     {"Up", VK_UP},       {"Left", VK_LEFT},     {"Right", VK_RIGHT},
      {"Home", VK_HOME},     {"End", VK_END},     {"Delete", VK_DELETE}, {"BackSpace", VK_BACK},
      {"F4", VK_F4},         {"shift", VK_SHIFT}, {"ctrl", VK_CONTROL},  {"alt", VK_MENU}};
  for (const auto& k : keys)
    if (name == k.name)
      return k.vk;
  if (name.size() == 1 &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= '0' && name[0] <= '9')))
    return static_cast<WORD>(name[0]);
  return std::nullopt;
}

INPUT KeyInput(WORD vk, bool up) {
  INPUT in{};
  in.type = INPUT_KEYBOARD;
  in.ki.wVk = vk;
  in.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
  in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  return in;
}

std::string Keys(const std::string& chord) {
  std::vector<WORD> codes;
  size_t start = 0;
  while (start <= chord.size()) {
    size_t plus = chord.find('+', start);
    if (plus == std::string::npos)
      plus = chord.size();
    const auto vk = KeyCode(chord.substr(start, plus - start));
    if (!vk)
      return "{\"ok\":false,\"error\":\"unknown key\"}";
    codes.push_back(*vk);
    start = plus + 1;
  }
  std::vector<INPUT> inputs;
  for (const WORD vk : codes)
    inputs.push_back(KeyInput(vk, false));
  for (auto it = codes.rbegin(); it != codes.rend(); ++it)
    inputs.push_back(KeyInput(*it, true));
  const UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  return "{\"ok\":" + Bool(sent == inputs.size()) + "}";
}

std::string TypeText(const std::wstring& text) {
  std::vector<INPUT> inputs;
  for (const wchar_t ch : text) {
    for (const bool up : {false, true}) {
      INPUT in{};
      in.type = INPUT_KEYBOARD;
      in.ki.wScan = ch;
      in.ki.dwFlags = KEYEVENTF_UNICODE | (up ? KEYEVENTF_KEYUP : 0);
      inputs.push_back(in);
    }
  }
  const UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  return "{\"ok\":" + Bool(sent == inputs.size()) + "}";
}

std::string Click(int x, int y) {
  SetCursorPos(x, y);
  INPUT in[2]{};
  in[0].type = in[1].type = INPUT_MOUSE;
  in[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  in[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  const UINT sent = SendInput(2, in, sizeof(INPUT));
  return "{\"ok\":" + Bool(sent == 2) + "}";
}

std::string Move(int x, int y) {
  SetCursorPos(x, y);
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dwFlags = MOUSEEVENTF_MOVE;
  const UINT sent = SendInput(1, &in, sizeof(INPUT));
  return "{\"ok\":" + Bool(sent == 1) + "}";
}

// The fonts the setup draws hints and file names in, made here the way it makes them.
HFONT MakeFont(const std::string& kind) {
  if (kind == "status") {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    return CreateFontIndirectW(&metrics.lfStatusFont);
  }
  if (kind == "default") {
    HDC screen = GetDC(nullptr);
    const int ppi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    LOGFONTW lf{};
    lf.lfHeight = -MulDiv(8, ppi, 72);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    wcscpy(lf.lfFaceName, L"MS Sans Serif");
    return CreateFontIndirectW(&lf);
  }
  return nullptr;
}

std::string Text(const std::string& kind, const std::wstring& text) {
  const HFONT font = MakeFont(kind);
  if (!font)
    return "{\"ok\":false,\"error\":\"unknown font\"}";
  HDC dc = CreateCompatibleDC(nullptr);
  const HGDIOBJ oldFont = SelectObject(dc, font);
  RECT r{0, 0, 0, 0};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
            DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
  const int w = r.right + 8;
  const int h = r.bottom + 4;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  const HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  const HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  RECT all{0, 0, w, h};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  RECT place{2, 2, w - 2, h - 2};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &place,
            DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
  GdiFlush();
  std::string ink;
  const auto* pixels = static_cast<const std::uint32_t*>(bits);
  for (int x = 0; x < w; ++x) {
    int dark = 0;
    for (int y = 0; y < h; ++y) {
      const std::uint32_t p = pixels[y * w + x];
      const int sum = static_cast<int>((p & 0xFF) + ((p >> 8) & 0xFF) + ((p >> 16) & 0xFF));
      dark += sum < 3 * 128 ? 1 : 0;
    }
    ink += (ink.empty() ? "" : ",") + std::to_string(dark);
  }
  SelectObject(dc, oldBitmap);
  SelectObject(dc, oldFont);
  DeleteObject(bitmap);
  DeleteObject(font);
  DeleteDC(dc);
  return "{\"ok\":true,\"cx\":" + std::to_string(r.right) + ",\"cy\":" + std::to_string(r.bottom) +
         ",\"ink\":[" + ink + "]}";
}

// Processes started by "start", by pid.
std::map<DWORD, HANDLE> g_started;

std::string Start(const std::wstring& commandLine) {
  std::wstring line = commandLine;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return "{\"ok\":false,\"error\":\"CreateProcessW " + std::to_string(GetLastError()) + "\"}";
  CloseHandle(pi.hThread);
  g_started[pi.dwProcessId] = pi.hProcess;
  return "{\"ok\":true,\"pid\":" + std::to_string(pi.dwProcessId) + "}";
}

std::string ExitCode(DWORD pid, DWORD timeout) {
  const auto it = g_started.find(pid);
  if (it == g_started.end())
    return "{\"ok\":false,\"error\":\"not started here\"}";
  if (WaitForSingleObject(it->second, timeout) != WAIT_OBJECT_0)
    return "{\"ok\":true,\"running\":true}";
  DWORD code = 0;
  GetExitCodeProcess(it->second, &code);
  return "{\"ok\":true,\"running\":false,\"code\":" + std::to_string(code) + "}";
}

std::string Kill(DWORD pid) {
  const auto it = g_started.find(pid);
  if (it == g_started.end())
    return "{\"ok\":false,\"error\":\"not started here\"}";
  TerminateProcess(it->second, 1);
  WaitForSingleObject(it->second, 10000);
  return "{\"ok\":true}";
}

std::string SuspendProcess(DWORD pid, bool suspend) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return "{\"ok\":false,\"error\":\"snapshot\"}";
  int done = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != pid)
      continue;
    const HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
    if (!thread)
      continue;
    const DWORD result = suspend ? SuspendThread(thread) : ResumeThread(thread);
    done += result != static_cast<DWORD>(-1) ? 1 : 0;
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
  return "{\"ok\":" + Bool(done > 0) + ",\"threads\":" + std::to_string(done) + "}";
}

HWND g_own = nullptr;

std::string OwnWindow() {
  if (!g_own) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"KetProbeWindow";
    RegisterClassW(&wc);
    g_own = CreateWindowExW(0, wc.lpszClassName, L"probe", WS_OVERLAPPEDWINDOW, 0, 0, 1024, 768,
                            nullptr, nullptr, wc.hInstance, nullptr);
  }
  ShowWindow(g_own, SW_SHOWNORMAL);
  SetWindowPos(g_own, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetForegroundWindow(g_own);
  return "{\"ok\":true,\"hwnd\":" + HwndText(g_own) + "}";
}

// Whether `h` comes before the probe's own window in the top-level z-order.
std::string ZOrder(HWND h) {
  if (!g_own)
    return "{\"ok\":false,\"error\":\"no own window\"}";
  for (HWND w = GetTopWindow(nullptr); w; w = GetWindow(w, GW_HWNDNEXT)) {
    if (w == h)
      return "{\"ok\":true,\"above\":true}";
    if (w == g_own)
      return "{\"ok\":true,\"above\":false}";
  }
  return "{\"ok\":false,\"error\":\"not found\"}";
}

// The setup's archive: resource "MAIN" of type "EXEFILE", language 1049.
std::string Embed(const std::wstring& exe, const std::wstring& archive, const std::wstring& out) {
  if (!CopyFileW(exe.c_str(), out.c_str(), FALSE))
    return "{\"ok\":false,\"error\":\"copy\"}";
  std::vector<char> data;
  FILE* f = _wfopen(archive.c_str(), L"rb");
  if (!f)
    return "{\"ok\":false,\"error\":\"archive\"}";
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
    data.insert(data.end(), buf, buf + n);
  std::fclose(f);
  const HANDLE update = BeginUpdateResourceW(out.c_str(), FALSE);
  if (!update)
    return "{\"ok\":false,\"error\":\"begin\"}";
  const BOOL done =
      UpdateResourceW(update, L"EXEFILE", L"MAIN", 1049, data.empty() ? nullptr : data.data(),
                      static_cast<DWORD>(data.size()));
  const BOOL written = EndUpdateResourceW(update, !done);
  return "{\"ok\":" + Bool(done && written) + "}";
}

// Every top-level window of a class, visible or not, with its process.
std::string Windows(const std::wstring& cls) {
  std::string list;
  for (HWND h = FindWindowExW(nullptr, nullptr, cls.c_str(), nullptr); h;
       h = FindWindowExW(nullptr, h, cls.c_str(), nullptr)) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (!list.empty())
      list += ",";
    list += "{\"hwnd\":" + HwndText(h) + ",\"pid\":" + std::to_string(pid) +
            ",\"visible\":" + Bool(IsWindowVisible(h) != FALSE) +
            ",\"text\":" + Json(ToUtf8(WindowText(h))) + "}";
  }
  return "{\"ok\":true,\"windows\":[" + list + "]}";
}

std::vector<HANDLE> g_held;

std::string Hold(const std::wstring& path) {
  const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return "{\"ok\":false,\"error\":\"open " + std::to_string(GetLastError()) + "\"}";
  g_held.push_back(h);
  return "{\"ok\":true}";
}

std::string Release() {
  for (const HANDLE h : g_held)
    CloseHandle(h);
  g_held.clear();
  return "{\"ok\":true}";
}

std::string Run(const std::string& line, bool& quit) {
  const auto args = Split(line);
  const std::string& cmd = args[0];
  auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::string(); };
  if (cmd == "quit") {
    quit = true;
    return "{\"ok\":true}";
  }
  if (cmd == "tree")
    return Tree(ParseHwnd(arg(1)));
  if (cmd == "windows")
    return Windows(ket::WideFromUtf8(arg(1)));
  if (cmd == "key")
    return Keys(arg(1));
  if (cmd == "type")
    return TypeText(ket::WideFromUtf8(line.size() > 5 ? line.substr(5) : ""));
  if (cmd == "click")
    return Click(std::atoi(arg(1).c_str()), std::atoi(arg(2).c_str()));
  if (cmd == "move")
    return Move(std::atoi(arg(1).c_str()), std::atoi(arg(2).c_str()));
  if (cmd == "text") {
    const size_t at = 5 + arg(1).size() + 1;
    return Text(arg(1), ket::WideFromUtf8(line.size() > at ? line.substr(at) : ""));
  }
  if (cmd == "start")
    return Start(ket::WideFromUtf8(line.size() > 6 ? line.substr(6) : ""));
  if (cmd == "exitcode")
    return ExitCode(static_cast<DWORD>(std::atol(arg(1).c_str())),
                    static_cast<DWORD>(std::atol(arg(2).c_str())));
  if (cmd == "kill")
    return Kill(static_cast<DWORD>(std::atol(arg(1).c_str())));
  if (cmd == "suspend" || cmd == "resume")
    return SuspendProcess(static_cast<DWORD>(std::atol(arg(1).c_str())), cmd == "suspend");
  if (cmd == "foreground")
    return "{\"ok\":" + Bool(SetForegroundWindow(ParseHwnd(arg(1)))) + "}";
  if (cmd == "minimize") {
    ShowWindow(ParseHwnd(arg(1)), SW_MINIMIZE);
    return "{\"ok\":true}";
  }
  if (cmd == "iconic")
    return "{\"ok\":true,\"iconic\":" + Bool(IsIconic(ParseHwnd(arg(1)))) + "}";
  if (cmd == "close") {
    // What the close box does: the system command, not a bare WM_CLOSE.
    return "{\"ok\":" + Bool(PostMessageW(ParseHwnd(arg(1)), WM_SYSCOMMAND, SC_CLOSE, 0)) + "}";
  }
  if (cmd == "own-window")
    return OwnWindow();
  if (cmd == "embed")
    return Embed(ket::WideFromUtf8(arg(1)), ket::WideFromUtf8(arg(2)), ket::WideFromUtf8(arg(3)));
  if (cmd == "zorder")
    return ZOrder(ParseHwnd(arg(1)));
  if (cmd == "hold")
    return Hold(ket::WideFromUtf8(line.size() > 5 ? line.substr(5) : ""));
  if (cmd == "release")
    return Release();
  return "{\"ok\":false,\"error\":\"unknown command\"}";
}

// Standard input is read on a thread of its own so that the main thread can keep the probe's
// own window answering while it waits for the next command.
std::mutex g_lock;
std::queue<std::optional<std::string>> g_lines;
HANDLE g_ready = nullptr;

void ReadInput() {
  char buf[4096];
  while (std::fgets(buf, sizeof buf, stdin)) {
    std::string line = buf;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
      line.pop_back();
    std::lock_guard lock(g_lock);
    g_lines.emplace(line);
    SetEvent(g_ready);
  }
  std::lock_guard lock(g_lock);
  g_lines.emplace(std::nullopt);
  SetEvent(g_ready);
}

} // namespace

int wmain() {
  g_ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::thread reader(ReadInput);
  reader.detach();
  bool quit = false;
  while (!quit) {
    const DWORD w = MsgWaitForMultipleObjects(1, &g_ready, FALSE, INFINITE, QS_ALLINPUT);
    if (w == WAIT_OBJECT_0 + 1) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      continue;
    }
    for (;;) {
      std::optional<std::string> line;
      {
        std::lock_guard lock(g_lock);
        if (g_lines.empty())
          break;
        line = std::move(g_lines.front());
        g_lines.pop();
      }
      if (!line) {
        quit = true;
        break;
      }
      if (line->empty())
        continue;
      const std::string answer = Run(*line, quit);
      std::fputs((answer + "\n").c_str(), stdout);
      std::fflush(stdout);
      if (quit)
        break;
    }
  }
  // The reader thread may still sit in fgets; end the process without waiting for it.
  std::fflush(stdout);
  ExitProcess(0);
}
