#include "win32/maindialog.h"

#include <algorithm>
#include <vector>

#include "app/mainwindow.h"
#include "app/commands.h"
#include "net/connection.h"
#include "win32/dialogs.h"
#include "win32/helpviewer.h"
#include "win32/msgbox.h"
#include "win32/resource.h"
#include "win32/text.h"

namespace tv::win {

namespace {

constexpr int kShadowOffset = 4;
constexpr COLORREF kStatusBackColour = RGB(0, 127, 192);

void MoveTo(HWND control, const RECT& r) {
  MoveWindow(control, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
}

}  // namespace

CMainDialog::CMainDialog(HINSTANCE instance, Win32Queue& queue, WinSockets& sockets,
                         Win32Profile& profile, Win32Files& files, Bytes commandLine)
    : instance_(instance),
      queue_(queue),
      sockets_(sockets),
      commandLine_(std::move(commandLine)),
      ctx_(Host{queue, sockets, *this, profile, files}) {
  icon_ = LoadIconW(instance_, MAKEINTRESOURCEW(IDR_MAINICON));
}

CMainDialog::~CMainDialog() {
  if (backgroundBrush_) DeleteObject(backgroundBrush_);
  if (background_) DeleteObject(background_);
}

INT_PTR CMainDialog::DoModal() {
  return DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_MAIN), nullptr, &CMainDialog::Procedure,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CMainDialog::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  CMainDialog* self = reinterpret_cast<CMainDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CMainDialog*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->window_ = window;
  }
  if (!self) return FALSE;
  return self->OnMessage(message, wParam, lParam);
}

INT_PTR CMainDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_SYSCOMMAND:
      return OnSysCommand(wParam) ? TRUE : FALSE;
    case WM_ERASEBKGND:
      PaintBackground(reinterpret_cast<HDC>(wParam));
      SetWindowLongPtrW(window_, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_PAINT:
      return OnPaintIconic() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return OnCtlColor(message, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_STARTUP_CONNECT:
      RunStartupConnection();
      SetWindowLongPtrW(window_, DWLP_MSGRESULT, 1);
      return TRUE;
    case WM_CLOSE:
      // Posted from outside (what a request to end the program sends) or
      // sent by the close command. Outside a run the dialog's own handling
      // turns it into the cancel command.
      if (!RequestCloseDuringRun()) return FALSE;
      SetWindowLongPtrW(window_, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_DESTROY:
      queue_.SetMainWindow(nullptr);
      sockets_.SetWindow(nullptr);
      deferred_.clear();
      return FALSE;
    case WM_ENTERMENULOOP:
    case WM_ENTERSIZEMOVE:
      EnterNestedLoop();
      return FALSE;
    case WM_EXITMENULOOP:
    case WM_EXITSIZEMOVE:
      LeaveNestedLoop();
      return FALSE;
    default:
      // The socket notifications, the wake-up message and stray timer ticks
      // have no handler: only a waiting operation takes them.
      return DeferNotification(message, wParam, lParam) ? TRUE : FALSE;
  }
}

BOOL CMainDialog::OnInitDialog() {
  queue_.SetMainWindow(window_);
  sockets_.SetWindow(window_);
  SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  if (!InitFromCommandLine(ctx_, commandLine_)) {
    commandLineFailed_ = true;
    EndDialog(window_, IDCANCEL);
    return FALSE;
  }
  LayOut();
  PostAutomaticStart(ctx_);
  return TRUE;
}

void CMainDialog::EnterNestedLoop() {
  ++nestedLoops_;
}

void CMainDialog::LeaveNestedLoop() {
  if (nestedLoops_ > 0) --nestedLoops_;
  if (nestedLoops_ > 0 || !window_) return;
  std::vector<MSG> kept;
  kept.swap(deferred_);
  for (const MSG& m : kept) PostMessageW(window_, m.message, m.wParam, m.lParam);
  std::vector<unsigned> ticked;
  ticked.swap(deferredTicks_);
  for (unsigned id : ticked) queue_.FireSoon(id);
}

bool CMainDialog::DeferNotification(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_SOCKET_SETUP && message != WM_SOCKET_EVENT && message != WM_HOST_LOOKUP &&
      message != WM_TIMER) {
    return false;
  }
  // Outside such a loop nothing waits for it: a late notification of a
  // connection or lookup that is over, or a tick after its wait.
  if (nestedLoops_ == 0) return false;
  if (message == WM_TIMER) {
    // The timer goes on ticking while the loop runs; once is enough.
    const unsigned id = static_cast<unsigned>(wParam);
    if (std::find(deferredTicks_.begin(), deferredTicks_.end(), id) == deferredTicks_.end()) {
      deferredTicks_.push_back(id);
    }
    return true;
  }
  MSG m = {};
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  deferred_.push_back(m);
  return true;
}

RECT CMainDialog::ClientRectOf(HWND control) const {
  RECT r = {};
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

HWND CMainDialog::CreateShadow(const RECT& control, HWND under) {
  RECT r = control;
  OffsetRect(&r, kShadowOffset, kShadowOffset);
  const DWORD clip = under ? WS_CLIPSIBLINGS : 0;
  HWND shadow = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_BLACKRECT | clip,
                                r.left, r.top, r.right - r.left, r.bottom - r.top, window_,
                                reinterpret_cast<HMENU>(static_cast<UINT_PTR>(IDC_SHADOW)),
                                instance_, nullptr);
  if (under) {
    // Right below the control and clipped by it: the shadow paints only the
    // band outside the control, whichever of the two is painted last.
    SetWindowPos(shadow, under, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOREDRAW | SWP_NOACTIVATE);
    return shadow;
  }
  // First among the siblings: painted before the control, which covers it
  // except for a band on the right and at the bottom.
  SetWindowPos(shadow, HWND_TOP, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOREDRAW | SWP_NOACTIVATE);
  return shadow;
}

void CMainDialog::LayOut() {
  HDC screen = GetDC(nullptr);
  const int bitsPerPixel = GetDeviceCaps(screen, BITSPIXEL) * GetDeviceCaps(screen, PLANES);
  background_ = LoadBitmapW(instance_, MAKEINTRESOURCEW(IDB_BACKGROUND));
  editColour_ = RGB(33, 173, 222);
  if (bitsPerPixel <= 8) editColour_ = GetNearestColor(screen, editColour_);
  ReleaseDC(nullptr, screen);
  backgroundBrush_ = CreateSolidBrush(editColour_);

  RECT r = ClientRectOf(Item(IDC_CHOOSE_SCRIPT));
  r.left = 26;
  MoveTo(Item(IDC_CHOOSE_SCRIPT), r);
  r = ClientRectOf(Item(IDC_RUN));
  r.left = 26;
  r.right = 606;
  MoveTo(Item(IDC_RUN), r);
  r = ClientRectOf(Item(IDC_SCRIPT_NAME));
  r.right = 606;
  MoveTo(Item(IDC_SCRIPT_NAME), r);

  const int shadowed[3] = {IDC_CHOOSE_SCRIPT, IDC_SCRIPT_NAME, IDC_RUN};
  for (int i = 0; i < 3; ++i) {
    HWND control = Item(shadowed[i]);
    RECT before = ClientRectOf(control);
    if (shadowed[i] != IDC_SCRIPT_NAME) {
      RECT bigger = before;
      bigger.right += 2;
      bigger.bottom += 2;
      MoveTo(control, bigger);
    }
    shadows_[i] = CreateShadow(before);
  }

  const int x = GetSystemMetrics(SM_CXSCREEN) > 680 ? 40 : 0;
  SetWindowPos(window_, nullptr, x, 40, 640, 400, SWP_NOZORDER | SWP_NOACTIVATE);

  RECT client;
  GetClientRect(window_, &client);
  RECT lower = ClientRectOf(Item(IDC_LOWER_STATUS));
  RECT upper = ClientRectOf(Item(IDC_UPPER_STATUS));
  const int lowerHeight = lower.bottom - lower.top;
  const int upperHeight = upper.bottom - upper.top;
  lower.left = 10;
  lower.right = client.right - 10;
  lower.bottom = client.bottom - 10;
  lower.top = lower.bottom - lowerHeight;
  MoveTo(Item(IDC_LOWER_STATUS), lower);
  upper.left = 10;
  upper.right = client.right - 10;
  upper.bottom = lower.top - 6;
  upper.top = upper.bottom - upperHeight;
  MoveTo(Item(IDC_UPPER_STATUS), upper);

  HMENU menu = GetSystemMenu(window_, FALSE);
  if (menu) {
    DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_RESTORE, MF_BYCOMMAND);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_HELPFILE, ToWide("Soubor nápovědy").c_str());
    AppendMenuW(menu, MF_STRING, IDM_STATE, ToWide("Zobrazení stavu").c_str());
    AppendMenuW(menu, MF_STRING, IDM_ABOUT, ToWide("O verzi programu").c_str());
    AppendMenuW(menu, MF_STRING, IDM_CHECK, ToWide("Kontrola scriptu").c_str());
  }
}

void CMainDialog::OnCommand(WORD id, WORD code) {
  switch (id) {
    case IDC_RUN:
      if (code == BN_CLICKED) RunFromButton();
      break;
    case IDC_CHOOSE_SCRIPT:
      if (code == BN_CLICKED) ChooseScriptClicked();
      break;
    case IDCANCEL:
      OnCancel(ctx_);
      if (ctx_.dialogEnded) EndDialog(window_, IDCANCEL);
      break;
    default:
      // IDOK has no meaning here: the window ends only through the cancel
      // command and its end-of-program sequence.
      break;
  }
}

bool CMainDialog::OnSysCommand(WPARAM command) {
  switch (command) {
    case IDM_HELPFILE:
      ShowHelpFile();
      return true;
    case IDM_ABOUT:
      ShowAboutDialog();
      return true;
    case IDM_STATE:
      ShowStateDialog();
      return true;
    case IDM_CHECK:
      ShowCheckDialog();
      return true;
    default:
      // The system's commands keep their low four bits for themselves. The
      // close box sends its request straight to the window, past the pumps'
      // look at the queue; Alt+F4 and a request from outside post it, and
      // whichever loop takes it (a message box's too, whose disabled owner
      // would drop it) brings it here. Outside a run the system turns it
      // into WM_CLOSE.
      if ((command & 0xFFF0) == SC_CLOSE) return RequestCloseDuringRun();
      return false;
  }
}

void CMainDialog::RunFromButton() {
  if (runs_ > 0) {
    // A click during a run interrupts it; the run goes on below this one
    // and ends there. Once it no longer runs (its last boxes are open), a
    // click has nothing to do: no run starts inside another.
    if (ctx_.running) RunButtonClicked(ctx_);
    return;
  }
  ++runs_;
  RunButtonClicked(ctx_);
  --runs_;
  EndProgramAfterRun();
}

void CMainDialog::RunStartupConnection() {
  ++runs_;
  OnStartupConnect(ctx_);
  --runs_;
  EndProgramAfterRun();
}

bool CMainDialog::RequestCloseDuringRun() {
  if (runs_ == 0) return false;
  closeRequested_ = true;
  if (ctx_.running) {
    ctx_.running = false;
    // A wait asleep on an empty queue looks at the flag once a message
    // comes.
    queue_.PostToMain(WM_SCRIPT_WAKEUP, 0, 0);
  }
  return true;
}

void CMainDialog::EndProgramAfterRun() {
  if (!closeRequested_ || runs_ > 0) return;
  closeRequested_ = false;
  OnCancel(ctx_);
  if (ctx_.dialogEnded) EndDialog(window_, IDCANCEL);
}

void CMainDialog::PaintBackground(HDC dc) {
  if (!background_) return;
  HDC source = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(source, background_);
  BitBlt(dc, 0, 0, 640, 400, source, 0, 0, SRCCOPY);
  SelectObject(source, old);
  DeleteDC(source);
}

INT_PTR CMainDialog::OnCtlColor(UINT message, HDC dc, HWND control) {
  const int id = GetDlgCtrlID(control);
  if (message == WM_CTLCOLOREDIT) {
    SetBkColor(dc, editColour_);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    return reinterpret_cast<INT_PTR>(backgroundBrush_);
  }
  if (id >= IDC_FIRST_CHECKBOX && id <= IDC_LAST_CHECKBOX) {
    SetBkColor(dc, editColour_);
    return reinterpret_cast<INT_PTR>(backgroundBrush_);
  }
  if (message == WM_CTLCOLORSTATIC && (id == IDC_UPPER_STATUS || id == IDC_LOWER_STATUS)) {
    SetBkMode(dc, TRANSPARENT);
    SetBkColor(dc, kStatusBackColour);
    // The picture under the line, so the text stands directly on it and an
    // older, longer text disappears.
    RECT r = ClientRectOf(control);
    if (background_) {
      HDC source = CreateCompatibleDC(dc);
      HGDIOBJ old = SelectObject(source, background_);
      BitBlt(dc, 0, 0, r.right - r.left, r.bottom - r.top, source, r.left, r.top, SRCCOPY);
      SelectObject(source, old);
      DeleteDC(source);
    }
    return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
  }
  return FALSE;
}

bool CMainDialog::OnPaintIconic() {
  if (!IsIconic(window_)) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window_, &paint);
  SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(window_, &client);
  const int x = (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(window_, &paint);
  return true;
}

void CMainDialog::ChooseScriptClicked() {
  std::vector<wchar_t> file(4096, L'\0');
  std::wstring initial = ToWide(GetScriptName());
  initial.copy(file.data(), file.size() - 1);
  const std::wstring title = ToWide("Zadejte jméno souboru - scriptu pro Tarvelin");
  static const wchar_t kFilter[] = L"Tarvelin scripts\0*.tvl\0All files\0*.*\0";
  OPENFILENAMEW dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = window_;
  dialog.lpstrFilter = kFilter;
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrTitle = title.c_str();
  dialog.lpstrDefExt = L"TVL";
  dialog.Flags =
      OFN_EXPLORER | OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
  NestedLoop loop(*this);
  BOOL chosen = GetOpenFileNameW(&dialog);
  if (!chosen && CommDlgExtendedError() == FNERR_INVALIDFILENAME) {
    // The edit holds something that cannot be a file name: offer the dialog
    // without it rather than not at all.
    file[0] = L'\0';
    chosen = GetOpenFileNameW(&dialog);
  }
  if (chosen) SetScriptName(FromWide(file.data()));
}

void CMainDialog::ShowHelpFile() {
  NestedLoop loop(*this);
  if (!ShowHelpViewer(instance_, icon_)) {
    MessageBoxW(window_, ToWide("Nelze prohlížet soubor TARVELIN.HLP").c_str(),
                ToWide("*** CHYBA ***").c_str(), MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND);
  }
}

INT_PTR CMainDialog::ShowModal(CDialog& dialog) {
  NestedLoop loop(*this);
  return dialog.DoModal(window_);
}

void CMainDialog::ShowAboutDialog() {
  CAboutDialog about;
  about.aboutText = AboutText();
  ShowModal(about);
}

void CMainDialog::ShowStateDialog() {
  CStateDialog state;
  for (const Bytes& symbol : ctx_.symbols.Items()) state.symbolLines.push_back(symbol);
  for (const CounterList::Counter& counter : ctx_.counters.Items()) {
    state.counterLines.push_back(Bytes(counter.name.c_str()) + "=" +
                                 std::to_string(static_cast<long>(counter.value)));
  }
  for (const TextList::Text& text : ctx_.texts.Items()) {
    state.textLines.push_back(StateTextLine(text.name, text.value));
  }
  ShowModal(state);
}

// Checks the script named in the edit control; nothing runs.
void CMainDialog::ShowCheckDialog() {
  const Bytes name = GetScriptName();
  CCheckDialog check;
  if (name.empty()) {
    check.text = "Není zadáno jméno souboru - scriptu.\r\n";
  } else {
    check.script = FullPathOf(name);
    check.text = CheckReportText(check.script, CheckScript(ctx_.host.files, name));
  }
  ShowModal(check);
}

// tv::Window

int CMainDialog::MessageBox(const Bytes& text, const Bytes& title, unsigned type) {
  NestedLoop loop(*this);
  return ShowMessageBox(window_, ToWide(text), ToWide(title), type);
}

void CMainDialog::SetUpperStatus(const Bytes& text) {
  SetDlgItemTextW(window_, IDC_UPPER_STATUS, ToWide(text).c_str());
}

void CMainDialog::SetLowerStatus(const Bytes& text) {
  SetDlgItemTextW(window_, IDC_LOWER_STATUS, ToWide(text).c_str());
}

void CMainDialog::SetTitle(const Bytes& text) {
  SetWindowTextW(window_, ToWide(text).c_str());
}

Bytes CMainDialog::GetScriptName() {
  HWND edit = Item(IDC_SCRIPT_NAME);
  int length = GetWindowTextLengthW(edit);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  length = GetWindowTextW(edit, &text[0], length + 1);
  text.resize(static_cast<size_t>(length < 0 ? 0 : length));
  return FromWide(text);
}

void CMainDialog::SetScriptName(const Bytes& name) {
  SetDlgItemTextW(window_, IDC_SCRIPT_NAME, ToWide(name).c_str());
}

void CMainDialog::EnableScriptChoice(bool enable) {
  EnableWindow(Item(IDC_CHOOSE_SCRIPT), enable);
  EnableWindow(Item(IDC_SCRIPT_NAME), enable);
}

void CMainDialog::SetRunButtonCaption(const Bytes& caption) {
  SetDlgItemTextW(window_, IDC_RUN, ToWide(caption).c_str());
}

void CMainDialog::FocusRunButton() {
  SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(IDC_RUN)), TRUE);
}

int CMainDialog::PrepareSlideUp() {
  ShowWindow(shadows_[0], SW_HIDE);
  ShowWindow(shadows_[1], SW_HIDE);
  ShowWindow(Item(IDC_CHOOSE_SCRIPT), SW_HIDE);
  ShowWindow(Item(IDC_SCRIPT_NAME), SW_HIDE);
  FocusRunButton();
  const int distance = ClientRectOf(Item(IDC_RUN)).top - ClientRectOf(Item(IDC_CHOOSE_SCRIPT)).top;
  return distance > 0 ? distance / 4 : 0;
}

void CMainDialog::PrepareSlide() {
  runShadowRect_ = ClientRectOf(shadows_[2]);
  ShowWindow(shadows_[2], SW_HIDE);
}

void CMainDialog::MoveRunButton(int dy) {
  HWND run = Item(IDC_RUN);
  RECT r = ClientRectOf(run);
  OffsetRect(&r, 0, dy);
  MoveTo(run, r);
  OffsetRect(&runShadowRect_, 0, dy);
}

void CMainDialog::FinishSlide(bool down) {
  MoveTo(shadows_[2], runShadowRect_);
  ShowWindow(shadows_[2], SW_SHOW);
  // The shadow has just painted itself over part of the button.
  InvalidateRect(Item(IDC_RUN), nullptr, TRUE);
  if (down) {
    ShowWindow(Item(IDC_CHOOSE_SCRIPT), SW_SHOW);
    ShowWindow(Item(IDC_SCRIPT_NAME), SW_SHOW);
    ShowWindow(shadows_[0], SW_SHOW);
    ShowWindow(shadows_[1], SW_SHOW);
    InvalidateRect(Item(IDC_CHOOSE_SCRIPT), nullptr, TRUE);
    InvalidateRect(Item(IDC_SCRIPT_NAME), nullptr, TRUE);
    FocusRunButton();
  }
}

void CMainDialog::ShowMain(int command) {
  ShowWindow(window_, command);
}

uintptr_t CMainDialog::GetForeground() {
  return reinterpret_cast<uintptr_t>(GetForegroundWindow());
}

void CMainDialog::SetForeground(uintptr_t window) {
  SetForegroundWindow(reinterpret_cast<HWND>(window));
}

void CMainDialog::BringMainToFront() {
  SetForegroundWindow(window_);
}

int CMainDialog::InputLine(const Bytes& prompt, Bytes& text) {
  CInputLineDialog dialog;
  dialog.prompt = prompt;
  dialog.text = text;
  INT_PTR result = ShowModal(dialog);
  if (result == IDOK) text = dialog.text;
  return static_cast<int>(result);
}

int CMainDialog::ConnectParams(Bytes& server, int& port) {
  CConnectParamsDialog dialog;
  dialog.server = server;
  dialog.port = port;
  INT_PTR result = ShowModal(dialog);
  if (result == IDOK) {
    server = dialog.server;
    port = dialog.port;
  }
  return static_cast<int>(result);
}

int CMainDialog::AcceptParams(int& port) {
  CAcceptParamsDialog dialog;
  dialog.port = port;
  INT_PTR result = ShowModal(dialog);
  if (result == IDOK) port = dialog.port;
  return static_cast<int>(result);
}

Rect CMainDialog::RunButtonRect() {
  RECT r = ClientRectOf(Item(IDC_RUN));
  return Rect{r.left, r.top, r.right, r.bottom};
}

void CMainDialog::CreateCheckBox(int slot, const Bytes&, const Bytes& caption, const Rect& box) {
  if (slot < 0 || slot >= MAX_CHECKBOXES) return;
  CheckBoxWindows& windows = checkBoxes_[slot];
  windows.box = CreateWindowExW(
      WS_EX_CLIENTEDGE | WS_EX_STATICEDGE, L"BUTTON", ToWide(caption).c_str(),
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, box.left, box.top, box.right - box.left,
      box.bottom - box.top, window_,
      reinterpret_cast<HMENU>(static_cast<UINT_PTR>(IDC_FIRST_CHECKBOX)), instance_, nullptr);
  LRESULT font = SendMessageW(window_, WM_GETFONT, 0, 0);
  SendMessageW(windows.box, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
  RECT r = {box.left, box.top, box.right, box.bottom};
  // The box's sunken edge reaches its last pixel on the right and at the
  // bottom, so nothing of the shadow may lie on it.
  windows.shadow = CreateShadow(r, windows.box);
}

void CMainDialog::DestroyCheckBox(int slot) {
  if (slot < 0 || slot >= MAX_CHECKBOXES) return;
  CheckBoxWindows& windows = checkBoxes_[slot];
  if (windows.shadow) DestroyWindow(windows.shadow);
  if (windows.box) DestroyWindow(windows.box);
  windows = CheckBoxWindows();
}

int CMainDialog::GetCheck(int slot) {
  if (slot < 0 || slot >= MAX_CHECKBOXES || !checkBoxes_[slot].box) return 0;
  return static_cast<int>(SendMessageW(checkBoxes_[slot].box, BM_GETCHECK, 0, 0));
}

void CMainDialog::SetCheck(int slot, int state) {
  if (slot < 0 || slot >= MAX_CHECKBOXES || !checkBoxes_[slot].box) return;
  SendMessageW(checkBoxes_[slot].box, BM_SETCHECK, static_cast<WPARAM>(state), 0);
}

void CMainDialog::PlaySound(const Bytes& path) {
  PlaySoundW(ToWide(path).c_str(), nullptr, SND_FILENAME | SND_ASYNC);
}

void CMainDialog::StopSound() {
  PlaySoundW(nullptr, nullptr, SND_PURGE);
}

}  // namespace tv::win
