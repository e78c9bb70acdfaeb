#include "window/qt/DialogControls.h"

#include <QPainter>
#include <QStyleOptionHeader>
#include <QStyleOptionViewItem>
#include <QStylePainter>
#include <qdrawutil.h>

namespace velmo {

CDialogGroupBox::CDialogGroupBox(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

QRect CDialogGroupBox::FrameRect() const { return rect().adjusted(0, fontMetrics().height() / 2, 0, 0); }

QRect CDialogGroupBox::TitleRect() const {
  const QFontMetrics fm = fontMetrics();
  const int pad = 2;
  return QRect(fm.averageCharWidth(), 0, fm.horizontalAdvance(title()) + 2 * pad, fm.height());
}

void CDialogGroupBox::paintEvent(QPaintEvent*) {
  // An etched frame, drawn here: the styles' group box frames leave room for
  // a title above them.
  QStylePainter p(this);
  qDrawShadeRect(&p, FrameRect(), palette(), true, 1, 0);
  const QRect where = TitleRect();
  p.fillRect(where, palette().window());
  p.drawItemText(where, Qt::AlignCenter | Qt::TextSingleLine, palette(), isEnabled(), title(), QPalette::WindowText);
}

CReportHeader::CReportHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {}

void CReportHeader::paintEvent(QPaintEvent* event) {
  QHeaderView::paintEvent(event);
  const int end = length() - offset();
  if (end >= viewport()->width()) return;
  // The part after the last column is an empty header section.
  QPainter p(viewport());
  QStyleOptionHeader opt;
  initStyleOption(&opt);
  opt.rect = QRect(end, 0, viewport()->width() - end, viewport()->height());
  opt.section = count();
  opt.position = QStyleOptionHeader::End;
  opt.text.clear();
  style()->drawControl(QStyle::CE_Header, &opt, &p, this);
}

CReportList::CReportList(int columns, QWidget* parent) : QTableWidget(0, columns, parent) {
  setHorizontalHeader(new CReportHeader(this));
  setShowGrid(false);  // drawn below, across the whole list
  verticalHeader()->setVisible(false);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setMinimumSectionSize(1);
  verticalHeader()->setDefaultSectionSize(RowHeight());
}

int CReportList::RowHeight() const { return fontMetrics().height() + 4; }

void CReportList::paintEvent(QPaintEvent* event) {
  QTableWidget::paintEvent(event);
  QPainter p(viewport());
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  p.setPen(QColor::fromRgba(static_cast<QRgb>(style()->styleHint(QStyle::SH_Table_GridLineColor, &option, this))));
  const int width = viewport()->width();
  const int height = viewport()->height();
  // A line under every row, and at the same pitch below the last one.
  const int pitch = verticalHeader()->defaultSectionSize();
  int y = (rowCount() > 0 ? rowViewportPosition(0) : 0) + pitch - 1;
  if (y < 0) y = (y % pitch + pitch) % pitch;  // scrolled: the first line in view
  for (; y < height; y += pitch) p.drawLine(0, y, width, y);
  // A line after every column, from the top to the bottom.
  for (int c = 0; c < columnCount(); ++c) {
    const int x = columnViewportPosition(c) + columnWidth(c) - 1;
    if (x >= 0 && x < width) p.drawLine(x, 0, x, height);
  }
}

}  // namespace velmo
