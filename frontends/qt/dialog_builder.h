#pragma once

#include <QFont>
#include <QMap>
#include <QPixmap>
#include <QRect>
#include <QVector>
#include <QWidget>

#include "resources/dialog_layout.h"

namespace korvelt::qt {

// Pixels per 4 horizontal and per 8 vertical dialog units, as dialog templates are laid out:
// the dialog font's average character width and its character height.
struct DialogBaseUnits {
  int x = 6;
  int y = 13;
};
DialogBaseUnits BaseUnitsFor(const QFont& font);
QRect ToPixels(const DialogRect& rect, DialogBaseUnits units);

QPixmap ResourceImage(int resourceId);
QFont DialogFont(const DialogTemplate& layout);

// The widgets of one dialog template, built as children of `parent`.
struct BuiltDialog {
  QMap<int, QWidget*> byId;    // controls with an id
  QVector<QWidget*> tabOrder;  // every control, in template order
  DialogBaseUnits units;
};
BuiltDialog BuildDialog(const DialogTemplate& layout, QWidget* parent);

// A caption cut into lines that fit `widthPixels`, as a multi-line button shows it.
QString WrapCaption(const QString& text, const QFontMetrics& metrics, int widthPixels);

}  // namespace korvelt::qt
