#include "ui/about_dialog.h"

#include <gtest/gtest.h>

#include "tests/ui/fake_controls.h"
#include "ui/main_dialog.h"

namespace zevuvuri::ui {
namespace {

using testing::FakeAboutBoxOpener;

struct Layout {
  bool type_label, type_field, product_label, product_list;
  bool operator==(const Layout&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Layout& l) {
  return out << "{Type: " << l.type_label << ", field " << l.type_field << ", Product: " << l.product_label
             << ", list " << l.product_list << "}";
}

constexpr Layout kProductPair{false, false, true, true};
constexpr Layout kTypePair{true, true, false, false};
constexpr Layout kBothPairs{true, true, true, true};

struct Window : testing::FakeMainWindow {
  explicit Window(const char* settings_text) : FakeMainWindow(settings_text) {}
  Layout Now() {
    return {controls[id::kTypeLabel].visible, controls[id::kType].visible, controls[id::kProductLabel].visible,
            controls[id::kProductList].visible};
  }
  // Opens the box, clicks its check box `clicks` times and records the layout
  // after each click.
  std::vector<Layout> OpenAndClick(int clicks) {
    std::vector<Layout> seen;
    about.operator_actions = [&](FakeAboutBoxOpener::Box& box) {
      EXPECT_EQ(box.controls.Check(id::kUnlock), CheckState::Unchecked);  // no memory between openings
      for (int i = 0; i < clicks; ++i) {
        box.ClickUnlock();
        seen.push_back(Now());
      }
    };
    EXPECT_TRUE(dialog.OnSysCommand(kAboutCommand));
    return seen;
  }
};

TEST(AboutUnlock, LayoutsAfterEachClick) {
  struct Case {
    const char* name;
    const char* settings;
    Layout initial;
    Layout after_first;
    Layout after_second;
  };
  const Case cases[] = {
      {"ordinary start", nullptr, kProductPair, kTypePair, kProductPair},
      // Already unlocked by the file: the box still opens unchecked, so the
      // first click changes nothing visible.
      {"Type other than 0", "[CONFIG]\nType=8\n", kTypePair, kTypePair, kProductPair},
      {"production with Type 8", "[CONFIG]\nProdmode=1\nType=8\n", kTypePair, kTypePair, kProductPair},
      {"production with Type 0", "[CONFIG]\nProdmode=1\n", kBothPairs, kTypePair, kProductPair},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Window w(c.settings);
    EXPECT_EQ(w.Now(), c.initial);
    const auto seen = w.OpenAndClick(2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], c.after_first);
    EXPECT_EQ(seen[1], c.after_second);
    EXPECT_EQ(w.Now(), c.after_second);  // the layout stays after the box closes
  }
}

TEST(AboutUnlock, OnlyVisibilityChanges) {
  Window w("[CONFIG]\nProdmode=1\n");
  w.controls.ChooseRow(id::kProductList, 3);
  w.dialog.OnProductSelectionChange();
  w.OpenAndClick(0);  // opened and closed untouched
  EXPECT_EQ(w.Now(), kBothPairs);

  w.OpenAndClick(1);
  EXPECT_EQ(w.Now(), kTypePair);
  EXPECT_EQ(w.controls[id::kType].text, L"24");  // the code of the selected row
  EXPECT_EQ(w.controls[id::kProductList].selected, 3);
  EXPECT_FALSE(w.controls[id::kType].enabled);  // production keeps it locked

  // Hiding the Type field keeps the module type for the next upgrade.
  w.OpenAndClick(2);
  EXPECT_EQ(w.Now(), kProductPair);
  w.dialog.OnAcquire();
  ASSERT_EQ(w.target.calls.size(), 2u);
  EXPECT_EQ(w.target.calls[1].type, L"24");
}

}  // namespace
}  // namespace zevuvuri::ui
