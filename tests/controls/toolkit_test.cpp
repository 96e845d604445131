#include "tests/controls/test_support.h"

#include <gtest/gtest.h>

namespace ket::test {
namespace {

// The main window's layout, reduced: panels aligned top, bottom and client inside a panel.
TEST(Alignment, StacksTopAndBottomControlsByTheirPlacesAndFillsTheRest) {
  TestForm form(550, 299);
  TPanel gp(&form);
  gp.SetParent(&form);
  gp.SetAlign(alClient);
  gp.SetBevelOuter(bvNone);
  TBevel bevel3(&form);
  bevel3.SetParent(&gp);
  bevel3.SetAlign(alBottom);
  bevel3.SetBounds(0, 235, 550, 3);
  TBevel bevel1(&form);
  bevel1.SetParent(&gp);
  bevel1.SetAlign(alTop);
  bevel1.SetBounds(0, 119, 550, 2);
  TPanel panel1(&form);
  panel1.SetParent(&gp);
  panel1.SetAlign(alBottom);
  panel1.SetBounds(0, 238, 550, 30);
  TPanel panel6(&form);
  panel6.SetParent(&gp);
  panel6.SetAlign(alClient);
  TPanel panel4(&form);
  panel4.SetParent(&gp);
  panel4.SetAlign(alTop);
  panel4.SetBounds(0, 0, 550, 119);
  TLabel top(&form);
  top.SetParent(&form);
  top.SetAlign(alTop);
  top.SetBounds(0, 0, 550, 31);
  form.FinishCreate();

  EXPECT_EQ(gp.BoundsRect().top, 31);
  EXPECT_EQ(gp.Height(), 268);
  EXPECT_EQ(panel4.Top(), 0);
  EXPECT_EQ(bevel1.Top(), 119);
  EXPECT_EQ(panel1.Top(), 238);
  EXPECT_EQ(bevel3.Top(), 235);
  EXPECT_EQ(panel6.Top(), 121);
  EXPECT_EQ(panel6.Height(), 114);
  EXPECT_EQ(panel6.Width(), 550);
}

} // namespace
} // namespace ket::test
