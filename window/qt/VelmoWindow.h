// CVelmoWindow: the operator's window, laid out as Velmo's main dialog: the
// group "功能按键" with the listen/stop/close buttons and the client counter,
// the group "设备" with the device counter and list, the group "日志" with the
// event log, the last-data line at the top right, and the hidden controls of
// the design (they exist and stay hidden). Positions are dialog units,
// converted to pixels from the dialog font's metrics.
//
// The window only shows what CVelmoDlg reports and forwards clicks to it.
// Thread safety: GUI thread only; the listeners it installs hand lines from
// other threads over with queued calls and never wait.
#pragma once

#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QRect>
#include <QSize>
#include <map>

#include "platform/EventLog.h"
#include "window/VelmoDlg.h"

class QLabel;
class QLineEdit;
class QTableWidget;

namespace velmo {

class CLogPane;

class CVelmoWindow : public QDialog {
  Q_OBJECT
 public:
  // Control ids of the design; static texts and group boxes have none.
  enum ControlId {
    kIdOk = 1,
    kIdCancelRecv = 1001,
    kIdInfo = 1003,
    kIdDeviceCount = 1006,
    kIdCloseAll = 1007,
    kIdLastData = 1008,
    kIdStopListen = 1009,
    kIdStartListen = 1010,
    kIdWeatherFile = 1011,
    kIdBrowse = 1012,
    kIdClientCount = 1013,
    kIdDeviceList = 1014,
    kIdLog = 1016,
  };

  CVelmoWindow(CVelmoDlg& dlg, CEventLog& log, QWidget* parent = nullptr);
  ~CVelmoWindow() override;

  // Pixels of a rectangle given in dialog units.
  QRect DialogRect(int x, int y, int w, int h) const;
  // The control with `id`, or the static text / group box with `text`.
  QWidget* Control(int id) const;
  QWidget* ControlByText(const QString& text) const;
  CLogPane* LogPane() const { return log_; }
  QTableWidget* DeviceList() const { return list_; }
  void ShowAbout();

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  template <class W>
  W* Add(int id, W* widget, int x, int y, int w, int h, bool visible);
  void ShowView(const DeviceView& view);
  void BrowseWeatherFile();

  CVelmoDlg& dlg_;
  CEventLog& eventLog_;
  int baseX_ = 0, baseY_ = 0;  // dialog base units in pixels
  std::map<int, QWidget*> byId_;
  std::vector<QWidget*> all_;
  CLogPane* log_ = nullptr;
  QTableWidget* list_ = nullptr;
  QLabel* clientCount_ = nullptr;
  QLabel* deviceCount_ = nullptr;
  QLabel* info_ = nullptr;
  QLabel* lastData_ = nullptr;
  QLineEdit* weatherFile_ = nullptr;
};

// Builds the application icon (drawn, no resource file).
QIcon VelmoIcon();

// The main dialog's size in pixels with the design's font: 643 by 444 dialog
// units at base units of 6 by 12 pixels.
inline constexpr int kDesignWidth = 964;
inline constexpr int kDesignHeight = 666;

// The dialog font: the design's face where it exists, else a stand-in at the
// pixel size that keeps the dialog closest to its designed size.
QFont DialogFont();
// The dialog base units of `font` in pixels (width: average letter, height:
// text line).
QSize DialogBaseUnits(const QFont& font);

}  // namespace velmo
