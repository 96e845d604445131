// The controls gallery: every custom control and the toolkit's pieces in their states, for a
// person to look at (and for the screenshot in docs/). Point at the hot box, the link and the
// flat buttons to see them react; the group panel's box switches its neighbour's Enabled.
#include "controls/check_box.h"
#include "controls/group_panel.h"
#include "controls/link.h"
#include "controls/styled_button.h"
#include "toolkit/toolkit.h"

#include <memory>
#include <string_view>
#include <vector>
#include <windows.h>

namespace ket {
namespace {

class TGallery : public TForm {
 public:
  TGallery() : TForm(nullptr) {
    SetScaled(false);
    SetClientSize(800, 560);
    SetPosition(poDesigned);
    SetCaption(u"Controls gallery");
    Application().SetHintPause(0);
    CheckBoxes();
    Buttons();
    Groups();
    Pieces();
    FinishCreate();
  }

 protected:
  void CreateParams(TCreateParams& Params) override {
    TForm::CreateParams(Params);
    Params.WinClassName = u"TKetControlsGallery";
  }

 private:
  template <class T> T& Add(TWinControl& parent, int left, int top, int width, int height) {
    auto control = std::make_unique<T>(this);
    T& ref = *control;
    ref.SetParent(&parent);
    ref.SetBounds(left, top, width, height);
    owned_.push_back(std::move(control));
    return ref;
  }

  TLabel& Heading(TWinControl& parent, int left, int top, std::u16string_view text) {
    TLabel& label = Add<TLabel>(parent, left, top, 240, 18);
    label.SetCaption(text);
    label.Font().SetStyle(fsBold);
    return label;
  }

  TPanel& Box(int left, int top, int width, int height) {
    TPanel& panel = Add<TPanel>(*this, left, top, width, height);
    panel.SetBevelOuter(bvNone);
    return panel;
  }

  TEwCheckBox& Check(TWinControl& parent, int top, std::u16string_view caption, bool checked) {
    TEwCheckBox& box = Add<TEwCheckBox>(parent, 0, top, 220, 21);
    box.SetCaption(caption);
    box.SetChecked(checked);
    return box;
  }

  void CheckBoxes() {
    TPanel& col = Box(10, 10, 230, 540);
    Heading(col, 0, 0, u"TEwCheckBox");
    Check(col, 22, u"3-D, unchecked", false);
    Check(col, 44, u"3-D, checked", true);
    Check(col, 66, u"Flat, checked", true).SetFlat(true);
    Check(col, 88, u"Cross mark", true).SetGlyph(igCross);
    Check(col, 110, u"Style lowered", false).SetStyle(bmLowered);
    Check(col, 132, u"Style raised", true).SetStyle(bmRaised);
    TEwCheckBox& hot = Check(col, 154, u"Hot: red under the pointer", false);
    hot.SetHot(true);
    hot.SetHotColor(clRed);
    Check(col, 176, u"Box at the right", true).SetAlignment(taLeftJustify);
    Check(col, 198, u"Centred", true).SetAlignment(taCenter);
    TEwCheckBox& accel = Check(col, 220, u"&Accelerator, focused", false);
    accel.SetFlat(true);
    focused_ = &accel;

    // Round boxes make a radio group within their parent.
    TPanel& radios = Add<TPanel>(col, 0, 246, 230, 70);
    radios.SetBevelOuter(bvNone);
    Check(radios, 0, u"Round 3-D, checked", true).SetRound(true);
    Check(radios, 22, u"Round 3-D", false).SetRound(true);
    TEwCheckBox& flatRound = Check(radios, 44, u"Flat round", false);
    flatRound.SetRound(true);
    flatRound.SetFlat(true);

    Heading(col, 0, 322, u"Disabled");
    for (int i = 0; i < 4; ++i) {
      static const char16_t* const captions[] = {u"3-D, checked", u"Flat, checked",
                                                 u"Round 3-D, checked", u"Flat round, checked"};
      TPanel& holder = Add<TPanel>(col, 0, 344 + 22 * i, 230, 21);
      holder.SetBevelOuter(bvNone);
      TEwCheckBox& box = Check(holder, 0, captions[i], false);
      box.SetFlat(i == 1 || i == 3);
      box.SetRound(i >= 2);
      box.SetChecked(true);
      box.SetEnabled(false);
    }

    TPanel& coloured = Add<TPanel>(col, 0, 440, 230, 60);
    coloured.SetColor(0x00C8F0FF);
    coloured.SetBevelOuter(bvLowered);
    TEwCheckBox& clear = Check(coloured, 8, u"Transparent face", true);
    clear.SetLeft(4);
    clear.SetTransparent(true);
    TEwCheckBox& opaque = Check(coloured, 32, u"Opaque face, flat", true);
    opaque.SetLeft(4);
    opaque.SetFlat(true);
  }

  TSB& Button(TWinControl& parent, int left, int top, int width, int height,
              std::u16string_view caption) {
    TSB& b = Add<TSB>(parent, left, top, width, height);
    b.SetCaption(caption);
    b.SetMyStyle(true);
    return b;
  }

  void Buttons() {
    TPanel& col = Box(250, 10, 270, 250);
    Heading(col, 0, 0, u"TSB");
    TSB& install = Button(col, 0, 22, 138, 30, u"Install >>");
    install.SetsbType(sbOk);
    TSB& folder = Button(col, 150, 24, 29, 28, u"");
    folder.LoadGlyph(u"FolderGlyph");
    folder.SetHint(u"Select folder");
    folder.SetShowHint(true);
    TSB& disabled = Button(col, 0, 60, 138, 30, u"Disabled");
    disabled.SetEnabled(false);
    TSB& folderOff = Button(col, 150, 62, 29, 28, u"");
    folderOff.LoadGlyph(u"FolderGlyph");
    folderOff.SetEnabled(false);
    TSB& latched = Button(col, 0, 98, 138, 30, u"Down (latched)");
    latched.SetGroupIndex(1);
    latched.SetDown(true);
    TSpeedButton& plain = Add<TSpeedButton>(col, 150, 98, 110, 30);
    plain.SetCaption(u"Not flat");
    TSB& opaque = Button(col, 0, 136, 138, 30, u"Opaque face");
    opaque.SetTransparent(false);
    opaque.SetColor(0x00C8F0FF);

    Heading(col, 0, 176, u"TLink");
    TLink& link = Add<TLink>(col, 0, 196, 265, 22);
    link.SetCaption(u"Official website of the program ");
    link.Font().SetStyle(fsBold | fsUnderline);
    link.SetLayout(tlCenter);
    TLink& hover = Add<TLink>(col, 0, 220, 265, 22);
    hover.SetCaption(u"A link under the pointer");
    hover.Font().SetStyle(fsBold | fsUnderline);
    hover.SetLayout(tlCenter);
    hovered_ = &hover;
  }

  void GroupContents(TGroupPanel& gp, bool enabled) {
    TLabel& label = Add<TLabel>(gp, 8, 6, 200, 18);
    label.SetCaption(enabled ? u"TGroupPanel, enabled" : u"TGroupPanel, disabled");
    TComboBox& combo = Add<TComboBox>(gp, 8, 26, 150, 24);
    combo.SetItems({u"English", u"Russian (Русский)"});
    combo.SetItemIndex(1);
    combo.Font().SetCharset(RUSSIAN_CHARSET);
    TEwCheckBox& box = Check(gp, 54, u"Create desktop icon", true);
    box.SetLeft(8);
    box.SetFlat(true);
    TPanel& inner = Add<TPanel>(gp, 8, 80, 240, 34);
    inner.SetBevelOuter(bvLowered);
    TEdit& edit = Add<TEdit>(inner, 4, 5, 150, 24);
    edit.SetText(u"C:\\!KetroNew\\");
    TSB& b = Button(inner, 160, 3, 29, 28, u"");
    b.LoadGlyph(u"FolderGlyph");
    gp.SetEnabled(enabled);
  }

  void Groups() {
    TGroupPanel& on = Add<TGroupPanel>(*this, 530, 10, 260, 122);
    TGroupPanel& off = Add<TGroupPanel>(*this, 530, 138, 260, 122);
    GroupContents(on, true);
    GroupContents(off, false);
  }

  void Pieces() {
    TPanel& area = Box(250, 270, 540, 280);
    Heading(area, 0, 0, u"Toolkit pieces");
    TPanel& framed = Add<TPanel>(area, 0, 22, 270, 104);
    framed.SetBevelInner(bvRaised);
    framed.SetBevelOuter(bvLowered);
    framed.SetBorderWidth(5);
    TProgressBar& bar = Add<TProgressBar>(framed, 0, 0, 10, 29);
    bar.SetAlign(alBottom);
    bar.SetMax(100);
    bar.SetPosition(60);
    TLabel& file = Add<TLabel>(framed, 0, 0, 10, 23);
    file.SetAlign(alBottom);
    file.SetLayout(tlCenter);
    file.SetCaption(u"data\\maps\\legend.txt");
    TLabel& title = Add<TLabel>(framed, 0, 0, 10, 10);
    title.SetAlign(alClient);
    title.SetAlignment(taCenter);
    title.SetLayout(tlCenter);
    title.SetCaption(u"Copy new files");
    title.Font().SetStyle(fsBold);

    TLabel& left = Add<TLabel>(area, 280, 22, 260, 16);
    left.SetCaption(u"Left, top");
    TLabel& right = Add<TLabel>(area, 280, 40, 260, 16);
    right.SetCaption(u"Right-justified");
    right.SetAlignment(taRightJustify);
    TLabel& lines = Add<TLabel>(area, 280, 58, 260, 36);
    lines.SetCaption(u"A caption with a line break (CR),\rthen its second line");
    TLabel& off = Add<TLabel>(area, 280, 96, 260, 16);
    off.SetCaption(u"Disabled label, &engraved");
    off.SetEnabled(false);
    TBevel& line = Add<TBevel>(area, 280, 116, 260, 2);
    line.SetShape(bsBottomLine);
    TBevel& top = Add<TBevel>(area, 280, 122, 260, 2);
    top.SetShape(bsTopLine);
    top.SetStyle(bsRaised);

    TMemo& memo = Add<TMemo>(area, 0, 134, 540, 70);
    memo.SetText(u"Periodically check for updates, it will provide you with the latest version "
                 u"of the program!\r\rA multi-line edit box: word wrap on, CR breaks lines.");
    TEdit& edit = Add<TEdit>(area, 0, 212, 260, 24);
    edit.SetText(u"A single-line edit box");
    TComboBox& combo = Add<TComboBox>(area, 280, 212, 186, 24);
    combo.SetItems({u"English", u"Russian (Русский)"});
    combo.SetItemIndex(0);
    combo.Font().SetCharset(RUSSIAN_CHARSET);
  }

 public:
  // After the window is up: the focused box and the link shown as under the pointer.
  void Present() {
    if (focused_)
      focused_->SetFocus();
    if (hovered_)
      hovered_->Font().SetColor(clRed);
  }

 private:
  std::vector<std::unique_ptr<TControl>> owned_;
  TEwCheckBox* focused_ = nullptr;
  TLink* hovered_ = nullptr;
};

} // namespace
} // namespace ket

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  ket::Application().Initialize();
  ket::Application().SetTitle(u"Controls gallery");
  ket::TGallery gallery;
  gallery.OnActivate = [&gallery](ket::TObject*) { gallery.Present(); };
  ket::Application().Run(gallery);
  return 0;
}
