// Controls drawn the way Velmo's dialog draws them, where Qt's own widgets
// look different:
// - CDialogGroupBox: a group box whose frame line runs through the middle of
//   its title (Qt's styles put the title above the frame and move the frame
//   down by a whole text line);
// - CReportList: a device list drawn as a report list: rows one text line
//   high, the grid across the whole width and down to the bottom, and the
//   header drawn across the whole width (an empty section after the last
//   column).
// Thread safety: GUI thread only, like every widget.
#pragma once

#include <QGroupBox>
#include <QHeaderView>
#include <QTableWidget>

namespace velmo {

class CDialogGroupBox : public QGroupBox {
  Q_OBJECT
 public:
  CDialogGroupBox(const QString& title, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // The frame's rectangle: the widget's, less half a text line at the top.
  QRect FrameRect() const;
  // Where the title is drawn, on the frame's top line.
  QRect TitleRect() const;
};

class CReportHeader : public QHeaderView {
  Q_OBJECT
 public:
  explicit CReportHeader(QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

class CReportList : public QTableWidget {
  Q_OBJECT
 public:
  CReportList(int columns, QWidget* parent);

  // Height of one row: the font's text line and a little room.
  int RowHeight() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace velmo
