// The headless application: log lines, text conversion at the edges, the
// command line, and the dialog's handlers driven by a real device connection.
#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/stat.h>
#include <fstream>

#include <regex>

#include "platform/EventLog.h"
#include "app/Options.h"
#include "platform/TextCodec.h"
#include "app/Velmo.h"
#include "window/VelmoDlg.h"
#include "platform/Process.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/SocketServer.h"
#include "tests/TestSupport.h"

namespace velmo::test {
namespace {

TEST(LogLine, TimestampFullWidthColonMessageNewline) {
  platform::LocalTime t{2024, 5, 1, 8, 3, 9, 3};
  EXPECT_EQ(FormatLogLine(t, "Tcp Server Start"), "2024-05-01 08:03:09\xA3\xBA Tcp Server Start\n");
  EXPECT_EQ(FormatLogLine(t, ""), "2024-05-01 08:03:09\xA3\xBA \n");
  EXPECT_EQ(GbkToUtf8(FormatLogLine(t, "x")), "2024-05-01 08:03:09\xEF\xBC\x9A x\n");
}

TEST(TextCodec, GbkToUtf8ConvertsAndReplacesWhatIsNotGbk) {
  struct Case {
    std::string gbk, utf8;
  } cases[] = {
      {"plain ascii", "plain ascii"},
      {"\xD6\xD0\xCE\xC4", "中文"},
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},   // 0xFF is no GBK byte
      {"end\xD6", "end\xEF\xBF\xBD"},       // a lead byte cut off at the end
      {std::string("nul\0x", 5), std::string("nul\0x", 5)},
  };
  for (const auto& c : cases) EXPECT_EQ(GbkToUtf8(c.gbk), c.utf8) << c.utf8;
  EXPECT_EQ(Utf8ToGbkText("关闭了所有的连接"), "\xB9\xD8\xB1\xD5\xC1\xCB\xCB\xF9\xD3\xD0\xB5\xC4\xC1\xAC\xBD\xD3");
}

TEST(EventLog, AFloodIsBoundedAndTheDropIsSaidInOneLine) {
  CEventLog log;
  std::vector<std::string> written;
  log.SetListener([&](const std::vector<std::string>& batch) { written.insert(written.end(), batch.begin(), batch.end()); });
  int asked = 0;
  std::function<void()> drain;
  log.SetDrainScheduler([&](std::function<void()> d) {
    ++asked;
    drain = std::move(d);
    return true;
  });
  const std::size_t n = CEventLog::kMaxBuffered + 5;
  for (std::size_t i = 0; i < n; ++i) log.Append("line " + std::to_string(i));
  EXPECT_EQ(asked, 1);           // one drain asked for, however many lines
  EXPECT_TRUE(written.empty());  // nothing reaches the sinks on the appending thread
  drain();
  ASSERT_EQ(written.size(), CEventLog::kMaxBuffered + 1);
  EXPECT_EQ(written.front().substr(22), "line 0\n");
  EXPECT_EQ(written[CEventLog::kMaxBuffered - 1].substr(22), "line 9999\n");
  EXPECT_EQ(written.back().substr(22), "5 log lines were dropped: the log could not keep up\n");
  log.Append("after");
  EXPECT_EQ(asked, 2);
  log.SetDrainScheduler(nullptr);  // what waits is written at once, and so is everything after
  EXPECT_EQ(written.back().substr(22), "after\n");
  log.Append("direct");
  EXPECT_EQ(written.back().substr(22), "direct\n");
}

TEST(CommandLine, DefaultsAreTheDesignedValues) {
  const char* argv[] = {"velmo"};
  AppOptions o;
  std::string err;
  ASSERT_EQ(ParseCommandLine(1, argv, &o, &err), ParseResult::Run);
  EXPECT_FALSE(o.headless);
  EXPECT_EQ(o.devicePort, 8899);
  EXPECT_EQ(o.httpPort, 8003);
  EXPECT_EQ(o.bindAddress, "");
  EXPECT_EQ(o.fileDir, "");
}

TEST(CommandLine, OptionsAndErrors) {
  const std::string longDir(300, 'd');
  struct Case {
    std::vector<const char*> args;
    ParseResult result;
    std::string errorPart;
  } cases[] = {
      {{"--headless", "--device-port", "9000", "--http-port=9001", "--bind", "127.0.0.1"}, ParseResult::Run, ""},
      {{"--file-dir", "/tmp/x", "--led-file", "/tmp/led", "--log-file", "/tmp/log"}, ParseResult::Run, ""},
      {{"--help"}, ParseResult::Help, ""},
      {{"-h"}, ParseResult::Help, ""},
      {{"--bogus"}, ParseResult::Error, "unknown option '--bogus'"},
      {{"--device-port"}, ParseResult::Error, "needs a value"},
      {{"--device-port", "65536"}, ParseResult::Error, "not a port number"},
      {{"--http-port", "80x"}, ParseResult::Error, "not a port number"},
      {{"--http-port", ""}, ParseResult::Error, "not a port number"},
      {{"--headless=yes"}, ParseResult::Error, "takes no value"},
      {{"--file-dir", longDir.c_str()}, ParseResult::Error, "longer than 259"},
      {{"--io-threads", "4"}, ParseResult::Run, ""},
      {{"--io-threads=256"}, ParseResult::Run, ""},
      {{"--io-threads", "0"}, ParseResult::Error, "not a number of threads (1-256)"},
      {{"--io-threads", "257"}, ParseResult::Error, "not a number of threads"},
      {{"--io-threads", "two"}, ParseResult::Error, "not a number of threads"},
      {{"--device-port=9000", "--file-dir=/tmp/x", "--log-file=/tmp/log"}, ParseResult::Run, ""},
      {{"--device-port="}, ParseResult::Error, "option --device-port: '' is not a port number"},
      {{"--headless", "extra"}, ParseResult::Error, "unexpected argument 'extra'"},
      {{"-v"}, ParseResult::Error, "unknown option '-v'"},
      {{"--device-port", "9000", "--help", "--bogus"}, ParseResult::Help, ""},
      {{"--admin-port", "off"}, ParseResult::Run, ""},
      {{"--admin-port=9004", "--admin-bind", "0.0.0.0", "--admin-token-file", "/t"}, ParseResult::Run, ""},
      {{"--admin-port", "x"}, ParseResult::Error, "is not a port number (0-65535) or off"},
  };
  for (auto& c : cases) {
    std::vector<const char*> argv{"velmo"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    AppOptions o;
    std::string err;
    EXPECT_EQ(ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &o, &err), c.result) << c.args[0];
    if (!c.errorPart.empty()) {
      EXPECT_NE(err.find(c.errorPart), std::string::npos) << err;
    }
  }
  const char* argv[] = {"velmo", "--headless", "--device-port", "9000", "--http-port=9001", "--bind", "10.1.2.3"};
  AppOptions o;
  std::string err;
  ASSERT_EQ(ParseCommandLine(7, argv, &o, &err), ParseResult::Run);
  EXPECT_TRUE(o.headless);
  EXPECT_EQ(o.devicePort, 9000);
  EXPECT_EQ(o.httpPort, 9001);
  EXPECT_EQ(o.bindAddress, "10.1.2.3");
}

TEST(CommandLine, TheManagementPortNeedsATokenOffLoopback) {
  const std::string file = "/tmp/velmo-token-" + std::to_string(getpid());
  std::ofstream(file) << "s3cret \n";
  chmod(file.c_str(), 0600);
  struct Case {
    std::string bind, tokenFile;
    bool enabled, ok;
    std::string token, errorPart;
  } cases[] = {
      {"127.0.0.1", "", true, true, "", ""},
      {"0.0.0.0", "", true, false, "", "--admin-bind 0.0.0.0 opens the management port to the network"},
      {"0.0.0.0", "", false, true, "", ""},  // --admin-port off
      {"0.0.0.0", file, true, true, "s3cret", ""},
      {"127.0.0.1", file + ".missing", true, false, "", "cannot read the token file"},
  };
  for (const auto& c : cases) {
    AppOptions o;
    o.adminBind = c.bind;
    o.adminTokenFile = c.tokenFile;
    o.adminEnabled = c.enabled;
    std::string error, warning;
    EXPECT_EQ(PrepareAdminAccess(&o, &error, &warning), c.ok) << c.bind << " " << c.tokenFile;
    EXPECT_EQ(o.adminToken, c.token);
    EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
    EXPECT_TRUE(warning.empty()) << warning;
  }
  chmod(file.c_str(), 0644);  // readable by everybody: a warning, the token still counts
  AppOptions o;
  o.adminTokenFile = file;
  std::string error, warning;
  EXPECT_TRUE(PrepareAdminAccess(&o, &error, &warning));
  EXPECT_NE(warning.find("may be read by others"), std::string::npos);
  EXPECT_EQ(warning.find("s3cret"), std::string::npos);  // the token itself is never shown
  std::remove(file.c_str());
}

// The program and its dialog on their own window thread, logging into a list
// of messages.
class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetListener([this](const std::vector<std::string>& batch) {
      for (const auto& line : batch) {
        // Keep the message: drop "YYYY-MM-DD HH:MM:SS： " (22 GBK bytes) and "\n".
        std::string message = line.substr(22, line.size() - 23);
        // The HTTP thread's first line races the device server's; checked on its own.
        if (message == "Http Start") {
          ++httpStarts_;
        } else {
          lines_.Add(message);
        }
      }
    });
  }
  void TearDown() override {
    window_.Call([&] {
      dlg_.reset();
      velmo_.reset();
    });
  }
  void Init(AppOptions options) {
    options.bindAddress = "127.0.0.1";
    options.httpPort = 0;
    options.adminPort = 0;
    window_.Call([&] {
      velmo_ = std::make_unique<CVelmo>(window_.Loop(), options, log_);
      dlg_ = std::make_unique<CVelmoDlg>(*velmo_);
      dlg_->OnInitDialog();
    });
  }
  std::uint16_t Port() { return window_.Call([&] { return velmo_->Server()->ListeningPort(); }); }
  // The program's event handlers, as the device server calls them.
  void* Handlers() { return &velmo_->Handlers(); }

  LoopThread window_;
  CEventLog log_;
  EventRecorder lines_;
  std::atomic<int> httpStarts_{0};
  std::unique_ptr<CVelmo> velmo_;
  std::unique_ptr<CVelmoDlg> dlg_;
};

TEST_F(DialogTest, ServerEventsBecomeTheirLogLines) {
  AppOptions o;
  o.devicePort = 0;
  Init(o);
  ASSERT_TRUE(lines_.WaitCount("Tcp Server Start", 1));  // lines reach the log on the window thread
  ASSERT_EQ(lines_.Lines().at(0), "Tcp Server Start");
  EXPECT_TRUE(WaitUntil([&] { return httpStarts_.load() == 1; }));
  FakeDevice d;
  ASSERT_TRUE(d.Connect(Port()));
  ASSERT_TRUE(lines_.WaitCount("OnSocketConnect-", 1));
  d.Close();
  ASSERT_TRUE(lines_.WaitCount("OnSocketDisconnect-", 1));
  auto lines = lines_.Lines();
  ASSERT_EQ(lines.size(), 4u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[1], m, std::regex(R"(OnAccept-(\d+) 127\.0\.0\.1:(\d+))")));
  std::string fd = m[1];
  EXPECT_EQ(lines[2], "OnSocketConnect-" + fd);
  EXPECT_EQ(lines[3], "OnSocketDisconnect-" + fd + ", SocketCloseReason=0");
  EXPECT_EQ(dlg_->InfoText(), lines[3]);
}

TEST_F(DialogTest, PortInUseLogsStartFailAndTheButtonRetries) {
  std::uint16_t port = FreePort();
  int blocker = platform::OpenListener("127.0.0.1", port, nullptr);
  AppOptions o;
  o.devicePort = port;
  Init(o);
  ASSERT_TRUE(lines_.WaitCount("Tcp Server Start fail", 1));
  EXPECT_EQ(lines_.Lines().at(0), "Tcp Server Start fail");
  platform::CloseSocket(blocker);
  window_.Call([&] { dlg_->OnStartListen(); });
  FakeDevice d;
  EXPECT_TRUE(d.Connect(port));
  EXPECT_TRUE(lines_.WaitCount("OnSocketConnect-", 1));
}

TEST_F(DialogTest, CloseAllWritesOnlyItsLine) {
  AppOptions o;
  o.devicePort = 0;
  Init(o);
  FakeDevice d;
  ASSERT_TRUE(d.Connect(Port()));
  ASSERT_TRUE(lines_.WaitCount("OnSocketConnect-", 1));
  window_.Call([&] { dlg_->OnCloseAll(); });
  EXPECT_TRUE(d.WaitClosed());
  ASSERT_TRUE(lines_.WaitCount(Utf8ToGbkText("关闭了所有的连接"), 1));
  EXPECT_EQ(lines_.Lines().back(), Utf8ToGbkText("关闭了所有的连接"));
  EXPECT_EQ(lines_.Count("OnSocketDisconnect-"), 0u);
  window_.Call([&] { dlg_->OnCloseAll(); });  // with no connections: just the line again
  EXPECT_TRUE(lines_.WaitCount(Utf8ToGbkText("关闭了所有的连接"), 2));
}

TEST_F(DialogTest, HandlerLinesAndLastData) {
  AppOptions o;
  o.devicePort = 0;
  Init(o);
  void* user = Handlers();
  int accept = 0;
  window_.Call([&] {  // where the device server calls these
    CServerEventHandlers::OnRecvFileRequest(user, "/srv/files/a.bin", &accept);
    CServerEventHandlers::OnRecvFileProgress(user, 3072, 10000);
    CServerEventHandlers::OnRecvFileSucc(user, "/srv/files/a.bin");
    CServerEventHandlers::OnRecvFileFail(user, "/srv/files/a.bin", 5);
    CServerEventHandlers::OnAcceptErr(user, 7);
  });
  EXPECT_EQ(accept, 1);
  CServerEventHandlers::OnRecvData(user, "123abc", 6);  // any thread
  EXPECT_EQ(dlg_->LastData(), "123abc");
  CServerEventHandlers::OnRecvData(user, "12\0" "34", 5);
  EXPECT_EQ(dlg_->LastData(), "12");
  std::string big(10239, 'x');
  big += "yz";
  CServerEventHandlers::OnRecvData(user, big.data(), 10239);
  EXPECT_EQ(dlg_->LastData().size(), 10239u);
  CServerEventHandlers::OnRecvData(user, big.data(), static_cast<int>(big.size()));  // longer: cut, never overrun
  EXPECT_EQ(dlg_->LastData(), std::string(10239, 'x'));

  ASSERT_TRUE(lines_.WaitCount("12", 2));  // "123abc" and "12": the last of them is in
  auto lines = lines_.Lines();
  std::vector<std::string> expected{"Tcp Server Start",
                                    "OnRecvFileRequest: /srv/files/a.bin",
                                    "6928 / 10000",
                                    "OnRecvFileSucc",
                                    "OnRecvFileFail, RecvFileFailReason = 5",
                                    "OnAcceptErr-7",
                                    "123abc",
                                    "12"};
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(expected.size())), expected);
  EXPECT_EQ(dlg_->InfoText(), "OnAcceptErr-7");  // data goes to the last-data line, not the info line
}

TEST_F(DialogTest, TheLastDataLineKeepsOnlyTheNewestTextWithOneUpdateOnItsWay) {
  AppOptions o;
  o.devicePort = 0;
  Init(o);
  std::atomic<int> told{0};
  dlg_->SetTextListener([&](CVelmoDlg::TextLine line) {
    if (line == CVelmoDlg::TextLine::LastData) ++told;
  });
  std::thread flood([&] {
    for (int i = 0; i < 10000; ++i) {
      std::string text = "123 frame " + std::to_string(i);
      CServerEventHandlers::OnRecvData(Handlers(), text.data(), static_cast<int>(text.size()));
    }
  });
  flood.join();
  EXPECT_EQ(told.load(), 1);  // one update on its way, not ten thousand
  EXPECT_EQ(dlg_->TakeText(CVelmoDlg::TextLine::LastData), "123 frame 9999");
  CServerEventHandlers::OnRecvData(Handlers(), "123 next", 8);
  EXPECT_EQ(told.load(), 2);  // taken: the next change is told again
  dlg_->SetTextListener(nullptr);
}

TEST_F(DialogTest, RefreshReportsCountersAndRows) {
  AppOptions o;
  o.devicePort = 0;
  Init(o);
  DeviceView seen;
  std::atomic<int> refreshes{0};
  window_.Call([&] {
    dlg_->SetViewListener([&](const DeviceView& v) {
      seen = v;
      ++refreshes;
    });
  });
  FakeDevice d;
  ASSERT_TRUE(d.Connect(Port()));
  ASSERT_TRUE(lines_.WaitCount("OnSocketConnect-", 1));
  // `seen` belongs to the window thread (the timer writes it too): read it there.
  auto refresh = [&] {
    return window_.Call([&] {
      dlg_->RefreshDeviceView();
      return seen;
    });
  };
  DeviceView view = refresh();
  EXPECT_EQ(view.clientCount, 1);
  EXPECT_EQ(view.deviceCount, 0);
  EXPECT_TRUE(view.rows.empty());
  velmo_->Server()->Registry().Snapshot().at(0)->SetSn("20210807001e00383436470a", 24);
  view = refresh();
  EXPECT_EQ(view.clientCount, 0);
  EXPECT_EQ(view.deviceCount, 1);
  ASSERT_EQ(view.rows.size(), 1u);
  EXPECT_STREQ(view.rows[0].address, "127.0.0.1");
  EXPECT_TRUE(WaitUntil([&] { return refreshes.load() >= 3; }, 3000ms));  // the 1 s timer runs too
}

TEST(ProgramFileDir, DefaultsToTheExecutablesDirectoryWithItsSlash) {
  platform::MessageLoop loop;
  CEventLog log;
  AppOptions o;
  CVelmo a(loop, o, log);
  EXPECT_EQ(a.FileDir(), platform::ExecutableDir());
  EXPECT_EQ(a.FileDir().back(), '/');
  o.fileDir = "/srv/velmo";
  CVelmo b(loop, o, log);
  EXPECT_EQ(b.FileDir(), "/srv/velmo/");
}

}  // namespace
}  // namespace velmo::test
