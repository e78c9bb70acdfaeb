#include "window/qt/VelmoWindow.h"

#include <QContextMenuEvent>
#include <cstdlib>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

#include "window/qt/DialogControls.h"
#include "window/qt/LogPane.h"
#include "platform/TextCodec.h"

namespace velmo {

namespace {

QString FromGbk(const std::string& gbk) { return QString::fromStdString(GbkToUtf8(gbk)); }

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

QIcon VelmoIcon() {
  QIcon icon;
  for (int size : {16, 32}) {
    QPixmap pixmap(size, size);
    pixmap.fill(QColor(0x1f, 0x5f, 0x9f));
    QPainter p(&pixmap);
    p.setPen(Qt::white);
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(size * 3 / 4);
    p.setFont(f);
    p.drawText(pixmap.rect(), Qt::AlignCenter, "V");
    icon.addPixmap(pixmap);
  }
  return icon;
}

QFont DialogFont() {
  // The design's font is 宋体 at 9 points, whose dialog base units are 6 by
  // 12 pixels. Where it is missing, a Ming face of the same proportions (the
  // setup installs AR PL UMing) or a CJK sans face stands in, at the pixel
  // size whose base units come closest to the design's dialog size.
  QFont font;
  font.setFamilies({U("宋体"), "SimSun", "AR PL UMing CN", "WenQuanYi Micro Hei", "Noto Sans CJK SC"});
  int best = -1, bestMiss = 0;
  for (int px = 8; px <= 24; ++px) {
    font.setPixelSize(px);
    const QSize units = DialogBaseUnits(font);
    const int miss = std::abs(643 * units.width() / 4 - kDesignWidth) + std::abs(444 * units.height() / 8 - kDesignHeight);
    if (best < 0 || miss < bestMiss) {
      best = px;
      bestMiss = miss;
    }
  }
  font.setPixelSize(best);
  return font;
}

QSize DialogBaseUnits(const QFont& font) {
  // As dialogs compute them: half of (the width of the 52 letters / 26 + 1),
  // and the text height.
  QFontMetrics fm(font);
  const QString letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  return QSize((fm.horizontalAdvance(letters) / 26 + 1) / 2, fm.height());
}

CVelmoWindow::CVelmoWindow(CVelmoDlg& dlg, CEventLog& log, QWidget* parent)
    : QDialog(parent), dlg_(dlg), eventLog_(log) {
  setFont(DialogFont());
  const QSize units = DialogBaseUnits(font());
  baseX_ = units.width();
  baseY_ = units.height();

  setWindowTitle("Velmo");
  setWindowIcon(VelmoIcon());
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  QRect size = DialogRect(0, 0, 643, 444);
  setFixedSize(size.width(), size.height());

  // Template order; the group boxes go behind what they frame.
  auto* ok = Add(kIdOk, new QPushButton(U("确定"), this), 486, 15, 50, 14, false);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  auto* cancelRecv = Add(kIdCancelRecv, new QPushButton(U("取消接收"), this), 554, 15, 37, 14, false);
  connect(cancelRecv, &QPushButton::clicked, this, [this] { dlg_.OnCancelRecv(); });
  info_ = Add(kIdInfo, new QLabel(U("信息"), this), 322, 25, 234, 8, false);
  Add(0, new QLabel(U("在线设备数："), this), 15, 82, 49, 8, true);
  deviceCount_ = Add(kIdDeviceCount, new QLabel("0", this), 73, 82, 39, 8, true);
  auto* closeAll = Add(kIdCloseAll, new QPushButton(U("关闭连接"), this), 227, 23, 50, 14, true);
  connect(closeAll, &QPushButton::clicked, this, [this] { dlg_.OnCloseAll(); });
  Add(0, new QLabel(U("网络消息"), this), 386, 34, 33, 8, false);
  lastData_ = Add(kIdLastData, new QLabel(QString(), this), 321, 15, 189, 8, true);
  auto* stop = Add(kIdStopListen, new QPushButton(U("停止监听"), this), 121, 23, 50, 14, true);
  connect(stop, &QPushButton::clicked, this, [this] { dlg_.OnStopListen(); });
  auto* start = Add(kIdStartListen, new QPushButton(U("开始监听"), this), 15, 23, 50, 14, true);
  connect(start, &QPushButton::clicked, this, [this] { dlg_.OnStartListen(); });
  weatherFile_ = Add(kIdWeatherFile, new QLineEdit(U("C:\\Q917\\weather.htm"), this), 422, 15, 56, 14, false);
  Add(0, new QLabel(U("天气文件："), this), 383, 17, 39, 8, false);
  auto* browse = Add(kIdBrowse, new QPushButton("...", this), 521, 31, 50, 14, false);
  connect(browse, &QPushButton::clicked, this, &CVelmoWindow::BrowseWeatherFile);

  list_ = Add(kIdDeviceList, new CReportList(3, this), 15, 95, 614, 157, true);
  list_->setHorizontalHeaderLabels({U("序号"), U("设备SN号"), U("设备地址")});
  list_->setColumnWidth(0, 60);
  list_->setColumnWidth(1, 200);
  list_->setColumnWidth(2, 200);
  list_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list_->horizontalHeader()->setStretchLastSection(false);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);

  Add(0, new CDialogGroupBox(U("日志"), this), 7, 264, 629, 172, true)->lower();
  log_ = Add(kIdLog, new CLogPane(this), 15, 275, 614, 157, true);
  Add(0, new CDialogGroupBox(U("设备"), this), 7, 70, 629, 188, true)->lower();
  Add(0, new CDialogGroupBox(U("功能按键"), this), 7, 7, 287, 58, true)->lower();
  Add(0, new CDialogGroupBox("Static", this), 308, 7, 328, 40, false)->lower();
  Add(0, new QLabel(U("在线客户端："), this), 17, 47, 49, 8, true);
  clientCount_ = Add(kIdClientCount, new QLabel("0", this), 73, 47, 39, 8, true);

  // What the dialog logic reports. Log lines come in batches, drained on the
  // GUI thread (before the log is drained there, a line may come from any
  // thread: it is then handed over with a queued call). A text line is told
  // that it changed, at most once until it takes its newest text, so a flood
  // of data frames costs one queued update, not one per frame.
  eventLog_.SetListener([pane = log_](const std::vector<std::string>& gbkLines) {
    QStringList lines;
    for (const auto& l : gbkLines) lines << FromGbk(l);
    if (QThread::currentThread() == pane->thread()) {
      pane->AppendLines(lines);
    } else {
      QMetaObject::invokeMethod(pane, [pane, lines] { pane->AppendLines(lines); }, Qt::QueuedConnection);
    }
  });
  dlg_.SetTextListener([this](CVelmoDlg::TextLine which) {
    QLabel* label = which == CVelmoDlg::TextLine::Info ? info_ : lastData_;
    CVelmoDlg* dlg = &dlg_;
    QMetaObject::invokeMethod(
        label, [label, dlg, which] { label->setText(FromGbk(dlg->TakeText(which))); }, Qt::QueuedConnection);
  });
  dlg_.SetViewListener([this](const DeviceView& view) { ShowView(view); });
}

CVelmoWindow::~CVelmoWindow() {
  eventLog_.SetListener(nullptr);
  dlg_.SetTextListener(nullptr);
  dlg_.SetViewListener(nullptr);
}

template <class W>
W* CVelmoWindow::Add(int id, W* widget, int x, int y, int w, int h, bool visible) {
  widget->setGeometry(DialogRect(x, y, w, h));
  if (auto* label = qobject_cast<QLabel*>(widget)) label->setTextFormat(Qt::PlainText);  // device text is never markup
  widget->setVisible(visible);
  if (id != 0) byId_[id] = widget;
  all_.push_back(widget);
  return widget;
}

QRect CVelmoWindow::DialogRect(int x, int y, int w, int h) const {
  return QRect(x * baseX_ / 4, y * baseY_ / 8, w * baseX_ / 4, h * baseY_ / 8);
}

QWidget* CVelmoWindow::Control(int id) const {
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : it->second;
}

QWidget* CVelmoWindow::ControlByText(const QString& text) const {
  for (QWidget* w : all_) {
    if (auto* label = qobject_cast<QLabel*>(w); label && label->text() == text) return w;
    if (auto* box = qobject_cast<QGroupBox*>(w); box && box->title() == text) return w;
    if (auto* button = qobject_cast<QPushButton*>(w); button && button->text() == text) return w;
  }
  return nullptr;
}

void CVelmoWindow::ShowView(const DeviceView& view) {
  clientCount_->setText(QString::number(view.clientCount));
  deviceCount_->setText(QString::number(view.deviceCount));
  list_->clearContents();
  list_->setRowCount(static_cast<int>(view.rows.size()));
  for (int i = 0; i < static_cast<int>(view.rows.size()); ++i) {
    list_->setItem(i, 0, new QTableWidgetItem(QString::number(i + 1)));
    list_->setItem(i, 1, new QTableWidgetItem(FromGbk(view.rows[static_cast<std::size_t>(i)].sn)));
    list_->setItem(i, 2, new QTableWidgetItem(QString::fromLatin1(view.rows[static_cast<std::size_t>(i)].address)));
  }
}

void CVelmoWindow::BrowseWeatherFile() {
  QString path = QFileDialog::getOpenFileName(nullptr, QString(), QString(), "Htm Files (*.htm);;All Files (*.*)");
  if (path.isEmpty()) return;
  weatherFile_->setText(path);
  dlg_.SetFileDir(path.toStdString());
}

void CVelmoWindow::ShowAbout() {
  QDialog about(this);
  about.setWindowTitle(U("关于 Velmo"));
  about.setFont(font());
  QRect size = DialogRect(0, 0, 235, 55);
  about.setFixedSize(size.width(), size.height());
  auto* iconLabel = new QLabel(&about);
  iconLabel->setPixmap(windowIcon().pixmap(32, 32));
  iconLabel->setGeometry(DialogRect(11, 17, 20, 20));
  auto* name = new QLabel(U("Velmo 1.0 版"), &about);
  name->setGeometry(DialogRect(40, 10, 119, 8));
  auto* line = new QLabel(U("设备服务器"), &about);
  line->setGeometry(DialogRect(40, 25, 119, 8));
  auto* ok = new QPushButton(U("确定"), &about);
  ok->setGeometry(DialogRect(178, 7, 50, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, &about, &QDialog::accept);
  about.exec();
}

void CVelmoWindow::contextMenuEvent(QContextMenuEvent* event) {
  // Linux window managers own the system menu: "About" is offered here instead.
  QMenu menu(this);
  menu.addAction(U("关于 Velmo(&A)..."), this, &CVelmoWindow::ShowAbout);
  menu.exec(event->globalPos());
}

void CVelmoWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    accept();  // the hidden default button ends the dialog
    return;
  }
  QDialog::keyPressEvent(event);  // Escape rejects
}

}  // namespace velmo
