// The operator's window without a display (Qt's offscreen platform): controls
// and layout, counters and device list, the log pane's rules, the context
// menus, and its picture.
//
// `window_test --screenshot PATH` runs no test: it shows the window as the
// README pictures it and writes it to PATH (scripts/screenshots).
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>

#include "window/VelmoDlg.h"
#include "socketserver/SocketServer.h"
#include "window/qt/DialogControls.h"
#include "window/qt/LogPane.h"
#include "window/qt/QtLoopBridge.h"
#include "window/qt/VelmoWindow.h"
#include "platform/TextCodec.h"
#include "tests/TestSupport.h"
#include "tools/procstat/ProcStat.h"

namespace velmo::test {
namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// Runs the Qt event loop (and with it Velmo's message loop) until `pred` holds.
bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 5000) {
  QElapsedTimer t;
  t.start();
  while (!pred()) {
    if (t.elapsed() > timeoutMs) return pred();
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// The program's options for the window: every port free, on loopback.
AppOptions WindowOptions() {
  AppOptions o;
  o.bindAddress = "127.0.0.1";
  o.devicePort = 0;
  o.httpPort = 0;
  o.adminPort = 0;
  o.fileDir = "/tmp";
  return o;
}

// The devices of the README's picture: three registered devices and a
// client without an SN, on `port`.
std::vector<std::unique_ptr<FakeDevice>> PictureDevices(std::uint16_t port) {
  std::vector<std::unique_ptr<FakeDevice>> devices;
  for (int i = 0; i < 4; ++i) {
    devices.push_back(std::make_unique<FakeDevice>(port));
    if (i < 3) devices.back()->Send(Frame("-362023010100" + std::to_string(i) + "a00000000000b"));
  }
  return devices;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bridge_ = std::make_unique<CQtLoopBridge>(loop_);
    velmo_ = std::make_unique<CVelmo>(loop_, WindowOptions(), log_);
    dlg_ = std::make_unique<CVelmoDlg>(*velmo_);
    window_ = std::make_unique<CVelmoWindow>(*dlg_, log_);
    window_->show();
  }
  void TearDown() override {
    dlg_->Shutdown();  // the device server stops while the window still stands
    window_.reset();
    dlg_.reset();
    velmo_.reset();
    bridge_.reset();
  }
  void Init() {
    dlg_->OnInitDialog();
    ASSERT_TRUE(PumpUntil([&] { return Pane().contains("Tcp Server Start"); }));
  }
  QString Pane() const { return window_->LogPane()->toPlainText(); }
  QString Text(int id) const { return qobject_cast<QLabel*>(window_->Control(id))->text(); }
  std::uint16_t Port() const { return velmo_->Server()->ListeningPort(); }

  platform::MessageLoop loop_;
  std::unique_ptr<CQtLoopBridge> bridge_;
  CEventLog log_;
  std::unique_ptr<CVelmo> velmo_;
  std::unique_ptr<CVelmoDlg> dlg_;
  std::unique_ptr<CVelmoWindow> window_;
};

TEST_F(WindowTest, ControlsStandWhereTheDialogPutsThem) {
  struct Row {
    int id;
    const char* text;
    int x, y, w, h;
    bool visible;
  } rows[] = {
      {CVelmoWindow::kIdOk, "确定", 486, 15, 50, 14, false},
      {CVelmoWindow::kIdCancelRecv, "取消接收", 554, 15, 37, 14, false},
      {CVelmoWindow::kIdInfo, "信息", 322, 25, 234, 8, false},
      {0, "在线设备数：", 15, 82, 49, 8, true},
      {CVelmoWindow::kIdDeviceCount, "0", 73, 82, 39, 8, true},
      {CVelmoWindow::kIdCloseAll, "关闭连接", 227, 23, 50, 14, true},
      {0, "网络消息", 386, 34, 33, 8, false},
      {CVelmoWindow::kIdLastData, "", 321, 15, 189, 8, true},
      {CVelmoWindow::kIdStopListen, "停止监听", 121, 23, 50, 14, true},
      {CVelmoWindow::kIdStartListen, "开始监听", 15, 23, 50, 14, true},
      {CVelmoWindow::kIdWeatherFile, nullptr, 422, 15, 56, 14, false},
      {0, "天气文件：", 383, 17, 39, 8, false},
      {CVelmoWindow::kIdBrowse, "...", 521, 31, 50, 14, false},
      {CVelmoWindow::kIdDeviceList, nullptr, 15, 95, 614, 157, true},
      {0, "日志", 7, 264, 629, 172, true},
      {CVelmoWindow::kIdLog, nullptr, 15, 275, 614, 157, true},
      {0, "设备", 7, 70, 629, 188, true},
      {0, "功能按键", 7, 7, 287, 58, true},
      {0, "Static", 308, 7, 328, 40, false},
      {0, "在线客户端：", 17, 47, 49, 8, true},
      {CVelmoWindow::kIdClientCount, "0", 73, 47, 39, 8, true},
  };
  for (const auto& r : rows) {
    QWidget* w = r.id ? window_->Control(r.id) : window_->ControlByText(U(r.text));
    ASSERT_NE(w, nullptr) << r.text;
    EXPECT_EQ(w->geometry(), window_->DialogRect(r.x, r.y, r.w, r.h)) << (r.text ? r.text : "") << " " << r.id;
    EXPECT_EQ(w->isVisible(), r.visible) << (r.text ? r.text : "") << " " << r.id;
  }
  EXPECT_EQ(window_->windowTitle(), "Velmo");
  EXPECT_EQ(window_->size(), window_->DialogRect(0, 0, 643, 444).size());
  EXPECT_EQ(window_->minimumSize(), window_->maximumSize());  // no resizing
  EXPECT_FALSE(window_->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(qobject_cast<QLineEdit*>(window_->Control(CVelmoWindow::kIdWeatherFile))->text(), U("C:\\Q917\\weather.htm"));
  EXPECT_GT(window_->DialogRect(0, 0, 643, 444).width(), 643);  // units are converted, not taken as pixels
  // With the font the setup installs the window has its designed size, and
  // fits a 1366x768 screen.
  EXPECT_NEAR(window_->width(), 965, 3);
  EXPECT_NEAR(window_->height(), 666, 3);

  // The group boxes' titles sit on their frame lines, and what they frame
  // keeps its margin inside the frame.
  struct Inside {
    const char* box;
    QWidget* widget;
  } inside[] = {{"设备", window_->ControlByText(U("在线设备数："))},
                {"设备", window_->DeviceList()},
                {"日志", window_->LogPane()},
                {"功能按键", window_->Control(CVelmoWindow::kIdStartListen)}};
  for (const auto& in : inside) {
    QWidget* box = window_->ControlByText(U(in.box));
    ASSERT_NE(box, nullptr) << in.box;
    const QImage image = box->grab().toImage();
    const QRgb background = image.pixel(image.width() / 2, image.height() / 2);
    auto inkInRow = [&](int y, int from, int to) {
      for (int x = from; x < to; ++x) {
        if (image.pixel(x, y) != background) return true;
      }
      return false;
    };
    int line = 0;  // the frame's top line, seen in the middle of the box
    while (line < image.height() && image.pixel(image.width() / 2, line) == background) ++line;
    const int text = box->fontMetrics().height();
    EXPECT_NEAR(line, text / 2, 1) << in.box;
    // The title's letters reach above and below that line.
    const int titleEnd = box->fontMetrics().horizontalAdvance(U(in.box)) + 2 * box->fontMetrics().averageCharWidth();
    EXPECT_TRUE(inkInRow(line - 2, 0, titleEnd)) << in.box;
    EXPECT_TRUE(inkInRow(line + 2, 2, titleEnd)) << in.box;
    EXPECT_GE(in.widget->y() - (box->y() + line), 4) << in.box;
  }
}

TEST_F(WindowTest, CountersAndListBeforeAndAfterTheFirstTick) {
  Init();
  QTableWidget* list = window_->DeviceList();
  ASSERT_EQ(list->columnCount(), 3);
  EXPECT_EQ(list->horizontalHeaderItem(0)->text(), U("序号"));
  EXPECT_EQ(list->horizontalHeaderItem(1)->text(), U("设备SN号"));
  EXPECT_EQ(list->horizontalHeaderItem(2)->text(), U("设备地址"));
  EXPECT_EQ(list->columnWidth(0), 60);
  EXPECT_EQ(list->columnWidth(1), 200);
  EXPECT_EQ(list->columnWidth(2), 200);
  EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(list->rowCount(), 0);
  EXPECT_EQ(Text(CVelmoWindow::kIdClientCount), "0");
  EXPECT_EQ(Text(CVelmoWindow::kIdDeviceCount), "0");

  FakeDevice plain, a, b;
  for (auto* d : {&plain, &a, &b}) ASSERT_TRUE(d->Connect(Port()));
  a.Send(Frame("-3620230101000a00000000000b"));
  b.Send(Frame("-3620230101000a00000000000b"));
  ASSERT_TRUE(PumpUntil([&] { return list->rowCount() == 2; }, 3000));  // within about a second
  EXPECT_EQ(Text(CVelmoWindow::kIdClientCount), "1");
  EXPECT_EQ(Text(CVelmoWindow::kIdDeviceCount), "2");
  EXPECT_EQ(list->item(0, 0)->text(), "1");
  EXPECT_EQ(list->item(1, 0)->text(), "2");
  EXPECT_EQ(list->item(1, 1)->text(), "20230101000a00000000000b");
  EXPECT_EQ(list->item(1, 2)->text(), "127.0.0.1");

  FakeDevice c;
  ASSERT_TRUE(c.Connect(Port()));
  c.Send(Frame("-36C"));
  a.Close();
  ASSERT_TRUE(PumpUntil([&] { return list->rowCount() == 2 && list->item(1, 1)->text() == "C"; }, 3000));
  EXPECT_EQ(list->item(0, 0)->text(), "1");  // renumbered
  EXPECT_EQ(list->item(1, 0)->text(), "2");
}

TEST_F(WindowTest, TheDeviceListIsDrawnAsAReportList) {
  QTableWidget* list = window_->DeviceList();
  list->setRowCount(2);
  list->setItem(0, 1, new QTableWidgetItem("20230101000a00000000000b"));
  const int row = list->rowHeight(0);
  // Rows one text line high: about 14 of them fill the list, as designed.
  EXPECT_LT(row, 2 * list->fontMetrics().height());
  EXPECT_GE(list->viewport()->height() / row, 13);

  // The grid runs across the whole width, under the rows and below them.
  QImage view = list->viewport()->grab().toImage();
  const int right = view.width() - 4;
  const int wide = list->columnViewportPosition(2) + list->columnWidth(2) + 20;  // past the last column
  ASSERT_LT(wide, right);
  for (int r : {0, 1, 5}) {  // two rows and an empty stretch below them
    const int line = (r + 1) * row - 1;
    EXPECT_NE(view.pixel(right, line), view.pixel(right, line - row / 2)) << "row " << r;
    EXPECT_EQ(view.pixel(right, line), view.pixel(wide, line)) << "row " << r;
  }
  // So does the header: past the last column it is an empty header section,
  // not the list's background.
  QImage header = list->horizontalHeader()->viewport()->grab().toImage();
  const int y = header.height() / 2;
  EXPECT_EQ(header.pixel(header.width() - 4, y), header.pixel(list->columnWidth(0) - 4, y));
}

TEST_F(WindowTest, LogPaneKeepsAtMost1000Lines) {
  CLogPane* pane = window_->LogPane();
  for (int i = 1; i <= 1000; ++i) pane->AppendLine(QString("line %1\n").arg(i));
  EXPECT_EQ(pane->LineCount(), 1001);  // 1000 lines and the empty last one
  EXPECT_TRUE(pane->toPlainText().startsWith("line 1\n"));
  pane->AppendLine("line 1001\n");
  EXPECT_EQ(pane->toPlainText(), "line 1001\n");

  pane->ClearLog();
  pane->ClearLog();  // "清除" on an empty pane
  EXPECT_EQ(pane->toPlainText(), "");
  pane->AppendLine("first\n");
  pane->AppendLine("second\n");
  QTextCursor cursor = pane->textCursor();  // the operator selects "first"
  cursor.setPosition(0);
  cursor.setPosition(5, QTextCursor::KeepAnchor);
  pane->setTextCursor(cursor);
  pane->AppendLine("third\n");
  EXPECT_EQ(pane->toPlainText(), "third\n\nsecond\n");
}

TEST(LogRule, ClearsOnlyWhenMoreThan1000Lines) {
  EXPECT_FALSE(MustClearBeforeAppend(1));
  EXPECT_FALSE(MustClearBeforeAppend(1000));
  EXPECT_TRUE(MustClearBeforeAppend(1001));
}

TEST_F(WindowTest, EventLinesButtonsAndTheLastDataLine) {
  Init();
  velmo_->AppendLog("");
  ASSERT_TRUE(PumpUntil([&] { return Pane().count('\n') >= 3; }));
  QRegularExpression empty(U("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d： \n"));
  EXPECT_TRUE(Pane().contains(empty)) << Pane().toStdString();

  qobject_cast<QPushButton*>(window_->Control(CVelmoWindow::kIdCloseAll))->click();
  ASSERT_TRUE(PumpUntil([&] { return Pane().endsWith(U("关闭了所有的连接\n")); }));
  EXPECT_EQ(Pane().count(U("关闭了所有的连接")), 1);
  EXPECT_EQ(Text(CVelmoWindow::kIdInfo), U("关闭了所有的连接"));
  EXPECT_FALSE(window_->Control(CVelmoWindow::kIdInfo)->isVisible());

  FakeDevice d;
  ASSERT_TRUE(d.Connect(Port()));
  d.Send(Frame("123hello"));
  ASSERT_TRUE(PumpUntil([&] { return Text(CVelmoWindow::kIdLastData) == "123hello"; }));
  EXPECT_TRUE(PumpUntil([&] { return Pane().contains(U("： 123hello\n")); }));  // a separate queued line
  // Device text is shown as it came, never as markup: the line is as wide as
  // the same text in a plain label.
  const std::string markup = "123<b>bold</b>&lt;";
  d.Send(Frame(markup));
  ASSERT_TRUE(PumpUntil([&] { return Text(CVelmoWindow::kIdLastData) == QString::fromStdString(markup); }));
  auto* lastData = qobject_cast<QLabel*>(window_->Control(CVelmoWindow::kIdLastData));
  EXPECT_EQ(lastData->sizeHint().width(), lastData->fontMetrics().horizontalAdvance(QString::fromStdString(markup)) +
                                              2 * lastData->margin() + 2 * lastData->frameWidth());
  for (int id : {CVelmoWindow::kIdInfo, CVelmoWindow::kIdClientCount, CVelmoWindow::kIdDeviceCount}) {
    EXPECT_EQ(qobject_cast<QLabel*>(window_->Control(id))->textFormat(), Qt::PlainText) << id;
  }

  qobject_cast<QPushButton*>(window_->Control(CVelmoWindow::kIdStopListen))->click();
  EXPECT_FALSE(velmo_->Server()->IsListening());
  qobject_cast<QPushButton*>(window_->Control(CVelmoWindow::kIdStartListen))->click();
  EXPECT_TRUE(velmo_->Server()->IsListening());
}

// Clicks the right button at `pos` of `target` and reports the popup menu
// that opened, if any (it is closed again at once).
QStringList RightClick(QWidget* target, QPoint pos) {
  QStringList seen;
  QTimer::singleShot(50, [&] {
    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
      for (QAction* a : menu->actions()) seen << a->text();
      menu->close();
    }
  });
  QPoint global = target->mapToGlobal(pos);
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(pos), QPointF(global), Qt::RightButton, Qt::RightButton,
                    Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(pos), QPointF(global), Qt::RightButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(target, &press);
  QApplication::sendEvent(target, &release);
  QContextMenuEvent context(QContextMenuEvent::Mouse, pos, global);
  QApplication::sendEvent(target, &context);
  PumpUntil([] { return false; }, 120);
  return seen;
}

TEST_F(WindowTest, RightClickMenus) {
  EXPECT_EQ(RightClick(window_->LogPane()->viewport(), {20, 20}), QStringList{U("清除")});
  EXPECT_EQ(RightClick(window_.get(), {5, 5}), QStringList{U("关于 Velmo(&A)...")});
}

TEST_F(WindowTest, AFloodOfDataFramesKeepsMemoryFlatAndTheApiServed) {
  Init();
  ASSERT_TRUE(PumpUntil([&] { return velmo_->HttpPort() != 0; }));
  const std::string sn = "20230101000a00000000000b";
  FakeDevice device, flooder;
  ASSERT_TRUE(device.Connect(Port()));
  ASSERT_TRUE(flooder.Connect(Port()));
  std::atomic<bool> done{false};
  std::thread heartbeats([&] {  // a device that heartbeats and reads, as devices do
    while (!done) {
      device.Send(Frame("-36" + sn));
      device.Receive(1 << 16, 200ms);
    }
  });
  PumpUntil([] { return false; }, 300);
  const long before = procstat::StatusField("self", "VmRSS");

  // 500 000 small data frames from one connection, each a log line and a
  // last-data text for the window.
  constexpr int kFrames = 500000;
  std::thread flood([&] {
    std::string chunk;
    for (int i = 0; i < kFrames; ++i) {
      chunk += Frame(i + 1 == kFrames ? "123end" : "123x");
      if (chunk.size() > 64 * 1024 || i + 1 == kFrames) {
        flooder.Send(chunk);
        chunk.clear();
      }
    }
  });
  QLabel* lastData = qobject_cast<QLabel*>(window_->Control(CVelmoWindow::kIdLastData));
  ASSERT_TRUE(PumpUntil([&] { return lastData->text() == "123end"; }, 120000));
  flood.join();
  PumpUntil([] { return false; }, 300);
  const long after = procstat::StatusField("self", "VmRSS");

  // Meanwhile and after, a command for the other device is taken as ever.
  std::uint16_t httpPort = velmo_->HttpPort();
  auto answer = std::async(std::launch::async, [httpPort, sn] {
    FakeDevice client(httpPort);
    client.Send("POST /api/cmd HTTP/1.1\r\nSN: " + sn + "\r\nContent-Length: 2\r\n\r\nhi");
    return client.ReceiveUntil("\r\n0\r\n\r\n", 10000ms);
  });
  PumpUntil([&] { return answer.wait_for(0ms) == std::future_status::ready; }, 10000);
  std::string reply = answer.get();
  done = true;
  heartbeats.join();
  EXPECT_NE(reply.find("{ \"device_online_status\": 1 }"), std::string::npos) << reply;
  EXPECT_LE(window_->LogPane()->LineCount(), 1001);
#if !defined(VELMO_SANITIZED)
  // (Under the sanitizers freed memory is held on purpose.)
  EXPECT_LT(after - before, 20 * 1024) << "resident memory grew by " << after - before << " KB";
#else
  (void)before;
  (void)after;
#endif
}

TEST_F(WindowTest, ThePictureOfTheWindowShowsItWhole) {
  Init();
  auto devices = PictureDevices(Port());
  ASSERT_TRUE(PumpUntil([&] { return window_->DeviceList()->rowCount() == 3; }, 3000));
  ASSERT_TRUE(PumpUntil([&] { return Text(CVelmoWindow::kIdClientCount) == "1"; }));
  const QImage shot = window_->grab().toImage();
  // The designed size, as the README states it.
  EXPECT_EQ(shot.size(), window_->size());
  EXPECT_NEAR(shot.width(), 965, 3);
  EXPECT_NEAR(shot.height(), 666, 3);
  // Every control is drawn into it as it draws itself: the device list with
  // its three rows, the counters.
  struct {
    const char* name;
    QWidget* widget;
  } parts[] = {{"device list", window_->DeviceList()},
               {"client counter", window_->Control(CVelmoWindow::kIdClientCount)},
               {"device counter", window_->Control(CVelmoWindow::kIdDeviceCount)}};
  for (const auto& part : parts) {
    const QImage alone = part.widget->grab().toImage().convertToFormat(shot.format());
    const QRect where(part.widget->mapTo(window_.get(), QPoint(0, 0)), part.widget->size());
    EXPECT_TRUE(shot.copy(where) == alone) << part.name;
  }
}

// Shows the window with the picture's devices and writes it to `path` as PNG.
int SaveScreenshot(const char* path) {
  platform::MessageLoop loop;
  CQtLoopBridge bridge(loop);
  CEventLog log;
  CVelmo velmo(loop, WindowOptions(), log);
  CVelmoDlg dlg(velmo);
  CVelmoWindow window(dlg, log);
  window.show();
  dlg.OnInitDialog();
  bool shown = PumpUntil([&] { return window.LogPane()->toPlainText().contains("Tcp Server Start"); });
  auto devices = PictureDevices(velmo.Server()->ListeningPort());
  shown = shown && PumpUntil([&] { return window.DeviceList()->rowCount() == 3; }, 3000);
  const bool saved = shown && window.grab().save(QString::fromLocal8Bit(path), "PNG");
  dlg.Shutdown();  // the device server stops while the window still stands
  if (!saved) std::fprintf(stderr, "window_test: %s\n", shown ? "the picture could not be written" : "the devices did not show");
  return saved ? 0 : 1;
}

}  // namespace
}  // namespace velmo::test

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (!std::getenv("XDG_RUNTIME_DIR")) setenv("XDG_RUNTIME_DIR", "/tmp", 1);
  QApplication app(argc, argv);
  if (argc == 3 && std::string(argv[1]) == "--screenshot") return velmo::test::SaveScreenshot(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
