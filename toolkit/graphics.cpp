#include "toolkit/graphics.h"

#include <algorithm>
#include <vector>

namespace ket {

COLORREF ColorToRGB(TColor color) {
  if ((color & 0xFF000000u) == 0xFF000000u)
    return GetSysColor(static_cast<int>(color & 0xFFu));
  return color & 0x00FFFFFFu;
}

int ScreenPixelsPerInch() {
  static const int ppi = [] {
    HDC dc = GetDC(nullptr);
    const int value = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    return value > 0 ? value : 96;
  }();
  return ppi;
}

// --- TFont

TFont::TFont() : name_(u"MS Sans Serif"), height_(MulDiv(8, ScreenPixelsPerInch(), 72)) {}

void TFont::SetName(std::u16string_view name) {
  if (name_ == name)
    return;
  name_ = name;
  Changed();
}

void TFont::SetHeight(int pixels) {
  if (height_ == pixels)
    return;
  height_ = pixels;
  Changed();
}

int TFont::Size() const {
  return MulDiv(height_, 72, ScreenPixelsPerInch());
}

void TFont::SetSize(int points) {
  SetHeight(MulDiv(points, ScreenPixelsPerInch(), 72));
}

void TFont::SetStyle(TFontStyles style) {
  if (style_ == style)
    return;
  style_ = style;
  Changed();
}

void TFont::SetColor(TColor color) {
  if (color_ == color)
    return;
  color_ = color;
  Changed();
}

void TFont::SetCharset(BYTE charset) {
  if (charset_ == charset)
    return;
  charset_ = charset;
  Changed();
}

bool TFont::SameAs(const TFont& other) const {
  return name_ == other.name_ && height_ == other.height_ && style_ == other.style_ &&
         color_ == other.color_ && charset_ == other.charset_;
}

void TFont::Assign(const TFont& other) {
  if (SameAs(other))
    return;
  name_ = other.name_;
  height_ = other.height_;
  style_ = other.style_;
  color_ = other.color_;
  charset_ = other.charset_;
  Changed();
}

void TFont::Changed() {
  stale_ = true;
  if (OnChange)
    OnChange();
}

HFONT TFont::Handle() const {
  if (stale_ || !handle_) {
    LOGFONTW lf{};
    lf.lfHeight = -height_;
    lf.lfWeight = (style_ & fsBold) ? FW_BOLD : FW_NORMAL;
    lf.lfItalic = (style_ & fsItalic) ? TRUE : FALSE;
    lf.lfUnderline = (style_ & fsUnderline) ? TRUE : FALSE;
    lf.lfStrikeOut = (style_ & fsStrikeOut) ? TRUE : FALSE;
    lf.lfCharSet = charset_;
    lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
    lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
    lf.lfQuality = DEFAULT_QUALITY;
    lf.lfPitchAndFamily = DEFAULT_PITCH;
    const size_t n = std::min(name_.size(), static_cast<size_t>(LF_FACESIZE - 1));
    std::copy_n(name_.data(), n, reinterpret_cast<char16_t*>(lf.lfFaceName));
    handle_.reset(CreateFontIndirectW(&lf));
    stale_ = false;
  }
  return handle_.get();
}

// --- TBitmap

void TBitmap::Take(HBITMAP bitmap) {
  handle_.reset(bitmap);
  width_ = height_ = 0;
  if (bitmap) {
    BITMAP info{};
    GetObjectW(bitmap, sizeof info, &info);
    width_ = info.bmWidth;
    height_ = info.bmHeight;
  }
}

bool TBitmap::LoadFromResourceName(HINSTANCE module, std::u16string_view name) {
  const std::u16string terminated(name);
  HBITMAP bitmap = LoadBitmapW(module, Wide(terminated));
  Take(bitmap);
  return bitmap != nullptr;
}

void TBitmap::Clear() {
  Take(nullptr);
}

COLORREF TBitmap::Pixel(int x, int y) const {
  if (!handle_ || x < 0 || y < 0 || x >= width_ || y >= height_)
    return 0;
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, handle_.get());
  const COLORREF color = GetPixel(dc, x, y);
  SelectObject(dc, old);
  DeleteDC(dc);
  return color;
}

// --- TCanvas

TCanvas::TCanvas() = default;

TCanvas::~TCanvas() {
  SetHandle(nullptr);
}

void TCanvas::SetHandle(HDC dc) {
  if (dc_ && savedFont_)
    SelectObject(dc_, savedFont_);
  savedFont_ = nullptr;
  dc_ = dc;
}

void TCanvas::PrepareText() {
  HGDIOBJ previous = SelectObject(dc_, font_.Handle());
  if (!savedFont_)
    savedFont_ = previous;
  SetTextColor(dc_, ColorToRGB(font_.Color()));
  if (brushStyle_ == bsClear) {
    SetBkMode(dc_, TRANSPARENT);
  } else {
    SetBkMode(dc_, OPAQUE);
    SetBkColor(dc_, ColorToRGB(brushColor_));
  }
}

SIZE TCanvas::TextExtent(std::u16string_view text) {
  SIZE size{0, 0};
  if (!dc_)
    return size;
  PrepareText();
  GetTextExtentPoint32W(dc_, WideData(text), static_cast<int>(text.size()), &size);
  return size;
}

void TCanvas::FillRect(const RECT& rect) {
  FillRect(rect, brushColor_);
}

void TCanvas::FillRect(const RECT& rect, TColor color) {
  if (!dc_)
    return;
  // SetBkColor + ExtTextOut fills without making a brush.
  const COLORREF old = SetBkColor(dc_, ColorToRGB(color));
  ExtTextOutW(dc_, 0, 0, ETO_OPAQUE, &rect, nullptr, 0, nullptr);
  SetBkColor(dc_, old);
}

void TCanvas::DrawFocusRect(const RECT& rect) {
  if (!dc_)
    return;
  // The focus rectangle is drawn by XOR with the text colours at their defaults.
  SetTextColor(dc_, RGB(0, 0, 0));
  SetBkColor(dc_, RGB(255, 255, 255));
  ::DrawFocusRect(dc_, &rect);
}

int TCanvas::DrawText(std::u16string_view text, RECT& rect, UINT format) {
  if (!dc_)
    return 0;
  PrepareText();
  return ::DrawTextW(dc_, WideData(text), static_cast<int>(text.size()), &rect, format);
}

void TCanvas::DrawTransparent(int x, int y, const TBitmap& bitmap, COLORREF transparent) {
  if (!dc_ || bitmap.Empty())
    return;
  const int w = bitmap.Width();
  const int h = bitmap.Height();
  HDC src = CreateCompatibleDC(dc_);
  HGDIOBJ oldSrc = SelectObject(src, bitmap.Handle());

  // Mask: 1 where the picture has the transparent colour.
  HDC maskDc = CreateCompatibleDC(dc_);
  UniqueGdi<HBITMAP> mask(CreateBitmap(w, h, 1, 1, nullptr));
  HGDIOBJ oldMask = SelectObject(maskDc, mask.get());
  SetBkColor(src, transparent);
  BitBlt(maskDc, 0, 0, w, h, src, 0, 0, SRCCOPY);

  // The picture with its transparent pixels made black, to be ORed in.
  HDC imageDc = CreateCompatibleDC(dc_);
  UniqueGdi<HBITMAP> image(CreateCompatibleBitmap(dc_, w, h));
  HGDIOBJ oldImage = SelectObject(imageDc, image.get());
  BitBlt(imageDc, 0, 0, w, h, src, 0, 0, SRCCOPY);
  SetBkColor(imageDc, RGB(0, 0, 0));
  SetTextColor(imageDc, RGB(255, 255, 255));
  BitBlt(imageDc, 0, 0, w, h, maskDc, 0, 0, SRCAND);

  // Clear the opaque part of the destination, then put the picture in.
  const COLORREF oldBk = SetBkColor(dc_, RGB(255, 255, 255));
  const COLORREF oldText = SetTextColor(dc_, RGB(0, 0, 0));
  BitBlt(dc_, x, y, w, h, maskDc, 0, 0, SRCAND);
  BitBlt(dc_, x, y, w, h, imageDc, 0, 0, SRCPAINT);
  SetBkColor(dc_, oldBk);
  SetTextColor(dc_, oldText);

  SelectObject(imageDc, oldImage);
  DeleteDC(imageDc);
  SelectObject(maskDc, oldMask);
  DeleteDC(maskDc);
  SelectObject(src, oldSrc);
  DeleteDC(src);
}

void Frame3D(TCanvas& canvas, RECT& rect, TColor top, TColor bottom, int width) {
  for (int i = 0; i < width; ++i) {
    if (rect.right - rect.left <= 0 || rect.bottom - rect.top <= 0)
      return;
    const LONG l = rect.left, t = rect.top, r = rect.right - 1, b = rect.bottom - 1;
    canvas.FillRect({l, t, r, t + 1}, top);        // top row up to the top-right corner
    canvas.FillRect({l, t, l + 1, b}, top);        // left column down to the bottom-left
    canvas.FillRect({r, t, r + 1, b + 1}, bottom); // right column, with the top-right corner
    canvas.FillRect({l, b, r + 1, b + 1}, bottom); // bottom row, with the bottom-left corner
    InflateRect(&rect, -1, -1);
  }
}

char16_t AccelChar(std::u16string_view caption) {
  for (size_t i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != u'&')
      continue;
    if (caption[i + 1] == u'&') {
      ++i;
      continue;
    }
    return caption[i + 1];
  }
  return 0;
}

bool IsAccel(char16_t ch, std::u16string_view caption) {
  const char16_t accel = AccelChar(caption);
  if (!accel || !ch)
    return false;
  wchar_t a[2] = {static_cast<wchar_t>(accel), 0};
  wchar_t b[2] = {static_cast<wchar_t>(ch), 0};
  CharUpperW(a);
  CharUpperW(b);
  return a[0] == b[0];
}

} // namespace ket
