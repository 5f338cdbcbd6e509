// Colours, fonts, pens and brushes of the controls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/classes.h"

// A colour in the platform's encoding: 0x00BBGGRR, or a system colour (high bit set,
// low byte the system colour index).
using TColor = int32_t;

constexpr TColor clBlack = 0x000000;
constexpr TColor clMaroon = 0x000080;
constexpr TColor clGreen = 0x008000;
constexpr TColor clNavy = 0x800000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clWhite = 0xFFFFFF;

constexpr TColor SystemColor(int index) { return static_cast<TColor>(0x80000000u | index); }
constexpr TColor clWindow = SystemColor(5);
constexpr TColor clWindowText = SystemColor(8);
constexpr TColor clBtnFace = SystemColor(15);
constexpr TColor clHighlight = SystemColor(13);
constexpr TColor clBtnShadow = SystemColor(16);
constexpr TColor clGrayText = SystemColor(17);
constexpr TColor clBtnText = SystemColor(18);
constexpr TColor clBtnHighlight = SystemColor(20);

struct TRGB {
  uint8_t r, g, b;
};
// System colours resolve to the look of the classic desktop.
TRGB ColorToRGB(TColor color);

// Font character sets (the GDI values).
constexpr uint8_t ANSI_CHARSET = 0;
constexpr uint8_t DEFAULT_CHARSET = 1;
constexpr uint8_t GB2312_CHARSET = 134;

// Base of fonts, pens and brushes: a change notifies the owning control.
class TGraphicsObject : public TObject {
 public:
  TNotifyEvent OnChange;

 protected:
  void Changed() {
    if (OnChange) OnChange(this);
  }
};

class TFont : public TGraphicsObject {
 public:
  const char* ClassName() const override { return "TFont"; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name);
  // Height in pixels; negative = character height, positive = cell height.
  int Height() const { return height_; }
  void SetHeight(int height);
  uint8_t Charset() const { return charset_; }
  void SetCharset(uint8_t charset);
  TColor Color() const { return color_; }
  void SetColor(TColor color);
  bool Bold() const { return bold_; }
  void SetBold(bool bold);
  // Copies every attribute and notifies once.
  void Assign(const TFont& other);
  // Pixel size for a renderer that sizes fonts by their em height.
  int PixelSize() const;
  bool operator==(const TFont& other) const;

 private:
  std::string name_ = "宋体";
  int height_ = -12;
  uint8_t charset_ = DEFAULT_CHARSET;
  TColor color_ = clWindowText;
  bool bold_ = false;
};

enum TPenStyle { psSolid, psDash, psDot, psDashDot, psDashDotDot, psClear };

class TPen : public TGraphicsObject {
 public:
  const char* ClassName() const override { return "TPen"; }
  TColor Color() const { return color_; }
  void SetColor(TColor color);
  TPenStyle Style() const { return style_; }
  void SetStyle(TPenStyle style);
  int Width() const { return width_; }
  void SetWidth(int width);

 private:
  TColor color_ = clBlack;
  TPenStyle style_ = psSolid;
  int width_ = 1;
};

enum TBrushStyle { bsSolid, bsClear };

class TBrush : public TGraphicsObject {
 public:
  const char* ClassName() const override { return "TBrush"; }
  TColor Color() const { return color_; }
  void SetColor(TColor color);
  TBrushStyle Style() const { return style_; }
  void SetStyle(TBrushStyle style);

 private:
  TColor color_ = clWhite;
  TBrushStyle style_ = bsSolid;
};
