#include "ui/qt/fitting_label.h"

#include <QFontMetrics>
#include <QPainter>
#include <QTextLayout>
#include <algorithm>

namespace zevuvuri::ui::qt {
namespace {

// Each smaller font tried is this share of the last one.
constexpr double kShrinkStep = 0.9;

// The lines `text` takes in `font` within `area`, the last one elided when
// the rest does not fit; `*whole` says whether it all fitted.
QStringList LinesOf(const QString& text, const QFont& font, const QRect& area, int most, bool* whole) {
  const QFontMetrics metrics(font);
  const int width = std::max(area.width(), 1);
  const int room = std::clamp(area.height() / std::max(metrics.lineSpacing(), 1), 1, std::max(most, 1));
  QString all = text;
  all.replace(QLatin1Char('\n'), QChar::LineSeparator);
  QStringList shown;
  *whole = true;
  QTextLayout layout(all, font);
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  for (;;) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    line.setLineWidth(width);
    if (static_cast<int>(shown.size()) == room - 1) {
      // The last line that fits takes the rest, cut with an ellipsis.
      QString rest = all.mid(line.textStart());
      rest.replace(QChar::LineSeparator, QLatin1Char(' '));
      const QString cut = metrics.elidedText(rest.trimmed(), Qt::ElideRight, width);
      *whole = cut == rest.trimmed();
      shown << cut;
      break;
    }
    shown << all.mid(line.textStart(), line.textLength()).trimmed();
  }
  layout.endLayout();
  return shown;
}

}  // namespace

FittingLabel::FittingLabel(QWidget* parent, int lines, int min_chars)
    : QLabel(parent), lines_(std::max(lines, 1)), min_chars_(std::max(min_chars, 1)) {
  setTextFormat(Qt::PlainText);
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void FittingLabel::ShrinkDownTo(qreal smallest_points) {
  smallest_points_ = smallest_points;
  update();
}

QRect FittingLabel::TextArea() const { return contentsRect().adjusted(margin(), margin(), -margin(), -margin()); }

QFont FittingLabel::ShownFont() const {
  QFont tried = font();
  bool whole = false;
  // A smaller font has room for more lines in the same height.
  const int most = lines_ * QFontMetrics(font()).lineSpacing();
  while (true) {
    const int lines = most / std::max(QFontMetrics(tried).lineSpacing(), 1);
    LinesOf(text(), tried, TextArea(), lines, &whole);
    const qreal smaller = tried.pointSizeF() * kShrinkStep;
    if (whole || smallest_points_ <= 0 || smaller < smallest_points_) return tried;
    tried.setPointSizeF(smaller);
  }
}

QStringList FittingLabel::ShownLines() const {
  const QFont shown_font = ShownFont();
  const int most = lines_ * QFontMetrics(font()).lineSpacing() / std::max(QFontMetrics(shown_font).lineSpacing(), 1);
  bool whole = false;
  return LinesOf(text(), shown_font, TextArea(), most, &whole);
}

QSize FittingLabel::sizeHint() const {
  const QFontMetrics metrics(font());
  const int extra = 2 * (margin() + frameWidth());
  const int wanted = std::min(metrics.horizontalAdvance(text()), 3 * min_chars_ * metrics.averageCharWidth());
  return {std::max(wanted, min_chars_ * metrics.averageCharWidth()) + extra, lines_ * metrics.lineSpacing() + extra};
}

QSize FittingLabel::minimumSizeHint() const {
  const QFontMetrics metrics(font());
  const int extra = 2 * (margin() + frameWidth());
  return {min_chars_ * metrics.averageCharWidth() + extra, lines_ * metrics.lineSpacing() + extra};
}

void FittingLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  drawFrame(&painter);
  const QRect area = TextArea();
  const QFont shown_font = ShownFont();
  const QFontMetrics metrics(shown_font);
  const QStringList shown = ShownLines();
  const int height = static_cast<int>(shown.size()) * metrics.lineSpacing();
  int top = area.top();
  if (alignment() & Qt::AlignVCenter) top += (area.height() - height) / 2;
  if (alignment() & Qt::AlignBottom) top += area.height() - height;
  const Qt::Alignment across = alignment() & Qt::AlignHorizontal_Mask;
  painter.setFont(shown_font);
  painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
  for (const QString& line : shown) {
    painter.drawText(QRect(area.left(), top, area.width(), metrics.lineSpacing()), across | Qt::AlignVCenter, line);
    top += metrics.lineSpacing();
  }
}

}  // namespace zevuvuri::ui::qt
