#include "gui/graphics.h"

TRGB ColorToRGB(TColor color) {
  uint32_t c = static_cast<uint32_t>(color);
  if (c & 0x80000000u) {
    switch (c & 0xFF) {
      case 5: return {255, 255, 255};   // window
      case 8: return {0, 0, 0};         // window text
      case 13: return {0, 120, 215};    // highlight
      case 16: return {160, 160, 160};  // button shadow
      case 17: return {109, 109, 109};  // gray text
      case 18: return {0, 0, 0};        // button text
      case 20: return {255, 255, 255};  // button highlight
      default: return {240, 240, 240};  // button face and the rest
    }
  }
  return {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>((c >> 8) & 0xFF),
          static_cast<uint8_t>((c >> 16) & 0xFF)};
}

void TFont::SetName(const std::string& name) {
  if (name == name_) return;
  name_ = name;
  Changed();
}

void TFont::SetHeight(int height) {
  if (height == height_) return;
  height_ = height;
  Changed();
}

void TFont::SetCharset(uint8_t charset) {
  if (charset == charset_) return;
  charset_ = charset;
  Changed();
}

void TFont::SetColor(TColor color) {
  if (color == color_) return;
  color_ = color;
  Changed();
}

void TFont::SetBold(bool bold) {
  if (bold == bold_) return;
  bold_ = bold;
  Changed();
}

void TFont::Assign(const TFont& other) {
  if (other == *this) return;
  name_ = other.name_;
  height_ = other.height_;
  charset_ = other.charset_;
  color_ = other.color_;
  bold_ = other.bold_;
  Changed();
}

int TFont::PixelSize() const {
  if (height_ < 0) return -height_;
  // A cell height includes the internal leading, about a sixth of it.
  if (height_ > 0) return (height_ * 5 + 3) / 6;
  return 12;
}

bool TFont::operator==(const TFont& other) const {
  return name_ == other.name_ && height_ == other.height_ && charset_ == other.charset_ &&
         color_ == other.color_ && bold_ == other.bold_;
}

void TPen::SetColor(TColor color) {
  if (color == color_) return;
  color_ = color;
  Changed();
}

void TPen::SetStyle(TPenStyle style) {
  if (style == style_) return;
  style_ = style;
  Changed();
}

void TPen::SetWidth(int width) {
  if (width == width_) return;
  width_ = width;
  Changed();
}

void TBrush::SetColor(TColor color) {
  if (color == color_) return;
  color_ = color;
  Changed();
}

void TBrush::SetStyle(TBrushStyle style) {
  if (style == style_) return;
  style_ = style;
  Changed();
}
