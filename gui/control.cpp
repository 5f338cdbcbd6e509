#include "gui/control.h"

#include <algorithm>

#include "gui/backend.h"
#include "gui/form.h"

TControl::TControl(TComponent* owner) : TComponent(owner) {
  font_.OnChange = [this](TObject*) { FontChangedInternally(); };
}

TControl::~TControl() {
  font_.OnChange = nullptr;
  // The peer goes first: it must not outlive its place in the parent's peer.
  peer_.reset();
  if (parent_) parent_->RemoveControl(this);
}

void TControl::SetParent(TWinControl* parent) {
  if (parent == parent_) return;
  if (parent == this) throw EInvalidOperation("A control cannot have itself as its parent");
  if (parent_) parent_->RemoveControl(this);
  parent_ = parent;
  if (parent_) {
    parent_->InsertControl(this);
    if (parentFont_) ApplyParentFont();
  }
  if (peer_) {
    NotifyPeer(TPeerChange::Parent);
  } else if (parent_ && parent_->Peer()) {
    CreatePeers();
  }
  if (parent_ && align_ != alNone) parent_->AlignControls();
}

TForm* TControl::ParentForm() {
  for (TControl* c = this; c; c = c->parent_) {
    if (auto* form = dynamic_cast<TForm*>(c)) return form;
  }
  return nullptr;
}

void TControl::SetBounds(int left, int top, int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (left == left_ && top == top_ && width == width_ && height == height_) return;
  bool resized = width != width_ || height != height_;
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  NotifyPeer(TPeerChange::Bounds);
  if (parent_ && align_ != alNone) parent_->AlignControls();
  if (resized) Resize();
}

void TControl::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  NotifyPeer(TPeerChange::Visible);
  if (parent_ && align_ != alNone) parent_->AlignControls();
}

bool TControl::Showing() const { return visible_ && parent_ && parent_->Showing(); }

void TControl::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  NotifyPeer(TPeerChange::Enabled);
}

void TControl::SetCaption(const std::string& caption) {
  if (caption == caption_) return;
  caption_ = caption;
  CaptionChanged();
  NotifyPeer(TPeerChange::Caption);
}

void TControl::SetColor(TColor color) {
  if (color == color_) return;
  color_ = color;
  NotifyPeer(TPeerChange::Color);
}

void TControl::SetParentFont(bool parentFont) {
  if (parentFont == parentFont_) return;
  parentFont_ = parentFont;
  if (parentFont_) ApplyParentFont();
}

void TControl::SetAlign(TAlign align) {
  if (align == align_) return;
  align_ = align;
  if (parent_) parent_->AlignControls();
}

void TControl::CreatePeers() {
  if (!peer_) peer_ = GuiBackend()->CreatePeer(this);
}

void TControl::NotifyPeer(TPeerChange what) {
  if (peer_) peer_->Changed(what);
}

void TControl::ApplyParentFont() {
  if (!parent_) return;
  applyingParentFont_ = true;
  font_.Assign(parent_->font_);
  applyingParentFont_ = false;
}

void TControl::FontChangedInternally() {
  if (!applyingParentFont_) parentFont_ = false;
  FontChanged();
  NotifyPeer(TPeerChange::Font);
  if (auto* self = dynamic_cast<TWinControl*>(this)) {
    for (TControl* child : self->controls_) {
      if (child->parentFont_) child->ApplyParentFont();
    }
  }
}

// ---------------------------------------------------------------------------------------

TWinControl::TWinControl(TComponent* owner) : TControl(owner) {}

TWinControl::~TWinControl() {
  // Owned controls may sit on this one: they go while it is still whole.
  DestroyComponents();
  while (!controls_.empty()) controls_.back()->SetParent(nullptr);
}

int TWinControl::TabOrder() const {
  if (!Parent()) return -1;
  const auto& list = Parent()->tabList_;
  auto it = std::find(list.begin(), list.end(), this);
  return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

void TWinControl::SetTabOrder(int order) {
  if (!Parent()) return;
  auto& list = Parent()->tabList_;
  auto it = std::find(list.begin(), list.end(), this);
  if (it == list.end()) return;
  list.erase(it);
  order = std::clamp(order, 0, static_cast<int>(list.size()));
  list.insert(list.begin() + order, this);
  for (TWinControl* sibling : list) sibling->NotifyPeer(TPeerChange::TabOrder);
}

void TWinControl::SetTabStop(bool tabStop) {
  if (tabStop == tabStop_) return;
  tabStop_ = tabStop;
  NotifyPeer(TPeerChange::TabOrder);
}

void TWinControl::SetBounds(int left, int top, int width, int height) {
  int oldWidth = Width(), oldHeight = Height();
  TControl::SetBounds(left, top, width, height);
  if (Width() != oldWidth || Height() != oldHeight) AlignControls();
}

void TWinControl::CreatePeers() {
  TControl::CreatePeers();
  for (TControl* child : controls_) child->CreatePeers();
}

void TWinControl::AlignControls() {
  if (aligning_) return;
  aligning_ = true;
  int left = 0, top = 0, right = ClientWidth(), bottom = ClientHeight();
  for (TAlign kind : {alTop, alBottom, alLeft, alRight, alClient}) {
    for (TControl* c : controls_) {
      if (c->Align() != kind || !c->Visible()) continue;
      int w = std::max(right - left, 0), h = std::max(bottom - top, 0);
      switch (kind) {
        case alTop:
          c->SetBounds(left, top, w, c->Height());
          top += c->Height();
          break;
        case alBottom:
          c->SetBounds(left, bottom - c->Height(), w, c->Height());
          bottom -= c->Height();
          break;
        case alLeft:
          c->SetBounds(left, top, c->Width(), h);
          left += c->Width();
          break;
        case alRight:
          c->SetBounds(right - c->Width(), top, c->Width(), h);
          right -= c->Width();
          break;
        default:
          c->SetBounds(left, top, w, h);
          break;
      }
    }
  }
  aligning_ = false;
}

void TWinControl::InsertControl(TControl* control) {
  controls_.push_back(control);
  if (auto* win = dynamic_cast<TWinControl*>(control)) tabList_.push_back(win);
}

void TWinControl::RemoveControl(TControl* control) {
  controls_.erase(std::remove(controls_.begin(), controls_.end(), control), controls_.end());
  tabList_.erase(std::remove(tabList_.begin(), tabList_.end(), control), tabList_.end());
}
