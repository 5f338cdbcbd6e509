// A top-level window. Its controls are owned by it and placed on it; for a form, Left and
// Top are its place on the screen and Width x Height its client area.
#pragma once

#include <functional>

#include "gui/control.h"

enum TBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog };
enum TPosition { poDesigned, poScreenCenter };
enum TCloseAction { caNone, caHide, caFree, caMinimize };

using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;
using TCloseQueryEvent = std::function<void(TObject* Sender, bool& CanClose)>;

class TForm : public TWinControl {
 public:
  explicit TForm(TComponent* owner);
  ~TForm() override;
  const char* ClassName() const override { return "TForm"; }

  int ClientWidth() const override { return Width(); }
  int ClientHeight() const override { return Height(); }
  void SetClientWidth(int width) { SetWidth(width); }
  void SetClientHeight(int height) { SetHeight(height); }
  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle style);
  TPosition Position() const { return position_; }
  void SetPosition(TPosition position);

  // Showing a form fires OnShow; an error escaping it goes to the application-wide
  // error report.
  void SetVisible(bool visible) override;
  bool Showing() const override { return Visible(); }
  // Asks OnCloseQuery, fires OnClose, then hides the form (frees it later for caFree);
  // closing the main form terminates the application.
  void Close();
  // Deletes the form once the messages now pending have been handled.
  void Release();

  TNotifyEvent OnCreate;
  TNotifyEvent OnShow;
  TNotifyEvent OnHide;
  TNotifyEvent OnResize;
  TCloseEvent OnClose;
  TCloseQueryEvent OnCloseQuery;

  // Fires OnCreate; the application calls it once the form is constructed.
  void DoCreate();

 protected:
  virtual bool CloseQuery();
  virtual void DoClose(TCloseAction& action);
  void Resize() override;

 private:
  TBorderStyle borderStyle_ = bsSizeable;
  TPosition position_ = poDesigned;
};
