// A label that never widens its window for its text: it wraps the text over
// the lines it has room for (a word longer than the line is broken), draws
// it in a smaller font when that makes it fit (down to a size it is given),
// and elides the last line only when even that does not. The whole text stays its text(); the window puts it
// in the tooltip and the accessible name too.
#pragma once

#include <QLabel>
#include <QStringList>

namespace zevuvuri::ui::qt {

class FittingLabel final : public QLabel {
 public:
  // `lines`: the most it shows, and the height it asks for; `min_chars`: the
  // width it asks for at least, in average characters of its font.
  FittingLabel(QWidget* parent, int lines, int min_chars);

  // Smaller fonts, down to `smallest_points`, are tried before a text is
  // cut; none by default.
  void ShrinkDownTo(qreal smallest_points);
  // The font the text is drawn in at the present size and text.
  QFont ShownFont() const;
  // The lines as drawn at the present size; the last ends in "…" when the
  // text did not fit.
  QStringList ShownLines() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QRect TextArea() const;

  int lines_;
  int min_chars_;
  qreal smallest_points_ = 0;
};

}  // namespace zevuvuri::ui::qt
