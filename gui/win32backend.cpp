// The native Windows backend: forms are top-level windows, buttons, labels and progress
// bars the system's own controls, panels and shapes small windows painted with GDI.
// Nothing here runs a loop of its own except the message dialog, and that one through
// the application's modal loop: the platform loop takes every message of the thread from
// the system's queue and dispatches it, so our window procedures run from
// DispatchMessage like any other code while timers, sockets and posted messages go on.
//
// Our headers come first: the system's macros would rename their names.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "gui/application.h"
#include "gui/backend.h"
#include "gui/button.h"
#include "gui/dialogs.h"
#include "gui/form.h"
#include "gui/label.h"
#include "gui/panel.h"
#include "gui/progressbar.h"
#include "gui/shape.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>

namespace {

const wchar_t kFormClass[] = L"GuiForm";
const wchar_t kPanelClass[] = L"GuiPanel";
const wchar_t kShapeClass[] = L"GuiShape";
const wchar_t kDialogClass[] = L"GuiDialog";

// Child ids: above IDOK and IDCANCEL, which the dialog manager sends for Enter and Escape.
constexpr int kFirstChildId = 1000;

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

COLORREF ToColorRef(TColor color) {
  uint32_t c = static_cast<uint32_t>(color);
  if (c & 0x80000000u) return GetSysColor(static_cast<int>(c & 0xFF));
  return c & 0xFFFFFF;
}

// ---------------------------------------------------------------------------------------
// Fonts and brushes, made once per look and kept while the backend lives.

int CALLBACK NoteFamily(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM data) {
  auto* families = reinterpret_cast<std::vector<std::wstring>*>(data);
  // '@' marks the vertical variant of a face.
  if (font->lfFaceName[0] != L'@') families->push_back(font->lfFaceName);
  return 1;
}

std::vector<std::wstring> Families(HDC dc, const std::wstring& face, BYTE charset) {
  std::vector<std::wstring> families;
  LOGFONTW lf = {};
  lf.lfCharSet = charset;
  wcsncpy(lf.lfFaceName, face.c_str(), LF_FACESIZE - 1);
  EnumFontFamiliesExW(dc, &lf, &NoteFamily, reinterpret_cast<LPARAM>(&families), 0);
  return families;
}

bool DrawsChinese(HDC dc, const std::wstring& face) {
  LOGFONTW lf = {};
  lf.lfHeight = -12;
  lf.lfCharSet = DEFAULT_CHARSET;
  wcsncpy(lf.lfFaceName, face.c_str(), LF_FACESIZE - 1);
  HFONT font = CreateFontIndirectW(&lf);
  HGDIOBJ old = SelectObject(dc, font);
  WORD glyph = 0xFFFF;
  bool ok = GetGlyphIndicesW(dc, L"\x4FEE", 1, &glyph, GGI_MARK_NONEXISTING_GLYPHS) == 1 && glyph != 0xFFFF;
  SelectObject(dc, old);
  DeleteObject(font);
  return ok;
}

class GdiCache {
 public:
  ~GdiCache() {
    for (auto& entry : fonts_) DeleteObject(entry.second);
    for (auto& entry : brushes_) DeleteObject(entry.second);
  }

  HFONT Font(const TFont& font) {
    auto key = std::make_tuple(font.Name(), font.Height(), font.Bold(), font.Charset());
    auto it = fonts_.find(key);
    if (it != fonts_.end()) return it->second;
    LOGFONTW lf = {};
    // Negative: the character height, positive: the cell height, as GDI takes them.
    lf.lfHeight = font.Height() != 0 ? font.Height() : -12;
    lf.lfWeight = font.Bold() ? FW_BOLD : FW_NORMAL;
    lf.lfCharSet = font.Charset();
    lf.lfQuality = DEFAULT_QUALITY;
    std::wstring face = Face(font.Name());
    wcsncpy(lf.lfFaceName, face.c_str(), LF_FACESIZE - 1);
    HFONT handle = CreateFontIndirectW(&lf);
    fonts_[key] = handle;
    return handle;
  }

  HBRUSH Brush(TColor color) {
    COLORREF rgb = ToColorRef(color);
    auto it = brushes_.find(rgb);
    if (it != brushes_.end()) return it->second;
    return brushes_[rgb] = CreateSolidBrush(rgb);
  }

 private:
  // The named face when the system has it, otherwise one that draws Chinese: the texts
  // are Chinese and a face without the characters shows boxes.
  std::wstring Face(const std::string& name) {
    auto it = faces_.find(name);
    if (it != faces_.end()) return it->second;
    HDC dc = GetDC(nullptr);
    std::wstring wide = Widen(name);
    std::wstring face;
    if (!wide.empty() && !Families(dc, wide, DEFAULT_CHARSET).empty()) face = wide;
    if (face.empty()) face = ChineseFace(dc);
    ReleaseDC(nullptr, dc);
    return faces_[name] = face;
  }

  static std::wstring ChineseFace(HDC dc) {
    for (const wchar_t* candidate : {L"Microsoft YaHei", L"SimSun", L"NSimSun", L"WenQuanYi Micro Hei",
                                     L"Noto Sans CJK SC", L"Droid Sans Fallback", L"AR PL UMing CN"}) {
      if (!Families(dc, candidate, DEFAULT_CHARSET).empty() && DrawsChinese(dc, candidate)) return candidate;
    }
    for (const std::wstring& family : Families(dc, L"", GB2312_CHARSET)) {
      if (DrawsChinese(dc, family)) return family;
    }
    return L"MS Shell Dlg 2";
  }

  std::map<std::tuple<std::string, int, bool, uint8_t>, HFONT> fonts_;
  std::map<COLORREF, HBRUSH> brushes_;
  std::map<std::string, std::wstring> faces_;
};

// The lines of a text and the size they take in a font, for labels and dialogs.
SIZE TextExtent(HDC dc, const std::wstring& text) {
  SIZE total = {0, 0};
  TEXTMETRICW tm;
  GetTextMetricsW(dc, &tm);
  size_t start = 0;
  for (;;) {
    size_t end = text.find(L'\n', start);
    std::wstring line = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    SIZE size = {0, 0};
    if (!line.empty()) GetTextExtentPoint32W(dc, line.c_str(), static_cast<int>(line.size()), &size);
    total.cx = std::max(total.cx, size.cx);
    total.cy += tm.tmHeight;
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return total;
}

class TWin32Backend;
TWin32Backend* g_backend = nullptr;

// ---------------------------------------------------------------------------------------
// Peers. Every window of a peer carries the peer in its user data.

class Win32Peer : public TControlPeer {
 public:
  explicit Win32Peer(TControl* control) : control_(control) {}
  ~Win32Peer() override;

  HWND Hwnd() const { return hwnd_; }
  TControl* Control() const { return control_; }
  static Win32Peer* FromHwnd(HWND hwnd);

  void Create();
  void SyncAll() {
    for (TPeerChange what : {TPeerChange::Caption, TPeerChange::Font, TPeerChange::Color, TPeerChange::Enabled,
                             TPeerChange::Style, TPeerChange::Value, TPeerChange::TabOrder, TPeerChange::Bounds,
                             TPeerChange::Visible}) {
      Changed(what);
    }
  }

  void Changed(TPeerChange what) override {
    if (!hwnd_) return;
    switch (what) {
      case TPeerChange::Parent:
        if (!(Style() & WS_CHILD)) break;
        SetParent(hwnd_, ParentHwnd());
        SyncBounds();
        if (control_->Parent()) ReorderTabs(control_->Parent());
        break;
      case TPeerChange::Bounds:
        SyncBounds();
        break;
      case TPeerChange::Caption:
        SetWindowTextW(hwnd_, Widen(control_->Caption()).c_str());
        break;
      case TPeerChange::Font:
        SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(FontHandle()), TRUE);
        break;
      case TPeerChange::Enabled:
        EnableWindow(hwnd_, control_->Enabled() ? TRUE : FALSE);
        break;
      case TPeerChange::Visible:
        SyncVisible();
        break;
      case TPeerChange::TabOrder:
        if (auto* win = dynamic_cast<TWinControl*>(control_)) {
          LONG_PTR style = GetWindowLongPtrW(hwnd_, GWL_STYLE);
          style = win->TabStop() ? (style | WS_TABSTOP) : (style & ~static_cast<LONG_PTR>(WS_TABSTOP));
          SetWindowLongPtrW(hwnd_, GWL_STYLE, style);
          if (win->Parent()) ReorderTabs(win->Parent());
        }
        break;
      default:
        break;
    }
    Synced(what);
    if (what == TPeerChange::Color || what == TPeerChange::Font || what == TPeerChange::Style) {
      // Labels take their colours from the window they lie on: repaint the children too.
      RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    }
  }

  HFONT FontHandle() const;

 protected:
  virtual const wchar_t* WindowClass() const = 0;
  virtual DWORD Style() const { return WS_CHILD | WS_CLIPSIBLINGS; }
  virtual DWORD ExStyle() const { return 0; }
  virtual void Synced(TPeerChange) {}

  virtual void SyncVisible() { ShowWindow(hwnd_, control_->Visible() ? SW_SHOWNA : SW_HIDE); }

  virtual void SyncBounds() {
    SetWindowPos(hwnd_, nullptr, control_->Left(), control_->Top(), control_->Width(), control_->Height(),
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }

  HWND ParentHwnd() const;

  // The dialog manager moves the focus in the order of the children: that is the tab
  // order of the windowed controls.
  static void ReorderTabs(TWinControl* parent) {
    HWND after = HWND_TOP;
    for (TWinControl* c : parent->TabList()) {
      auto* peer = static_cast<Win32Peer*>(c->Peer());
      if (!peer || !peer->hwnd_ || GetParent(peer->hwnd_) == nullptr) continue;
      SetWindowPos(peer->hwnd_, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      after = peer->hwnd_;
    }
  }

  TControl* control_;
  HWND hwnd_ = nullptr;
};

class TWin32Backend : public TGuiBackend {
 public:
  TWin32Backend(HWND parking) : parking_(parking) { g_backend = this; }

  ~TWin32Backend() override {
    DestroyWindow(parking_);
    g_backend = nullptr;
  }

  bool IsConsole() const override { return false; }
  std::unique_ptr<TControlPeer> CreatePeer(TControl* control) override;

  void MeasureText(const TFont& font, const std::string& text, int& width, int& height) override {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, gdi.Font(font));
    SIZE size = TextExtent(dc, Widen(text));
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    width = size.cx;
    height = size.cy;
  }

  void ShowMessage(const std::string& title, const std::string& text) override {
    Box(title, text, MB_OK);
  }
  void ShowError(const std::string& title, const std::string& text) override {
    Box(title, text, MB_OK | MB_ICONERROR);
  }
  int ShowDialog(const TMsgDlgParams& params, const std::string& title) override;

  void Flush() override {
    for (HWND form : forms) {
      if (IsWindowVisible(form)) RedrawWindow(form, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    }
  }

  HWND Parking() const { return parking_; }
  // The form a box belongs to: the active one of ours, else the main form when shown.
  HWND Owner() const {
    HWND active = GetActiveWindow();
    if (active && (forms.count(active) || std::count(dialogs.begin(), dialogs.end(), active))) return active;
    if (Application && Application->MainForm() && Application->MainForm()->Peer()) {
      HWND main = static_cast<Win32Peer*>(Application->MainForm()->Peer())->Hwnd();
      if (IsWindowVisible(main)) return main;
    }
    return nullptr;
  }

  GdiCache gdi;
  std::set<HWND> forms;
  std::vector<HWND> dialogs;  // the message dialogs open now, innermost last
  int nextChildId = kFirstChildId;

 private:
  void Box(const std::string& title, const std::string& text, UINT flags) {
    HWND owner = Owner();
    MessageBoxW(owner, Widen(text).c_str(), Widen(title).c_str(), flags | (owner ? 0 : MB_TASKMODAL));
  }

  HWND parking_;
};

Win32Peer::~Win32Peer() {
  if (!hwnd_) return;
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
  // Windows placed on this one belong to their own peers.
  if (g_backend) {
    g_backend->forms.erase(hwnd_);
    for (HWND child = GetWindow(hwnd_, GW_CHILD); child;) {
      HWND next = GetWindow(child, GW_HWNDNEXT);
      if (FromHwnd(child)) SetParent(child, g_backend->Parking());
      child = next;
    }
  }
  DestroyWindow(hwnd_);
}

Win32Peer* Win32Peer::FromHwnd(HWND hwnd) {
  return hwnd ? reinterpret_cast<Win32Peer*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)) : nullptr;
}

HWND Win32Peer::ParentHwnd() const {
  TWinControl* parent = control_->Parent();
  if (parent && parent->Peer()) return static_cast<Win32Peer*>(parent->Peer())->hwnd_;
  return g_backend->Parking();
}

HFONT Win32Peer::FontHandle() const { return g_backend->gdi.Font(*control_->Font()); }

void Win32Peer::Create() {
  bool child = (Style() & WS_CHILD) != 0;
  HMENU id = child ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(g_backend->nextChildId++)) : nullptr;
  hwnd_ = CreateWindowExW(ExStyle(), WindowClass(), L"", Style(), 0, 0, 0, 0, child ? ParentHwnd() : nullptr, id,
                          GetModuleHandleW(nullptr), nullptr);
  if (!hwnd_) throw EInvalidOperation("Cannot create a window for " + control_->Name);
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

// What a window that holds controls does for them: their clicks, the label colours and
// the default button for Enter.
bool HandleContainerMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  switch (msg) {
    case WM_COMMAND: {
      Win32Peer* peer = Win32Peer::FromHwnd(reinterpret_cast<HWND>(lParam));
      if (peer && HIWORD(wParam) == BN_CLICKED) {
        if (auto* button = dynamic_cast<TButton*>(peer->Control())) {
          RunHandler(button, [button] { button->Click(); });
        }
      }
      result = 0;
      return true;
    }
    case WM_CTLCOLORSTATIC: {
      Win32Peer* self = Win32Peer::FromHwnd(hwnd);
      Win32Peer* peer = Win32Peer::FromHwnd(reinterpret_cast<HWND>(lParam));
      if (!self || !peer) return false;
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, ToColorRef(peer->Control()->Font()->Color()));
      SetBkMode(dc, TRANSPARENT);
      result = reinterpret_cast<LRESULT>(g_backend->gdi.Brush(self->Control()->Color()));
      return true;
    }
    case DM_GETDEFID: {
      Win32Peer* self = Win32Peer::FromHwnd(hwnd);
      auto* win = self ? dynamic_cast<TWinControl*>(self->Control()) : nullptr;
      result = 0;
      if (!win) return true;
      for (int i = 0; i < win->ControlCount(); ++i) {
        auto* button = dynamic_cast<TButton*>(win->Controls(i));
        if (button && button->Default() && button->Peer()) {
          HWND b = static_cast<Win32Peer*>(button->Peer())->Hwnd();
          result = MAKELRESULT(GetDlgCtrlID(b), DC_HASDEFID);
          break;
        }
      }
      return true;
    }
    case WM_ERASEBKGND: {
      Win32Peer* self = Win32Peer::FromHwnd(hwnd);
      if (!self) return false;
      RECT r;
      GetClientRect(hwnd, &r);
      FillRect(reinterpret_cast<HDC>(wParam), &r, g_backend->gdi.Brush(self->Control()->Color()));
      result = 1;
      return true;
    }
    default:
      return false;
  }
}

class FormPeer : public Win32Peer {
 public:
  explicit FormPeer(TForm* form) : Win32Peer(form), form_(form) {}

  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    try {
      if (HandleContainerMessage(hwnd, msg, wParam, lParam, result)) return result;
      auto* self = static_cast<FormPeer*>(FromHwnd(hwnd));
      if (self && msg == WM_CLOSE) {
        TForm* form = self->form_;
        RunHandler(form, [form] { form->Close(); });
        return 0;
      }
      if (self && msg == WM_ACTIVATE && self->Activated(LOWORD(wParam) != WA_INACTIVE)) return 0;
      if (self && (msg == WM_MOVE || msg == WM_SIZE)) self->TakeBounds();
    } catch (...) {
      // Nothing may unwind through the system's dispatching.
      if (Application) Application->HandleException(nullptr);
      return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
  }

 protected:
  const wchar_t* WindowClass() const override { return kFormClass; }

  DWORD Style() const override {
    switch (form_->BorderStyle()) {
      case bsNone: return WS_POPUP | WS_CLIPCHILDREN;
      case bsSingle: return WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
      case bsDialog: return WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
      case bsSizeable: break;
    }
    return WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  }

  DWORD ExStyle() const override {
    return WS_EX_CONTROLPARENT | (form_->BorderStyle() == bsDialog ? WS_EX_DLGMODALFRAME : 0);
  }

  void SyncVisible() override {
    if (!form_->Visible()) {
      ShowWindow(hwnd_, SW_HIDE);
      return;
    }
    if (form_->Position() == poScreenCenter) {
      RECT frame = Frame();
      int w = frame.right - frame.left, h = frame.bottom - frame.top;
      RECT work;
      SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
      // The form knows where it went: a later change of its size keeps the place.
      form_->SetBounds(work.left + (work.right - work.left - w) / 2, work.top + (work.bottom - work.top - h) / 2,
                       form_->Width(), form_->Height());
    }
    SyncBounds();
    placing_ = true;
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    placing_ = false;
    SetForegroundWindow(hwnd_);
    // The first focus goes where Tab would take it.
    HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE);
    if (first) SetFocus(first);
    UpdateWindow(hwnd_);
  }

  // Left and Top place the frame, Width and Height are the client area.
  RECT Frame() const {
    RECT r = {0, 0, form_->Width(), form_->Height()};
    AdjustWindowRectEx(&r, Style(), FALSE, ExStyle());
    return r;
  }

  void SyncBounds() override {
    RECT r = Frame();
    placing_ = true;
    SetWindowPos(hwnd_, nullptr, form_->Left(), form_->Top(), r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    placing_ = false;
  }

  void Synced(TPeerChange what) override {
    if (what != TPeerChange::Style) return;
    SetWindowLongPtrW(hwnd_, GWL_STYLE, (GetWindowLongPtrW(hwnd_, GWL_STYLE) & WS_VISIBLE) | Style());
    SetWindowLongPtrW(hwnd_, GWL_EXSTYLE, ExStyle());
    SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    SyncBounds();
  }

 private:
  // The focus leaves with the activation (a message box, another program) and comes back
  // to the control that had it, as in a dialog. True when the focus was placed here.
  bool Activated(bool active) {
    if (!active) {
      HWND focus = GetFocus();
      if (focus && IsChild(hwnd_, focus)) focus_ = focus;
      return false;
    }
    HWND target = focus_ && IsChild(hwnd_, focus_) ? focus_ : GetNextDlgTabItem(hwnd_, nullptr, FALSE);
    if (!target) return false;
    SetFocus(target);
    return true;
  }

  // The user moved or sized the window: the form follows, and lays its controls out again.
  void TakeBounds() {
    if (placing_ || IsIconic(hwnd_) || !IsWindowVisible(hwnd_)) return;
    RECT frame, client;
    GetWindowRect(hwnd_, &frame);
    GetClientRect(hwnd_, &client);
    form_->SetBounds(frame.left, frame.top, client.right, client.bottom);
  }

  TForm* form_;
  HWND focus_ = nullptr;
  bool placing_ = false;
};

class LabelPeer : public Win32Peer {
 public:
  using Win32Peer::Win32Peer;

 protected:
  const wchar_t* WindowClass() const override { return L"STATIC"; }
  // Texts come from files and servers: '&' is a character; no wrapping, as measured.
  DWORD Style() const override { return Win32Peer::Style() | SS_LEFTNOWORDWRAP | SS_NOPREFIX; }
};

class ButtonPeer : public Win32Peer {
 public:
  explicit ButtonPeer(TButton* button) : Win32Peer(button), button_(button) {}

 protected:
  const wchar_t* WindowClass() const override { return L"BUTTON"; }
  DWORD Style() const override { return Win32Peer::Style() | BS_PUSHBUTTON; }
  void Synced(TPeerChange what) override {
    if (what == TPeerChange::Style) {
      SendMessageW(hwnd_, BM_SETSTYLE, button_->Default() ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
    }
  }

 private:
  TButton* button_;
};

class ProgressPeer : public Win32Peer {
 public:
  explicit ProgressPeer(TProgressBar* bar) : Win32Peer(bar), bar_(bar) {}

 protected:
  const wchar_t* WindowClass() const override { return PROGRESS_CLASSW; }
  void Synced(TPeerChange what) override {
    if (what != TPeerChange::Value) return;
    SendMessageW(hwnd_, PBM_SETRANGE32, static_cast<WPARAM>(bar_->Min()), static_cast<LPARAM>(bar_->Max()));
    SendMessageW(hwnd_, PBM_SETPOS, static_cast<WPARAM>(bar_->Position()), 0);
  }

 private:
  TProgressBar* bar_;
};

class PanelPeer : public Win32Peer {
 public:
  explicit PanelPeer(TCustomPanel* panel) : Win32Peer(panel), panel_(panel) {}

  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    try {
      if (HandleContainerMessage(hwnd, msg, wParam, lParam, result)) return result;
      auto* self = dynamic_cast<PanelPeer*>(FromHwnd(hwnd));
      if (self && msg == WM_PAINT) {
        self->Paint();
        return 0;
      }
    } catch (...) {
      if (Application) Application->HandleException(nullptr);
      return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
  }

 protected:
  const wchar_t* WindowClass() const override { return kPanelClass; }
  DWORD Style() const override { return Win32Peer::Style() | WS_CLIPCHILDREN; }
  DWORD ExStyle() const override { return WS_EX_CONTROLPARENT; }
  void Synced(TPeerChange what) override {
    if (what == TPeerChange::Caption) InvalidateRect(hwnd_, nullptr, TRUE);
  }

 private:
  static UINT Edge(TBevelCut cut, bool outer) {
    switch (cut) {
      case bvLowered: return outer ? BDR_SUNKENOUTER : BDR_SUNKENINNER;
      case bvRaised: return outer ? BDR_RAISEDOUTER : BDR_RAISEDINNER;
      default: return 0;
    }
  }

  void Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    RECT r;
    GetClientRect(hwnd_, &r);
    if (UINT outer = Edge(panel_->BevelOuter(), true)) {
      DrawEdge(dc, &r, outer, BF_RECT | BF_ADJUST);
    }
    if (UINT inner = Edge(panel_->BevelInner(), false)) {
      DrawEdge(dc, &r, inner, BF_RECT | BF_ADJUST);
    }
    std::wstring caption = Widen(panel_->Caption());
    if (!caption.empty()) {
      HGDIOBJ old = SelectObject(dc, FontHandle());
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, ToColorRef(panel_->Font()->Color()));
      DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &r,
                DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
      SelectObject(dc, old);
    }
    EndPaint(hwnd_, &ps);
  }

  TCustomPanel* panel_;
};

class ShapePeer : public Win32Peer {
 public:
  explicit ShapePeer(TShape* shape) : Win32Peer(shape), shape_(shape) {}

  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<ShapePeer*>(FromHwnd(hwnd));
    if (self && msg == WM_PAINT) {
      self->Paint();
      return 0;
    }
    // The shape covers its whole rectangle or leaves it to the window below.
    if (msg == WM_ERASEBKGND) return 1;
    // A shape takes no clicks: they go to the window below.
    if (msg == WM_NCHITTEST) return HTTRANSPARENT;
    return DefWindowProcW(hwnd, msg, wParam, lParam);
  }

 protected:
  const wchar_t* WindowClass() const override { return kShapeClass; }

 private:
  void Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    RECT r;
    GetClientRect(hwnd_, &r);
    const TBrush& brush = *shape_->Brush();
    const TPen& pen = *shape_->Pen();
    bool outline = pen.Style() != psClear && pen.Width() > 0;
    if (brush.Style() == bsClear || shape_->Shape() == stEllipse) {
      // What lies under the shape shows where it does not paint.
      TWinControl* parent = shape_->Parent();
      FillRect(dc, &r, g_backend->gdi.Brush(parent ? parent->Color() : clBtnFace));
    }
    HPEN hpen = outline ? CreatePen(PS_INSIDEFRAME, pen.Width(), ToColorRef(pen.Color())) : nullptr;
    HGDIOBJ oldPen = SelectObject(dc, hpen ? static_cast<HGDIOBJ>(hpen) : GetStockObject(NULL_PEN));
    HGDIOBJ oldBrush = SelectObject(dc, brush.Style() == bsSolid ? static_cast<HGDIOBJ>(g_backend->gdi.Brush(brush.Color()))
                                                                 : GetStockObject(NULL_BRUSH));
    if (shape_->Shape() == stEllipse) {
      Ellipse(dc, r.left, r.top, r.right + (outline ? 0 : 1), r.bottom + (outline ? 0 : 1));
    } else if (outline) {
      Rectangle(dc, r.left, r.top, r.right, r.bottom);
    } else if (brush.Style() == bsSolid) {
      FillRect(dc, &r, g_backend->gdi.Brush(brush.Color()));
    }
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    if (hpen) DeleteObject(hpen);
    EndPaint(hwnd_, &ps);
  }

  TShape* shape_;
};

// A control kind this backend does not draw: a plain area of the parent's colour.
class PlainPeer : public Win32Peer {
 public:
  using Win32Peer::Win32Peer;

 protected:
  const wchar_t* WindowClass() const override { return kPanelClass; }
};

std::unique_ptr<TControlPeer> TWin32Backend::CreatePeer(TControl* control) {
  std::unique_ptr<Win32Peer> peer;
  if (auto* form = dynamic_cast<TForm*>(control)) {
    peer = std::make_unique<FormPeer>(form);
  } else if (auto* label = dynamic_cast<TLabel*>(control)) {
    peer = std::make_unique<LabelPeer>(label);
  } else if (auto* button = dynamic_cast<TButton*>(control)) {
    peer = std::make_unique<ButtonPeer>(button);
  } else if (auto* bar = dynamic_cast<TProgressBar*>(control)) {
    peer = std::make_unique<ProgressPeer>(bar);
  } else if (auto* panel = dynamic_cast<TCustomPanel*>(control)) {
    peer = std::make_unique<PanelPeer>(panel);
  } else if (auto* shape = dynamic_cast<TShape*>(control)) {
    peer = std::make_unique<ShapePeer>(shape);
  } else {
    peer = std::make_unique<PlainPeer>(control);
  }
  peer->Create();
  if (dynamic_cast<TForm*>(control)) forms.insert(peer->Hwnd());
  peer->SyncAll();
  return peer;
}

// ---------------------------------------------------------------------------------------
// The message dialog: a window made at run time with the caller's buttons.

struct DialogState {
  const std::vector<TMsgDlgButton>* buttons = nullptr;
  int defaultIndex = 0;
  int closeResult = mrCancel;
  int result = mrNone;
  bool done = false;
};

constexpr int kDialogButtonId = 100;

LRESULT CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!state) return DefWindowProcW(hwnd, msg, wParam, lParam);
  const int count = static_cast<int>(state->buttons->size());
  switch (msg) {
    case WM_COMMAND: {
      int id = LOWORD(wParam);
      if (id >= kDialogButtonId && id < kDialogButtonId + count && HIWORD(wParam) == BN_CLICKED) {
        state->result = (*state->buttons)[id - kDialogButtonId].Result;
        state->done = true;
      } else if (id == IDCANCEL && count == 1) {
        // Escape answers a box that has only one answer.
        state->result = state->buttons->front().Result;
        state->done = true;
      }
      return 0;
    }
    case DM_GETDEFID:
      return MAKELRESULT(kDialogButtonId + state->defaultIndex, DC_HASDEFID);
    case WM_CLOSE:
      state->result = state->closeResult;
      state->done = true;
      return 0;
    case WM_CTLCOLORSTATIC:
      SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    default:
      return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

const wchar_t* DialogIcon(TMsgDlgType type) {
  switch (type) {
    case mtWarning: return MAKEINTRESOURCEW(32515);      // exclamation
    case mtError: return MAKEINTRESOURCEW(32513);        // hand
    case mtInformation: return MAKEINTRESOURCEW(32516);  // asterisk
    case mtConfirmation: return MAKEINTRESOURCEW(32514); // question
    case mtCustom: break;
  }
  return nullptr;
}

int TWin32Backend::ShowDialog(const TMsgDlgParams& params, const std::string& title) {
  constexpr int kMargin = 16, kIcon = 32, kGap = 12, kButtonHeight = 25, kButtonGap = 8, kMinButton = 75;
  TFont font;  // the forms' default: 宋体, 12 pixels, or the Chinese face standing in for it
  HFONT hfont = gdi.Font(font);
  const std::vector<TMsgDlgButton>& buttons = params.Buttons;

  HDC dc = GetDC(nullptr);
  HGDIOBJ oldFont = SelectObject(dc, hfont);
  std::wstring text = Widen(params.Text);
  RECT textRect = {0, 0, std::max(200, std::min(480, GetSystemMetrics(SM_CXSCREEN) - 120)), 0};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &textRect,
            DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX);
  std::vector<int> widths;
  int buttonsW = 0;
  for (const TMsgDlgButton& b : buttons) {
    std::wstring caption = Widen(StripMnemonic(b.Caption));
    SIZE size = TextExtent(dc, caption);
    widths.push_back(std::max<int>(kMinButton, size.cx + 24));
    buttonsW += widths.back();
  }
  SelectObject(dc, oldFont);
  ReleaseDC(nullptr, dc);
  buttonsW += kButtonGap * static_cast<int>(buttons.size() - 1);

  const wchar_t* iconId = DialogIcon(params.Type);
  int textW = textRect.right - textRect.left, textH = textRect.bottom - textRect.top;
  int textX = kMargin + (iconId ? kIcon + kGap : 0);
  int contentH = std::max(textH, iconId ? kIcon : 24);
  int width = std::max({textX + textW + kMargin, buttonsW + 2 * kMargin, 220});
  int height = kMargin + contentH + kGap + kButtonHeight + kMargin;

  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
  RECT frame = {0, 0, width, height};
  AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  int fw = frame.right - frame.left, fh = frame.bottom - frame.top;
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  HWND owner = Owner();
  HWND dialog = CreateWindowExW(exStyle, kDialogClass, Widen(title).c_str(), style,
                                work.left + (work.right - work.left - fw) / 2, work.top + (work.bottom - work.top - fh) / 2,
                                fw, fh, owner, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!dialog) throw EInvalidOperation("Cannot create the message dialog");
  HINSTANCE instance = GetModuleHandleW(nullptr);
  auto child = [&](const wchar_t* cls, const std::wstring& caption, DWORD childStyle, int x, int y, int w, int h,
                   int id) {
    HWND c = CreateWindowExW(0, cls, caption.c_str(), WS_CHILD | WS_VISIBLE | childStyle, x, y, w, h, dialog,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(hfont), FALSE);
    return c;
  };
  if (iconId) {
    HWND icon = child(L"STATIC", L"", SS_ICON, kMargin, kMargin + (contentH - kIcon) / 2, kIcon, kIcon, -1);
    SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconW(nullptr, iconId)), 0);
  }
  child(L"STATIC", text, SS_LEFT | SS_NOPREFIX | SS_EDITCONTROL, textX, kMargin + (contentH - textH) / 2, textW, textH,
        -1);
  int x = (width - buttonsW) / 2;
  HWND defaultButton = nullptr;
  for (size_t i = 0; i < buttons.size(); ++i) {
    bool isDefault = static_cast<int>(i) == params.DefaultButton;
    HWND b = child(L"BUTTON", Widen(buttons[i].Caption), WS_TABSTOP | (isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON), x,
                   height - kMargin - kButtonHeight, widths[i], kButtonHeight, kDialogButtonId + static_cast<int>(i));
    if (isDefault) defaultButton = b;
    x += widths[i] + kButtonGap;
  }

  DialogState state;
  state.buttons = &buttons;
  state.defaultIndex = params.DefaultButton;
  state.closeResult = params.CloseResult;
  SetWindowLongPtrW(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));

  // Modal: the forms and the dialogs below this one take no input while it is up.
  std::vector<HWND> disabled;
  std::vector<HWND> below(forms.begin(), forms.end());
  below.insert(below.end(), dialogs.begin(), dialogs.end());
  for (HWND window : below) {
    if (IsWindowEnabled(window)) {
      EnableWindow(window, FALSE);
      disabled.push_back(window);
    }
  }
  dialogs.push_back(dialog);
  ShowWindow(dialog, SW_SHOWNORMAL);
  SetForegroundWindow(dialog);
  if (defaultButton) SetFocus(defaultButton);
  UpdateWindow(dialog);

  // Also when an error escapes the loop: the windows must not stay disabled.
  struct Cleanup {
    TWin32Backend* self;
    HWND dialog;
    const std::vector<HWND>& disabled;
    ~Cleanup() {
      auto& open = self->dialogs;
      open.erase(std::remove(open.begin(), open.end(), dialog), open.end());
      // Enabled again before the dialog goes, so the activation returns to the form.
      for (HWND window : disabled) {
        if (IsWindow(window)) EnableWindow(window, TRUE);
      }
      SetWindowLongPtrW(dialog, GWLP_USERDATA, 0);
      DestroyWindow(dialog);
    }
  } cleanup{this, dialog, disabled};
  if (!Application->ModalLoop([&state] { return state.done; })) state.result = buttons[params.SafeButton].Result;
  return state.result;
}

void RegisterClasses() {
  auto add = [](const wchar_t* name, WNDPROC proc, HCURSOR cursor) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = cursor;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = name;
    RegisterClassExW(&wc);
  };
  HCURSOR arrow = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  add(kFormClass, &FormPeer::Proc, arrow);
  add(kPanelClass, &PanelPeer::Proc, arrow);
  add(kShapeClass, &ShapePeer::Proc, arrow);
  add(kDialogClass, &DialogProc, arrow);
}

}  // namespace

std::unique_ptr<TGuiBackend> CreateWin32Backend() {
  static const bool registered = [] {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    RegisterClasses();
    return true;
  }();
  (void)registered;
  // Without a desktop to draw on (Wine without a display) only message-only windows can
  // be made: a hidden top-level window is the test. It stays as the place for controls
  // that have no parent.
  // A window station nobody sees (a service) has no desktop to draw on either.
  USEROBJECTFLAGS station = {};
  if (GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &station, sizeof station, nullptr) &&
      !(station.dwFlags & WSF_VISIBLE)) {
    return nullptr;
  }
  HWND parking = CreateWindowExW(WS_EX_TOOLWINDOW, kPanelClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
  if (!parking) return nullptr;
  return std::make_unique<TWin32Backend>(parking);
}
