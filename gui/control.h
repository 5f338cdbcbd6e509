// Controls: the common base of everything placed on a form (TControl) and of the
// controls that hold others and take part in keyboard navigation (TWinControl).
//
// A control keeps its whole state itself; the backend's peer (a toolkit widget, or the
// console's line writer) is created when the form is first shown and follows every
// later change.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/classes.h"
#include "gui/graphics.h"

class TWinControl;
class TForm;
class TControlPeer;

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };

// What changed in a control, as told to its peer.
enum class TPeerChange { Bounds, Caption, Visible, Enabled, Color, Font, Parent, Value, Style, TabOrder };

class TControl : public TComponent {
 public:
  explicit TControl(TComponent* owner);
  ~TControl() override;
  const char* ClassName() const override { return "TControl"; }

  TWinControl* Parent() const { return parent_; }
  void SetParent(TWinControl* parent);
  // The form the control sits on (the form itself for a form); nullptr when none.
  TForm* ParentForm();

  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetLeft(int left) { SetBounds(left, top_, width_, height_); }
  void SetTop(int top) { SetBounds(left_, top, width_, height_); }
  void SetWidth(int width) { SetBounds(left_, top_, width, height_); }
  void SetHeight(int height) { SetBounds(left_, top_, width_, height); }
  virtual void SetBounds(int left, int top, int width, int height);

  bool Visible() const { return visible_; }
  virtual void SetVisible(bool visible);
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }
  // Visible and placed, through visible parents, on a form that is shown.
  virtual bool Showing() const;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);
  TColor Color() const { return color_; }
  void SetColor(TColor color);
  // Changing the font gives the control its own font (ParentFont false).
  TFont* Font() { return &font_; }
  bool ParentFont() const { return parentFont_; }
  void SetParentFont(bool parentFont);
  TAlign Align() const { return align_; }
  void SetAlign(TAlign align);

  // Framework side: the toolkit peer, and its creation for this control and everything
  // placed on it.
  TControlPeer* Peer() const { return peer_.get(); }
  virtual void CreatePeers();

 protected:
  void NotifyPeer(TPeerChange what);
  // After the size changed.
  virtual void Resize() {}
  virtual void CaptionChanged() {}
  virtual void FontChanged() {}

 private:
  friend class TWinControl;
  void FontChangedInternally();
  void ApplyParentFont();

  TWinControl* parent_ = nullptr;
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  bool visible_ = true;
  bool enabled_ = true;
  std::string caption_;
  TColor color_ = clBtnFace;
  TFont font_;
  bool parentFont_ = true;
  bool applyingParentFont_ = false;
  TAlign align_ = alNone;
  std::unique_ptr<TControlPeer> peer_;
};

class TWinControl : public TControl {
 public:
  explicit TWinControl(TComponent* owner);
  ~TWinControl() override;
  const char* ClassName() const override { return "TWinControl"; }

  int ControlCount() const { return static_cast<int>(controls_.size()); }
  TControl* Controls(int index) const { return controls_.at(index); }
  // Keyboard navigation: a control's place among its parent's windowed controls.
  int TabOrder() const;
  void SetTabOrder(int order);
  bool TabStop() const { return tabStop_; }
  void SetTabStop(bool tabStop);
  const std::vector<TWinControl*>& TabList() const { return tabList_; }

  virtual int ClientWidth() const { return Width(); }
  virtual int ClientHeight() const { return Height(); }
  void SetBounds(int left, int top, int width, int height) override;
  void CreatePeers() override;
  // Places the aligned controls (top, bottom, left, right, then client).
  void AlignControls();

 private:
  friend class TControl;
  void InsertControl(TControl* control);
  void RemoveControl(TControl* control);

  std::vector<TControl*> controls_;
  std::vector<TWinControl*> tabList_;
  bool tabStop_ = false;
  bool aligning_ = false;
};
