#include <gmock/gmock.h>

#include "console_fixture.h"
#include "gui/button.h"
#include "gui/dialogs.h"
#include "gui/label.h"
#include "gui/panel.h"
#include "gui/progressbar.h"
#include "gui/shape.h"

using ControlsTest = ConsoleGuiTest;

// ---------------------------------------------------------------------------------------
// Progress bar range.

TEST_F(ControlsTest, ProgressBarRefusesAMaximumBelowItsMinimum) {
  TForm form(nullptr);
  TProgressBar bar(&form);
  bar.SetPosition(40);
  try {
    bar.SetMax(-1);
    FAIL() << "a maximum of -1 was accepted";
  } catch (const EInvalidOperation& e) {
    EXPECT_EQ(e.Message(), "TProgressBar property out of range");
  }
  EXPECT_EQ(bar.Max(), 100);
  EXPECT_EQ(bar.Position(), 40);
  EXPECT_THROW(bar.SetMin(101), EInvalidOperation);
  EXPECT_EQ(bar.Min(), 0);
  bar.SetMax(0);  // an empty range is fine
  EXPECT_EQ(bar.Max(), 0);
}

TEST_F(ControlsTest, ProgressBarKeepsItsPositionInsideTheRange) {
  TForm form(nullptr);
  TProgressBar bar(&form);
  bar.SetPosition(250);
  EXPECT_EQ(bar.Position(), 100);
  bar.SetPosition(-3);
  EXPECT_EQ(bar.Position(), 0);
  bar.SetPosition(80);
  bar.SetRange(0, 9);
  EXPECT_EQ(bar.Position(), 9);
  bar.SetRange(20, 30);
  EXPECT_EQ(bar.Position(), 20);
}

// ---------------------------------------------------------------------------------------
// Layout.

TEST_F(ControlsTest, PanelAlignsItsControlsAndFollowsItsSize) {
  TForm form(nullptr);
  TPanel panel(&form);
  panel.SetParent(&form);
  panel.SetBounds(10, 10, 200, 100);
  int resized = 0;
  panel.OnResize = [&](TObject*) { ++resized; };
  TPanel top(&form), bottom(&form), left(&form), client(&form);
  for (TPanel* p : {&top, &bottom, &left, &client}) p->SetParent(&panel);
  top.SetHeight(20);
  top.SetAlign(alTop);
  bottom.SetHeight(10);
  bottom.SetAlign(alBottom);
  left.SetWidth(30);
  left.SetAlign(alLeft);
  client.SetAlign(alClient);

  auto bounds = [](TControl& c) {
    return std::vector<int>{c.Left(), c.Top(), c.Width(), c.Height()};
  };
  EXPECT_EQ(bounds(top), (std::vector<int>{0, 0, 200, 20}));
  EXPECT_EQ(bounds(bottom), (std::vector<int>{0, 90, 200, 10}));
  EXPECT_EQ(bounds(left), (std::vector<int>{0, 20, 30, 70}));
  EXPECT_EQ(bounds(client), (std::vector<int>{30, 20, 170, 70}));

  panel.SetBounds(10, 10, 300, 50);
  EXPECT_EQ(resized, 1);
  EXPECT_EQ(bounds(top), (std::vector<int>{0, 0, 300, 20}));
  EXPECT_EQ(bounds(bottom), (std::vector<int>{0, 40, 300, 10}));
  EXPECT_EQ(bounds(client), (std::vector<int>{30, 20, 270, 20}));
  panel.SetLeft(50);  // a move is no resize
  EXPECT_EQ(resized, 1);

  top.Hide();  // a hidden control gives its room away
  EXPECT_EQ(bounds(client), (std::vector<int>{30, 0, 270, 40}));
}

TEST_F(ControlsTest, ShapeKeepsItsPenBrushAndBounds) {
  TForm form(nullptr);
  TShape shape(&form);
  shape.SetParent(&form);
  shape.Pen()->SetStyle(psClear);
  shape.Brush()->SetColor(0xFF0000);
  shape.SetTop(1);
  shape.SetHeight(36);
  shape.SetLeft(101);
  shape.SetWidth(2);
  EXPECT_EQ(shape.Pen()->Style(), psClear);
  TRGB rgb = ColorToRGB(shape.Brush()->Color());
  EXPECT_EQ(rgb.r, 0);  // $FF0000 is blue in the platform's encoding
  EXPECT_EQ(rgb.b, 255);
  EXPECT_EQ(shape.Left() + shape.Width(), 103);
  EXPECT_EQ(shape.Top() + shape.Height(), 37);
}

TEST_F(ControlsTest, SystemColoursResolveToTheirLook) {
  TRGB face = ColorToRGB(clBtnFace);
  EXPECT_EQ(face.r, 240);
  EXPECT_EQ(face.g, 240);
  TRGB text = ColorToRGB(clWindowText);
  EXPECT_EQ(text.r + text.g + text.b, 0);
}

// ---------------------------------------------------------------------------------------
// Labels, fonts, buttons.

TEST_F(ControlsTest, LabelSizesItselfToItsText) {
  TForm form(nullptr);
  TLabel label(&form);
  label.SetParent(&form);
  label.SetCaption("ab");
  int narrow = label.Width();
  label.SetCaption("修复完毕");
  EXPECT_GT(label.Width(), narrow);
  EXPECT_EQ(label.Height(), 12);  // the form's font, character height 12
  label.Font()->SetHeight(-16);
  EXPECT_EQ(label.Height(), 16);
  label.SetAutoSize(false);
  label.SetCaption("a much longer text than before");
  EXPECT_EQ(label.Height(), 16);
  int fixed = label.Width();
  label.SetCaption("x");
  EXPECT_EQ(label.Width(), fixed);
}

TEST_F(ControlsTest, ControlsFollowTheFormFontUnlessTheyHaveTheirOwn) {
  TForm form(nullptr);
  TLabel plain(&form), own(&form);
  plain.SetParent(&form);
  own.SetParent(&form);
  own.Font()->SetHeight(-16);
  EXPECT_TRUE(plain.ParentFont());
  EXPECT_FALSE(own.ParentFont());
  form.Font()->SetHeight(-20);
  EXPECT_EQ(plain.Font()->Height(), -20);
  EXPECT_EQ(own.Font()->Height(), -16);
  own.SetParentFont(true);
  EXPECT_EQ(own.Font()->Height(), -20);
}

TEST_F(ControlsTest, ButtonClickInCodeRunsItsHandlerEvenWhenHidden) {
  TForm form(nullptr);
  TButton button(&form);
  button.SetParent(&form);
  button.Hide();
  int clicks = 0;
  button.OnClick = [&](TObject* sender) {
    EXPECT_EQ(sender, &button);
    ++clicks;
  };
  button.Click();
  EXPECT_EQ(clicks, 1);
}

TEST_F(ControlsTest, TabOrderMovesAControlAmongItsSiblings) {
  TForm form(nullptr);
  TButton a(&form), b(&form), c(&form);
  TLabel label(&form);
  for (TControl* x : std::vector<TControl*>{&a, &label, &b, &c}) x->SetParent(&form);
  EXPECT_EQ(a.TabOrder(), 0);
  EXPECT_EQ(c.TabOrder(), 2);
  c.SetTabOrder(0);
  EXPECT_EQ(c.TabOrder(), 0);
  EXPECT_EQ(a.TabOrder(), 1);
  EXPECT_EQ(b.TabOrder(), 2);
  a.SetTabOrder(99);
  EXPECT_EQ(a.TabOrder(), 2);
}

TEST_F(ControlsTest, DestroyingAShownFormTakesItsControlsAlong) {
  auto* form = new TForm(nullptr);
  auto* panel = new TPanel(form);
  panel->SetParent(form);
  auto* shape = new TShape(panel);  // owned by the panel, placed on it
  shape->SetParent(panel);
  auto* label = new TLabel(form);
  label->SetParent(panel);
  form->Show();
  EXPECT_NE(shape->Peer(), nullptr);
  delete form;  // the sanitizer build checks what happens here
  SUCCEED();
}

TEST(MnemonicTest, CaptionsLoseTheirMarkerAndKeepTheLetter) {
  EXPECT_EQ(StripMnemonic("重试[&R]"), "重试[R]");
  EXPECT_EQ(StripMnemonic("开始升级(&O)"), "开始升级(O)");
  EXPECT_EQ(StripMnemonic("A && B"), "A & B");
  EXPECT_EQ(StripMnemonic("trailing&"), "trailing&");
  EXPECT_EQ(MnemonicChar("忽略[&I]"), 'I');
  EXPECT_EQ(MnemonicChar("A && B"), 0);
  EXPECT_EQ(MnemonicChar("A && &B"), 'B');
  EXPECT_EQ(MnemonicChar("确定"), 0);
}
