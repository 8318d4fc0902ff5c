#include "frontends/qt/dialog_builder.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

namespace korvelt::qt {

DialogBaseUnits BaseUnitsFor(const QFont& font) {
  QFontMetrics metrics(font);
  static const QString kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  DialogBaseUnits units;
  units.x = (metrics.horizontalAdvance(kAlphabet) / 26 + 1) / 2;
  units.y = metrics.height();
  return units;
}

QRect ToPixels(const DialogRect& rect, DialogBaseUnits units) {
  return QRect(rect.x * units.x / 4, rect.y * units.y / 8, rect.width * units.x / 4,
               rect.height * units.y / 8);
}

QPixmap ResourceImage(int resourceId) {
  switch (resourceId) {
    case IDR_MAINFRAME:
      return QPixmap(":/images/icon_128_app.png");
    case IDI_PORT_OFF:
      return QPixmap(":/images/icon_133_port_off.png");
    case IDI_PORT_ON:
      return QPixmap(":/images/icon_134_port_on.png");
    case IDB_INSTRUMENT:
      return QPixmap(":/images/bitmap_210_instrument.png");
    default:
      return {};
  }
}

QString WrapCaption(const QString& text, const QFontMetrics& metrics, int widthPixels) {
  const int usable = widthPixels - 8;  // the button's own frame
  QStringList lines;
  QString line;
  for (const QString& word : text.split(' ', Qt::SkipEmptyParts)) {
    QString candidate = line.isEmpty() ? word : line + ' ' + word;
    if (!line.isEmpty() && metrics.horizontalAdvance(candidate) > usable) {
      lines << line;
      line = word;
    } else {
      line = candidate;
    }
  }
  if (!line.isEmpty()) lines << line;
  return lines.join('\n');
}

namespace {

QWidget* MakeControl(const ControlTemplate& control, const QRect& pixels, QWidget* parent) {
  const QString text = QString::fromUtf8(control.text.data(), int(control.text.size()));
  switch (control.kind) {
    case ControlKind::kPushButton:
    case ControlKind::kDefaultButton:
      return new QPushButton(text, parent);
    case ControlKind::kMultiLineButton:
      return new QPushButton(WrapCaption(text, QFontMetrics(parent->font()), pixels.width()),
                             parent);
    case ControlKind::kIconStatic: {
      auto* label = new QLabel(parent);
      label->setPixmap(ResourceImage(control.imageResource));
      return label;
    }
    case ControlKind::kBitmapStatic: {
      auto* label = new QLabel(parent);
      label->setPixmap(ResourceImage(control.imageResource));
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      return label;
    }
    case ControlKind::kLabel:
      return new QLabel(text, parent);
    case ControlKind::kGroupBox:
    case ControlKind::kCenteredGroupBox: {
      auto* box = new QGroupBox(text, parent);
      if (control.kind == ControlKind::kCenteredGroupBox) box->setAlignment(Qt::AlignHCenter);
      box->setAttribute(Qt::WA_TransparentForMouseEvents);
      return box;
    }
    case ControlKind::kDropDownCombo: {
      auto* combo = new QComboBox(parent);
      combo->setEditable(true);
      combo->setInsertPolicy(QComboBox::NoInsert);
      return combo;
    }
    case ControlKind::kEdit:
      if (control.multiLine) {
        auto* edit = new QPlainTextEdit(parent);
        edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        return edit;
      } else {
        auto* edit = new QLineEdit(parent);
        edit->setReadOnly(control.readOnly);
        return edit;
      }
  }
  return new QWidget(parent);
}

}  // namespace

BuiltDialog BuildDialog(const DialogTemplate& layout, QWidget* parent) {
  BuiltDialog built;
  built.units = BaseUnitsFor(parent->font());
  QVector<QWidget*> background;
  for (const ControlTemplate& control : layout.controls) {
    const QRect pixels = ToPixels(control.rect, built.units);
    QWidget* widget = MakeControl(control, pixels, parent);
    QRect geometry = pixels;
    if (control.kind == ControlKind::kDropDownCombo) {
      // The template's height is that of the open list; the closed combo is one line high.
      geometry.setHeight(std::max(widget->sizeHint().height(), 12 * built.units.y / 8));
    }
    widget->setGeometry(geometry);
    widget->setVisible(control.visible);
    widget->setEnabled(control.enabled);
    widget->setObjectName(QStringLiteral("control_%1").arg(control.id));
    widget->setProperty("controlId", control.id);
    if (control.id != IDC_STATIC) built.byId.insert(control.id, widget);
    built.tabOrder.append(widget);
    if (control.kind == ControlKind::kGroupBox || control.kind == ControlKind::kCenteredGroupBox ||
        control.kind == ControlKind::kBitmapStatic) {
      background.append(widget);
    }
  }
  for (int i = 1; i < built.tabOrder.size(); ++i) {
    QWidget::setTabOrder(built.tabOrder[i - 1], built.tabOrder[i]);
  }
  // Frames and the picture lie under the controls they surround.
  for (QWidget* widget : background) widget->lower();
  parent->setFixedSize(ToPixels({0, 0, layout.width, layout.height}, built.units).size());
  return built;
}

}  // namespace korvelt::qt
