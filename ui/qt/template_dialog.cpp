#include "ui/qt/template_dialog.h"

#include <QCheckBox>
#include <QDialog>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

#include "ui/qt/app_icon_qt.h"
#include "ui/qt/drop_down_combo.h"

namespace zevuvuri::ui::qt {
namespace {

QString FromView(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

bool Has(const ControlTemplate& control, std::uint32_t flag) { return (control.styles & flag) != 0; }

Qt::Alignment HorizontalAlignment(const ControlTemplate& control) {
  if (Has(control, style::kAlignCenter)) return Qt::AlignHCenter;
  if (Has(control, style::kAlignRight)) return Qt::AlignRight;
  return Qt::AlignLeft;
}

// A push button as the platform's dialog has it: it looks like the default
// button, and Enter presses it, only while it has the focus. Qt's dialogs
// would keep one of their buttons marked as the default while a field has the
// focus, though Enter in a field closes this window.
class FocusDefaultButton final : public QPushButton {
 public:
  FocusDefaultButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    setAutoDefault(false);
  }

 protected:
  void focusInEvent(QFocusEvent* event) override {
    setDefault(true);
    QPushButton::focusInEvent(event);
  }
  void focusOutEvent(QFocusEvent* event) override {
    if (event->reason() != Qt::PopupFocusReason) setDefault(false);  // a context menu only passes over it
    QPushButton::focusOutEvent(event);
  }
};

QWidget* CreateControl(const ControlTemplate& control, QDialog& dialog) {
  const QString caption = FromView(control.caption);
  switch (control.kind) {
    case ControlKind::PushButton:
      return new FocusDefaultButton(caption, &dialog);
    case ControlKind::DefaultPushButton: {
      auto* button = new QPushButton(caption, &dialog);
      button->setDefault(true);
      return button;
    }
    case ControlKind::AutoCheckBox:
      return new QCheckBox(caption, &dialog);
    case ControlKind::Label: {
      auto* label = new QLabel(&dialog);
      // Status texts are shown as they are, never as markup.
      label->setTextFormat(Qt::PlainText);
      label->setText(caption);
      // A static's text starts at its top unless it asks to be centred.
      label->setAlignment(HorizontalAlignment(control) |
                          (Has(control, style::kCenterVertically) ? Qt::AlignVCenter : Qt::AlignTop));
      if (Has(control, style::kBorder)) label->setFrameStyle(QFrame::Box | QFrame::Plain);
      // A static paints its own background, hiding what lies under it.
      label->setAutoFillBackground(true);
      return label;
    }
    case ControlKind::Icon: {
      auto* label = new QLabel(&dialog);
      label->setPixmap(ApplicationIcon().pixmap(32, 32));
      return label;
    }
    case ControlKind::Edit: {
      auto* edit = new QLineEdit(caption, &dialog);
      edit->setAlignment(HorizontalAlignment(control) | Qt::AlignVCenter);
      edit->setFrame(Has(control, style::kBorder));
      return edit;
    }
    case ControlKind::ProgressBar: {
      auto* bar = new QProgressBar(&dialog);
      bar->setTextVisible(false);
      bar->setRange(0, 100);  // the platform's default range
      bar->setValue(0);
      return bar;
    }
    case ControlKind::DropDownCombo: {
      return new DropDownCombo(&dialog);
    }
  }
  return nullptr;
}

QRect ToQRect(PixelRect r) { return QRect(r.x, r.y, r.width, r.height); }

}  // namespace

QFont DialogFont(const DialogTemplate& dialog) {
  const QString face = FromView(dialog.font_face);
  if (QFont::substitutes(face).isEmpty()) {
    QFont::insertSubstitutions(face, {QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"),
                                      QStringLiteral("Liberation Sans")});
  }
  QFont font(face, dialog.font_points);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

BaseUnits BaseUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  return BaseUnitsFor(metrics.horizontalAdvance(QString::fromLatin1(kBaseUnitAlphabet)), metrics.height());
}

TemplateWidgets BuildFromTemplate(QDialog& dialog, const DialogTemplate& dialog_template) {
  TemplateWidgets built;
  const QFont font = DialogFont(dialog_template);
  dialog.setFont(font);
  dialog.setWindowTitle(FromView(dialog_template.title));
  built.units = BaseUnitsOf(font);
  dialog.setFixedSize(DluToPixelsX(dialog_template.width, built.units),
                      DluToPixelsY(dialog_template.height, built.units));

  QWidget* previous_tab_stop = nullptr;
  for (const ControlTemplate& control : dialog_template.controls) {
    QWidget* widget = CreateControl(control, dialog);
    QRect rect = ToQRect(DluToPixels(control.rect, built.units));
    if (control.kind == ControlKind::DropDownCombo) {
      // The template's height includes the dropped-down list.
      rect.setHeight(std::min(rect.height(), widget->sizeHint().height()));
    } else if (control.kind == ControlKind::Icon) {
      rect.setSize(QSize(32, 32));  // an icon static takes the icon's size
    }
    widget->setGeometry(rect);
    // The template's first control is the topmost, as with the platform's
    // dialogs; Qt stacks later children on top, so each goes under the others.
    // It matters where controls overlap: the Type pair lies over the list.
    widget->lower();
    if (control.id != id::kNone) {
      widget->setObjectName(QString::number(control.id));
      built.by_id[control.id] = widget;
    }
    if (Has(control, style::kTabStop)) {
      widget->setFocusPolicy(Qt::StrongFocus);
      if (previous_tab_stop != nullptr) QWidget::setTabOrder(previous_tab_stop, widget);
      previous_tab_stop = widget;
    } else if (widget->focusPolicy() != Qt::NoFocus) {
      widget->setFocusPolicy(Qt::ClickFocus);  // reachable by the mouse, not by Tab
    }
    built.in_order.push_back(widget);
  }
  return built;
}

}  // namespace zevuvuri::ui::qt
