// The FLTK backend (X11). FLTK never runs its own loop here: the platform loop polls the
// X connection together with everything else, and a posted message lets FLTK handle
// its events, so its callbacks - and our handlers - run from DispatchMessage like any
// other code, and timers, sockets and posted messages keep flowing while windows and
// our own modal dialogs are open.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Progress.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>

#include "base/sysutils.h"
#include "gui/application.h"
#include "gui/backend.h"
#include "gui/button.h"
#include "gui/form.h"
#include "gui/label.h"
#include "gui/panel.h"
#include "gui/progressbar.h"
#include "gui/shape.h"
#include "platform/messages.h"

namespace {

constexpr platform::UINT WM_FLTK_PUMP = platform::WM_USER + 1;
// FLTK's own timeouts (tooltips, cursor blink) need the loop to wake now and then.
constexpr int kPumpIntervalMs = 50;

Fl_Color ToFl(TColor color) {
  TRGB rgb = ColorToRGB(color);
  return fl_rgb_color(rgb.r, rgb.g, rgb.b);
}

Fl_Font ToFlFont(const TFont& font) { return font.Bold() ? FL_HELVETICA_BOLD : FL_HELVETICA; }

// Texts come from files and servers: '@' is a character, not a symbol code.
void DrawPlainLabel(const Fl_Label* label, int x, int y, int w, int h, Fl_Align align) {
  fl_font(label->font, label->size);
  fl_color(label->color);
  fl_draw(label->value, x, y, w, h, align, label->image, 0);
}

void MeasurePlainLabel(const Fl_Label* label, int& w, int& h) {
  fl_font(label->font, label->size);
  fl_measure(label->value, w, h, 0);
}

// FLTK draws a string with one font and has no fallback per character: the standard
// face must be a font that covers Chinese.
std::string FindCjkFamily() {
  std::string family;
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(":lang=zh-cn"));
  if (!pattern) return family;
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  if (match) {
    FcChar8* name = nullptr;
    FcCharSet* charset = nullptr;
    bool covers = FcPatternGetCharSet(match, FC_CHARSET, 0, &charset) == FcResultMatch &&
                  FcCharSetHasChar(charset, 0x4FEE);  // 修
    if (covers && FcPatternGetString(match, FC_FAMILY, 0, &name) == FcResultMatch) {
      family = reinterpret_cast<const char*>(name);
    }
    FcPatternDestroy(match);
  }
  FcPatternDestroy(pattern);
  return family;
}

// FLTK marks a UTF-8 title as Latin-1 in WM_NAME; tools that look windows up by name
// need it as UTF-8.
void SetUtf8Title(Fl_Window* window, const std::string& title) {
  Window xid = fl_xid(window);
  if (!xid) return;
  Atom utf8 = XInternAtom(fl_display, "UTF8_STRING", False);
  Atom netName = XInternAtom(fl_display, "_NET_WM_NAME", False);
  auto data = reinterpret_cast<const unsigned char*>(title.data());
  int size = static_cast<int>(title.size());
  XChangeProperty(fl_display, xid, XA_WM_NAME, utf8, 8, PropModeReplace, data, size);
  XChangeProperty(fl_display, xid, netName, utf8, 8, PropModeReplace, data, size);
}

// Breaks a text into lines no wider than maxWidth in the current font. Chinese has no
// blanks to break at, so any character boundary will do; a blank is preferred.
std::string WrapText(const std::string& text, int maxWidth) {
  std::string out, line;
  size_t lastBlank = std::string::npos;
  size_t i = 0;
  while (i < text.size()) {
    size_t len = 1;
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0xF0) len = 4;
    else if (c >= 0xE0) len = 3;
    else if (c >= 0xC0) len = 2;
    std::string ch = text.substr(i, len);
    i += len;
    if (ch == "\n") {
      out += line + "\n";
      line.clear();
      lastBlank = std::string::npos;
      continue;
    }
    if (!line.empty() && fl_width((line + ch).c_str()) > maxWidth) {
      if (lastBlank != std::string::npos && ch != " ") {
        out += line.substr(0, lastBlank) + "\n";
        line = line.substr(lastBlank + 1);
      } else {
        out += line + "\n";
        line.clear();
      }
      lastBlank = std::string::npos;
      if (ch == " ") continue;
    }
    if (ch == " ") lastBlank = line.size();
    line += ch;
  }
  return out + line;
}

// Position of a control inside its window: FLTK places every widget relative to the
// window, not to its group.
void WindowOrigin(TControl* control, int& x, int& y) {
  x = y = 0;
  for (TControl* c = control; c && !dynamic_cast<TForm*>(c); c = c->Parent()) {
    x += c->Left();
    y += c->Top();
  }
}

// ---------------------------------------------------------------------------------------
// Widgets.

class FormWindow : public Fl_Double_Window {
 public:
  FormWindow() : Fl_Double_Window(0, 0, 100, 100) {}
};

class ButtonWidget : public Fl_Button {
 public:
  ButtonWidget() : Fl_Button(0, 0, 10, 10) {}
  bool isDefault = false;

  int handle(int event) override {
    if (isDefault && (event == FL_KEYBOARD || event == FL_SHORTCUT) &&
        (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter) && active_r() && visible_r()) {
      do_callback();
      return 1;
    }
    return Fl_Button::handle(event);
  }
};

class ShapeWidget : public Fl_Widget {
 public:
  explicit ShapeWidget(TShape* shape) : Fl_Widget(0, 0, 10, 10), shape_(shape) {}

  void draw() override {
    const TBrush& brush = *shape_->Brush();
    const TPen& pen = *shape_->Pen();
    bool outline = pen.Style() != psClear && pen.Width() > 0;
    if (shape_->Shape() == stEllipse) {
      if (brush.Style() == bsSolid) {
        fl_color(ToFl(brush.Color()));
        fl_pie(x(), y(), w(), h(), 0, 360);
      }
      if (outline) {
        fl_color(ToFl(pen.Color()));
        fl_line_style(FL_SOLID, pen.Width());
        fl_arc(x(), y(), w(), h(), 0, 360);
        fl_line_style(0);
      }
      return;
    }
    if (brush.Style() == bsSolid) {
      fl_color(ToFl(brush.Color()));
      fl_rectf(x(), y(), w(), h());
    }
    if (outline) {
      fl_color(ToFl(pen.Color()));
      for (int i = 0; i < pen.Width() && 2 * i < std::min(w(), h()); ++i) {
        fl_rect(x() + i, y() + i, w() - 2 * i, h() - 2 * i);
      }
    }
  }

 private:
  TShape* shape_;
};

class IconWidget : public Fl_Widget {
 public:
  IconWidget(int x, int y, int size, TMsgDlgType type) : Fl_Widget(x, y, size, size), type_(type) {}

  void draw() override {
    int s = w();
    switch (type_) {
      case mtError:
        fl_color(fl_rgb_color(200, 30, 30));
        fl_pie(x(), y(), s, s, 0, 360);
        fl_color(FL_WHITE);
        fl_line_style(FL_SOLID | FL_CAP_ROUND, 3);
        fl_line(x() + s / 3, y() + s / 3, x() + 2 * s / 3, y() + 2 * s / 3);
        fl_line(x() + 2 * s / 3, y() + s / 3, x() + s / 3, y() + 2 * s / 3);
        fl_line_style(0);
        break;
      case mtWarning:
        fl_color(fl_rgb_color(250, 200, 20));
        fl_polygon(x() + s / 2, y() + 1, x() + s - 1, y() + s - 2, x() + 1, y() + s - 2);
        fl_color(FL_BLACK);
        fl_loop(x() + s / 2, y() + 1, x() + s - 1, y() + s - 2, x() + 1, y() + s - 2);
        Glyph("!");
        break;
      case mtInformation:
      case mtConfirmation:
        fl_color(fl_rgb_color(30, 90, 200));
        fl_pie(x(), y(), s, s, 0, 360);
        fl_color(FL_WHITE);
        Glyph(type_ == mtInformation ? "i" : "?");
        break;
      case mtCustom:
        break;
    }
  }

 private:
  void Glyph(const char* text) {
    fl_font(FL_HELVETICA_BOLD, w() * 2 / 3);
    fl_draw(text, x(), y() + 2, w(), h(), FL_ALIGN_CENTER, nullptr, 0);
  }
  TMsgDlgType type_;
};

// ---------------------------------------------------------------------------------------
// Peers.

class FltkPeer : public TControlPeer {
 public:
  FltkPeer(TControl* control, Fl_Widget* widget) : control_(control), widget_(widget) {}

  ~FltkPeer() override {
    if (Fl_Group* parent = widget_->parent()) parent->remove(widget_);
    // The widgets placed on this one belong to their own peers.
    if (Fl_Group* group = widget_->as_group()) {
      while (group->children() > 0) group->remove(group->child(0));
    }
    delete widget_;
  }

  Fl_Widget* Widget() const { return widget_; }

  void SyncAll() {
    for (TPeerChange what : {TPeerChange::Parent, TPeerChange::Caption, TPeerChange::Font, TPeerChange::Color,
                             TPeerChange::Enabled, TPeerChange::Visible, TPeerChange::Style,
                             TPeerChange::Value, TPeerChange::TabOrder, TPeerChange::Bounds}) {
      Changed(what);
    }
  }

  void Changed(TPeerChange what) override {
    switch (what) {
      case TPeerChange::Parent:
        SyncParent();
        break;
      case TPeerChange::Bounds:
        SyncBounds();
        break;
      case TPeerChange::Caption:
        widget_->copy_label(LabelText().c_str());
        break;
      case TPeerChange::Font:
        widget_->labelfont(ToFlFont(*control_->Font()));
        widget_->labelsize(control_->Font()->PixelSize());
        widget_->labelcolor(ToFl(control_->Font()->Color()));
        break;
      case TPeerChange::Color:
        widget_->color(ToFl(control_->Color()));
        break;
      case TPeerChange::Enabled:
        if (control_->Enabled()) {
          widget_->activate();
        } else {
          widget_->deactivate();
        }
        break;
      case TPeerChange::Visible:
        SyncVisible();
        break;
      case TPeerChange::TabOrder:
        if (auto* win = dynamic_cast<TWinControl*>(control_)) {
          widget_->visible_focus(win->TabStop() ? 1 : 0);
          if (win->Parent()) ReorderChildren(win->Parent());
        }
        break;
      default:
        break;
    }
    Synced(what);
    Damage();
  }

 protected:
  virtual std::string LabelText() const { return std::string(); }
  virtual void Synced(TPeerChange) {}
  virtual void SyncVisible() {
    if (control_->Visible()) {
      widget_->show();
    } else {
      widget_->hide();
    }
  }

  void Damage() {
    // Labels and shapes have no background of their own: the window repaints them.
    if (Fl_Window* window = widget_->window()) {
      window->redraw();
    } else {
      widget_->redraw();
    }
  }

  void SyncParent() {
    TWinControl* parent = control_->Parent();
    Fl_Group* target = nullptr;
    if (parent && parent->Peer()) target = static_cast<FltkPeer*>(parent->Peer())->widget_->as_group();
    if (widget_->parent() != target) {
      if (widget_->parent()) widget_->parent()->remove(widget_);
      if (target) target->add(widget_);
    }
    if (target) {
      ReorderChildren(parent);
      SyncBounds();
    }
  }

  virtual void SyncBounds() {
    int x, y;
    WindowOrigin(control_, x, y);
    widget_->resize(x, y, control_->Width(), control_->Height());
    if (auto* win = dynamic_cast<TWinControl*>(control_)) {
      for (int i = 0; i < win->ControlCount(); ++i) {
        if (auto* child = static_cast<FltkPeer*>(win->Controls(i)->Peer())) child->SyncBounds();
      }
    }
  }

  // Windowed controls lie above the others and take the focus in tab order.
  static void ReorderChildren(TWinControl* parent) {
    if (!parent->Peer()) return;
    Fl_Group* group = static_cast<FltkPeer*>(parent->Peer())->widget_->as_group();
    if (!group) return;
    auto moveToEnd = [group](TControl* c) {
      auto* peer = static_cast<FltkPeer*>(c->Peer());
      if (peer && peer->widget_->parent() == group) {
        group->remove(peer->widget_);
        group->add(peer->widget_);
      }
    };
    for (int i = 0; i < parent->ControlCount(); ++i) {
      if (!dynamic_cast<TWinControl*>(parent->Controls(i))) moveToEnd(parent->Controls(i));
    }
    for (TWinControl* c : parent->TabList()) moveToEnd(c);
  }

  TControl* control_;
  Fl_Widget* widget_;
};

class FormPeer : public FltkPeer {
 public:
  explicit FormPeer(TForm* form) : FltkPeer(form, new FormWindow), form_(form) {
    window()->end();
    window()->resizable(nullptr);
    window()->callback(&FormPeer::WindowCallback, form);
  }

 protected:
  std::string LabelText() const override { return form_->Caption(); }

  void SyncVisible() override {
    if (!form_->Visible()) {
      window()->hide();
      return;
    }
    Place();
    window()->show();
    SetUtf8Title(window(), form_->Caption());
  }

  void Synced(TPeerChange what) override {
    if (what == TPeerChange::Caption && window()->shown()) {
      SetUtf8Title(window(), form_->Caption());
    } else if (what == TPeerChange::Style || what == TPeerChange::Bounds) {
      SetSizeRange();
    }
  }

  void SyncBounds() override {
    window()->resize(form_->Left(), form_->Top(), form_->Width(), form_->Height());
    for (int i = 0; i < form_->ControlCount(); ++i) {
      if (auto* child = static_cast<FltkPeer*>(form_->Controls(i)->Peer())) child->Changed(TPeerChange::Bounds);
    }
  }

 private:
  Fl_Window* window() const { return static_cast<Fl_Window*>(widget_); }

  void Place() {
    if (form_->Position() == poScreenCenter) {
      window()->position((Fl::w() - form_->Width()) / 2, (Fl::h() - form_->Height()) / 2);
    } else {
      window()->position(form_->Left(), form_->Top());
    }
    window()->border(form_->BorderStyle() == bsNone ? 0 : 1);
  }

  void SetSizeRange() {
    int w = form_->Width(), h = form_->Height();
    if (form_->BorderStyle() == bsSizeable) {
      window()->size_range(1, 1);
    } else {
      window()->size_range(w, h, w, h);
    }
  }

  static void WindowCallback(Fl_Widget*, void* data) {
    // Escape closes an FLTK window by default; our windows close only by their close box.
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
    auto* form = static_cast<TForm*>(data);
    RunHandler(form, [form] { form->Close(); });
  }

  TForm* form_;
};

// A box whose label starts at its left edge. Fl_Widget's own label drawing keeps 3 pixels
// free on either side of a left-aligned label, which clipped the end of a label sized to
// its text.
class LabelBox : public Fl_Box {
 public:
  LabelBox() : Fl_Box(0, 0, 10, 10) {}
  void draw() override {
    draw_box();
    draw_label(x(), y(), w(), h(), align());
  }
};

class LabelPeer : public FltkPeer {
 public:
  explicit LabelPeer(TLabel* label) : FltkPeer(label, new LabelBox), label_(label) {
    widget_->box(FL_NO_BOX);
    widget_->align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
  }

 protected:
  std::string LabelText() const override { return label_->Caption(); }

 private:
  TLabel* label_;
};

class ButtonPeer : public FltkPeer {
 public:
  explicit ButtonPeer(TButton* button) : FltkPeer(button, new ButtonWidget), button_(button) {
    widget_->callback(&ButtonPeer::Pressed, button);
  }

 protected:
  std::string LabelText() const override { return button_->Caption(); }
  void Synced(TPeerChange what) override {
    if (what == TPeerChange::Style) static_cast<ButtonWidget*>(widget_)->isDefault = button_->Default();
    // A button keeps the system's face, whatever the form's colour.
    if (what == TPeerChange::Color) widget_->color(FL_BACKGROUND_COLOR);
  }

 private:
  static void Pressed(Fl_Widget*, void* data) {
    auto* button = static_cast<TButton*>(data);
    RunHandler(button, [button] { button->Click(); });
  }
  TButton* button_;
};

class ProgressPeer : public FltkPeer {
 public:
  explicit ProgressPeer(TProgressBar* bar) : FltkPeer(bar, new Fl_Progress(0, 0, 10, 10)), bar_(bar) {
    widget_->box(FL_DOWN_BOX);
    widget_->selection_color(fl_rgb_color(6, 176, 37));
  }

 protected:
  void Synced(TPeerChange what) override {
    auto* progress = static_cast<Fl_Progress*>(widget_);
    if (what == TPeerChange::Value) {
      progress->minimum(static_cast<float>(bar_->Min()));
      progress->maximum(static_cast<float>(bar_->Max()));
      progress->value(static_cast<float>(bar_->Position()));
    } else if (what == TPeerChange::Color) {
      widget_->color(fl_rgb_color(230, 230, 230));
    }
  }

 private:
  TProgressBar* bar_;
};

class PanelPeer : public FltkPeer {
 public:
  explicit PanelPeer(TCustomPanel* panel) : FltkPeer(panel, new Fl_Group(0, 0, 10, 10)), panel_(panel) {
    group()->end();
    group()->resizable(nullptr);
    widget_->align(FL_ALIGN_CENTER | FL_ALIGN_INSIDE);
  }

 protected:
  std::string LabelText() const override { return panel_->Caption(); }
  void Synced(TPeerChange what) override {
    if (what != TPeerChange::Style) return;
    switch (panel_->BevelOuter()) {
      case bvLowered: widget_->box(FL_THIN_DOWN_BOX); break;
      case bvRaised: widget_->box(FL_THIN_UP_BOX); break;
      default: widget_->box(FL_FLAT_BOX); break;
    }
  }

 private:
  Fl_Group* group() const { return static_cast<Fl_Group*>(widget_); }
  TCustomPanel* panel_;
};

class ShapePeer : public FltkPeer {
 public:
  explicit ShapePeer(TShape* shape) : FltkPeer(shape, new ShapeWidget(shape)) {}
};

// A control kind this backend does not draw: a plain area.
class PlainPeer : public FltkPeer {
 public:
  explicit PlainPeer(TControl* control) : FltkPeer(control, new Fl_Box(0, 0, 10, 10)) {}
};

// ---------------------------------------------------------------------------------------

class DialogButton : public ButtonWidget {
 public:
  using ButtonWidget::ButtonWidget;
  int index = 0;
};

class TFltkBackend : public TGuiBackend, private platform::EventSource {
 public:
  TFltkBackend() {
    Fl::scheme("gtk+");
    Fl::background(240, 240, 240);
    // FLTK keeps the name pointers for the life of the process.
    static const std::string family = FindCjkFamily();
    static const std::string boldFamily = "B" + family;
    if (!family.empty()) {
      Fl::set_font(FL_HELVETICA, family.c_str());
      Fl::set_font(FL_HELVETICA_BOLD, boldFamily.c_str());
    }
    Fl::set_labeltype(FL_NORMAL_LABEL, DrawPlainLabel, MeasurePlainLabel);
    sink_ = platform::CreateSink(&TFltkBackend::SinkProc);
    platform::SetSinkData(sink_, reinterpret_cast<platform::LPARAM>(this));
    platform::AddEventSource(this);
  }

  ~TFltkBackend() override {
    platform::RemoveEventSource(this);
    platform::DestroySink(sink_);
    Fl::flush();
  }

  bool IsConsole() const override { return false; }

  std::unique_ptr<TControlPeer> CreatePeer(TControl* control) override {
    // A new FLTK group adopts every widget created after it: nobody must be current.
    Fl_Group::current(nullptr);
    std::unique_ptr<FltkPeer> peer;
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
    Fl_Group::current(nullptr);
    peer->SyncAll();
    return peer;
  }

  void MeasureText(const TFont& font, const std::string& text, int& width, int& height) override {
    fl_font(ToFlFont(font), font.PixelSize());
    width = 0;
    height = 0;
    fl_measure(text.c_str(), width, height, 0);
  }

  void ShowMessage(const std::string& title, const std::string& text) override {
    RunBox(title, text, mtCustom, {{"确定", mrOk}}, 0, mrOk, 0);
  }

  void ShowError(const std::string& title, const std::string& text) override {
    RunBox(title, text, mtError, {{"确定", mrOk}}, 0, mrOk, 0);
  }

  int ShowDialog(const TMsgDlgParams& params, const std::string& title) override {
    return RunBox(title, params.Text, params.Type, params.Buttons, params.DefaultButton, params.CloseResult,
                  params.SafeButton);
  }

  void Flush() override { Fl::flush(); }

 private:
  struct BoxState {
    bool done = false;
    int result = mrNone;
    int closeResult = mrCancel;
    bool escapeCloses = false;
    const std::vector<TMsgDlgButton>* buttons = nullptr;
  };

  // Our own modal box with a nested loop: FLTK's would stop timers and sockets.
  int RunBox(const std::string& title, const std::string& text, TMsgDlgType type,
             const std::vector<TMsgDlgButton>& buttons, int defaultIndex, int closeResult, int safeIndex) {
    constexpr int kMargin = 18, kIcon = 32, kGap = 14, kButtonHeight = 25, kButtonGap = 8, kFontSize = 12;
    Fl_Group::current(nullptr);
    fl_font(FL_HELVETICA, kFontSize);
    int maxText = std::max(200, std::min(480, Fl::w() - 120));
    std::string wrapped = WrapText(text, maxText);
    int textW = 0, textH = 0;
    fl_measure(wrapped.c_str(), textW, textH, 0);
    bool icon = type != mtCustom;
    int textX = kMargin + (icon ? kIcon + kGap : 0);
    int contentH = std::max(textH, icon ? kIcon : 24);
    std::vector<int> widths;
    int buttonsW = 0;
    for (const auto& b : buttons) {
      int w = std::max(75, static_cast<int>(fl_width(StripMnemonic(b.Caption).c_str())) + 24);
      widths.push_back(w);
      buttonsW += w;
    }
    buttonsW += kButtonGap * static_cast<int>(buttons.size() - 1);
    int width = std::max({textX + textW + kMargin, buttonsW + 2 * kMargin, 220});
    int height = kMargin + contentH + kGap + kButtonHeight + kMargin;

    BoxState state;
    state.closeResult = closeResult;
    state.escapeCloses = buttons.size() == 1;
    state.buttons = &buttons;
    auto* window = new Fl_Double_Window((Fl::w() - width) / 2, (Fl::h() - height) / 2, width, height);
    window->copy_label(title.c_str());
    if (icon) new IconWidget(kMargin, kMargin + (contentH - kIcon) / 2, kIcon, type);
    auto* textBox = new Fl_Box(textX, kMargin + (contentH - textH) / 2, textW, textH);
    textBox->box(FL_NO_BOX);
    textBox->align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE);
    textBox->labelfont(FL_HELVETICA);
    textBox->labelsize(kFontSize);
    textBox->copy_label(wrapped.c_str());
    int x = (width - buttonsW) / 2;
    DialogButton* defaultButton = nullptr;
    for (size_t i = 0; i < buttons.size(); ++i) {
      auto* b = new DialogButton();
      b->resize(x, height - kMargin - kButtonHeight, widths[i], kButtonHeight);
      b->copy_label(buttons[i].Caption.c_str());
      b->labelsize(kFontSize);
      b->index = static_cast<int>(i);
      b->isDefault = static_cast<int>(i) == defaultIndex;
      b->callback(&TFltkBackend::BoxButtonPressed, &state);
      if (b->isDefault) defaultButton = b;
      x += widths[i] + kButtonGap;
    }
    window->end();
    window->callback(&TFltkBackend::BoxClosed, &state);
    window->set_modal();
    window->size_range(width, height, width, height);
    window->show();
    SetUtf8Title(window, title);
    if (defaultButton) defaultButton->take_focus();

    if (!Application->ModalLoop([&state] { return state.done; })) state.result = buttons[safeIndex].Result;
    window->hide();
    delete window;
    Fl::flush();
    return state.result;
  }

  static void BoxButtonPressed(Fl_Widget* widget, void* data) {
    auto* state = static_cast<BoxState*>(data);
    state->result = (*state->buttons)[static_cast<DialogButton*>(widget)->index].Result;
    state->done = true;
  }

  static void BoxClosed(Fl_Widget*, void* data) {
    auto* state = static_cast<BoxState*>(data);
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) {
      // Escape answers a box that has only one answer.
      if (!state->escapeCloses) return;
      state->result = state->buttons->front().Result;
    } else {
      state->result = state->closeResult;
    }
    state->done = true;
  }

  void Prepare(std::vector<platform::WaitItem>& items, int& timeoutMs) override {
    Fl::flush();
    items.push_back(platform::WaitItem{ConnectionNumber(fl_display), platform::WAIT_READABLE, 0});
    // Xlib may already hold events it has read: they would wait for the next wake-up.
    if (XQLength(fl_display) > 0) {
      timeoutMs = 0;
    } else if (Fl::first_window() && (timeoutMs < 0 || timeoutMs > kPumpIntervalMs)) {
      timeoutMs = kPumpIntervalMs;
    }
  }

  void Dispatch(const platform::WaitItem* items, size_t count) override {
    if (pumpPending_) return;
    bool due = (count > 0 && items[0].ready != 0) || XQLength(fl_display) > 0;
    if (!due && Fl::first_window()) {
      due = static_cast<int>(platform::GetTickCount() - lastPump_) >= kPumpIntervalMs;
    }
    if (due) {
      pumpPending_ = true;
      platform::PostMessage(sink_, WM_FLTK_PUMP, 0, 0);
    }
  }

  static platform::LRESULT SinkProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                    platform::LPARAM lParam) {
    auto* self = reinterpret_cast<TFltkBackend*>(platform::GetSinkData(hwnd));
    if (self && msg == WM_FLTK_PUMP) {
      // Cleared first: a handler may open a modal box whose loop needs the next pump.
      self->pumpPending_ = false;
      self->lastPump_ = platform::GetTickCount();
      Fl::check();
      return 0;
    }
    return platform::DefWindowProc(hwnd, msg, wParam, lParam);
  }

  platform::HWND sink_ = 0;
  bool pumpPending_ = false;
  platform::DWORD lastPump_ = 0;
};

}  // namespace

std::unique_ptr<TGuiBackend> CreateFltkBackend() {
  // FLTK's display lives as long as the process; a later application reuses it.
  if (!fl_display) {
    // Without a display FLTK would print an error and exit: ask Xlib first.
    Display* display = XOpenDisplay(nullptr);
    if (!display) return nullptr;
    fl_open_display(display);
  }
  return std::make_unique<TFltkBackend>();
}
