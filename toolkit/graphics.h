// Fonts, bitmaps and the drawing canvas of the toolkit.
#pragma once

#include "base/wide.h"
#include "toolkit/types.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <windows.h>

namespace ket {

// Font styles: a set of these bits.
using TFontStyles = unsigned;
inline constexpr TFontStyles fsBold = 0x1;
inline constexpr TFontStyles fsItalic = 0x2;
inline constexpr TFontStyles fsUnderline = 0x4;
inline constexpr TFontStyles fsStrikeOut = 0x8;

// Pixels per inch of the screen, read once.
int ScreenPixelsPerInch();

struct GdiObjectDeleter {
  void operator()(HGDIOBJ object) const {
    if (object)
      DeleteObject(object);
  }
};
template <class H> using UniqueGdi = std::unique_ptr<std::remove_pointer_t<H>, GdiObjectDeleter>;

// A font description and its GDI font, made when first asked for. A new font is the
// application's default: "MS Sans Serif", 8 points at the screen's density, window-text colour,
// default character set, no style.
class TFont {
 public:
  TFont();
  TFont(const TFont&) = delete;
  TFont& operator=(const TFont&) = delete;

  const std::u16string& Name() const { return name_; }
  void SetName(std::u16string_view name);
  // Character height in pixels (the cell height less its internal leading).
  int Height() const { return height_; }
  void SetHeight(int pixels);
  // Size in points at the screen's density; setting it sets Height.
  int Size() const;
  void SetSize(int points);
  TFontStyles Style() const { return style_; }
  void SetStyle(TFontStyles style);
  TColor Color() const { return color_; }
  void SetColor(TColor color);
  BYTE Charset() const { return charset_; }
  void SetCharset(BYTE charset);

  // Takes every attribute of another font; one change notification.
  void Assign(const TFont& other);
  bool SameAs(const TFont& other) const;

  HFONT Handle() const;

  // Called after every change.
  std::function<void()> OnChange;

 private:
  void Changed();

  std::u16string name_;
  int height_;
  TFontStyles style_ = 0;
  TColor color_ = clWindowText;
  BYTE charset_ = DEFAULT_CHARSET;
  mutable UniqueGdi<HFONT> handle_;
  mutable bool stale_ = true;
};

// A device-dependent bitmap, empty or loaded from the program's bitmap resources.
class TBitmap {
 public:
  TBitmap() = default;
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;

  // LoadBitmapW from the given module; false and empty when there is no such resource.
  bool LoadFromResourceName(HINSTANCE module, std::u16string_view name);
  void Clear();

  bool Empty() const { return !handle_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  HBITMAP Handle() const { return handle_.get(); }
  // The colour of one pixel (0 outside the picture).
  COLORREF Pixel(int x, int y) const;

 private:
  void Take(HBITMAP bitmap);

  UniqueGdi<HBITMAP> handle_;
  int width_ = 0;
  int height_ = 0;
};

enum TBrushStyle { bsSolid, bsClear };

// Drawing on a device context that someone else owns (a paint, a print, a memory bitmap). The
// canvas selects its font into the context for text operations and restores the context's own
// font when detached.
class TCanvas {
 public:
  TCanvas();
  ~TCanvas();
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;

  HDC Handle() const { return dc_; }
  void SetHandle(HDC dc);

  TFont& Font() { return font_; }
  TColor BrushColor() const { return brushColor_; }
  void SetBrushColor(TColor color) { brushColor_ = color; }
  TBrushStyle BrushStyle() const { return brushStyle_; }
  void SetBrushStyle(TBrushStyle style) { brushStyle_ = style; }

  SIZE TextExtent(std::u16string_view text);
  int TextWidth(std::u16string_view text) { return TextExtent(text).cx; }
  int TextHeight(std::u16string_view text) { return TextExtent(text).cy; }

  // Fills with the brush colour (whatever the brush style).
  void FillRect(const RECT& rect);
  void FillRect(const RECT& rect, TColor color);
  void DrawFocusRect(const RECT& rect);
  // DrawTextW in the font and its colour; a clear brush leaves the background as it is.
  int DrawText(std::u16string_view text, RECT& rect, UINT format);
  // Copies a bitmap to (x, y), leaving out every pixel of the transparent colour.
  void DrawTransparent(int x, int y, const TBitmap& bitmap, COLORREF transparent);

 private:
  void PrepareText();

  HDC dc_ = nullptr;
  HGDIOBJ savedFont_ = nullptr;
  TFont font_;
  TColor brushColor_ = clWhite;
  TBrushStyle brushStyle_ = bsSolid;
};

// A 3-D frame of the given width inside rect: top row and left column in `top`, right column and
// bottom row in `bottom` (the top-right and bottom-left corner pixels take `bottom`). rect shrinks
// by the width on every side.
void Frame3D(TCanvas& canvas, RECT& rect, TColor top, TColor bottom, int width);

// The character after a single "&" of a caption ("&&" stands for "&"); 0 when there is none.
char16_t AccelChar(std::u16string_view caption);
// Whether a typed character is the caption's accelerator, ignoring case.
bool IsAccel(char16_t ch, std::u16string_view caption);

} // namespace ket
