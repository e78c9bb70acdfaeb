#include "window/VelmoDlg.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <pthread.h>

#include "admin/AdminRoutes.h"
#include "platform/TextCodec.h"
#include "platform/Process.h"
#include "protocol/FileRecver.h"
#include "socketserver/FleetCounters.h"
#include "socketserver/FleetEvents.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo {

namespace {
constexpr int kLastDataBytes = 10240;  // the last-data text holds 10239 bytes + NUL

CVelmoDlg& Dlg(void* user) { return *static_cast<CVelmoDlg*>(user); }
}  // namespace

CVelmoDlg::CVelmoDlg(platform::MessageLoop& loop, const AppOptions& options, CEventLog& log)
    : loop_(loop), options_(options), log_(log) {
  fileDir_ = options_.fileDir.empty() ? platform::ExecutableDir() : options_.fileDir;
  if (!fileDir_.empty() && fileDir_.back() != '/') fileDir_.push_back('/');
}

CVelmoDlg::~CVelmoDlg() { Shutdown(); }

void CVelmoDlg::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  if (refreshTimer_) loop_.KillTimer(refreshTimer_);
  refreshTimer_ = 0;
  // The API and the management port first: once their threads have ended,
  // nothing but the device server's own threads reaches a connection while
  // the server takes them down.
  if (adminServer_) adminServer_->Stop();
  if (adminThread_.joinable()) adminThread_.join();
  if (cluster_) cluster_->Stop();
  if (webhook_) webhook_->Stop();
  if (httpServer_) httpServer_->Stop();
  if (httpThread_.joinable()) httpThread_.join();
  server_.reset();
  log_.SetDrainScheduler(nullptr);  // what waits is written now, the rest at once
}

void CVelmoDlg::OnInitDialog() {
  // Log lines reach their sinks on this thread, in batches; no other thread
  // ever waits for it.
  log_.SetDrainScheduler([&loop = loop_](std::function<void()> drain) {
    return loop.PostTask(std::move(drain)) == platform::PostResult::Ok;
  });
  // The device server exists before the API and the management port run
  // (their routes read it); it starts listening further down.
  server_ = std::make_unique<CSocketServer>(loop_, this);
  server_->SetIoThreads(options_.ioThreads);
  server_->SetProxyProtocol(options_.proxyProtocol);
  ServerTimings timings;
  timings.proxyHeaderWait = options_.proxyHeaderWait;
  server_->SetTimings(timings);
  server_->SetFileDir(fileDir_.c_str());
  server_->SetBindAddress(options_.bindAddress.c_str());
  server_->SetPort(options_.devicePort);
  server_->SetProgressInterval(1000);
  ProtocolSettings protocol;
  protocol.ledFilePath = LedFile();
  protocol.downloadRoot = options_.downloadRoot;
  server_->SetProtocolFactory(MakeProtocolFactory(protocol));
  server_->SetOnAccept(&CVelmoDlg::OnAccept);
  server_->SetOnAcceptErr(&CVelmoDlg::OnAcceptErr);
  server_->SetOnSocketConnect(&CVelmoDlg::OnSocketConnect);
  server_->SetOnSocketDisconnect(&CVelmoDlg::OnSocketDisconnect);
  server_->SetOnRecvData(&CVelmoDlg::OnRecvData);
  server_->SetOnRecvFileRequest(&CVelmoDlg::OnRecvFileRequest);
  server_->SetOnRecvFileProgress(&CVelmoDlg::OnRecvFileProgress);
  server_->SetOnRecvFileFail(&CVelmoDlg::OnRecvFileFail);
  server_->SetOnRecvFileSucc(&CVelmoDlg::OnRecvFileSucc);
  server_->SetOnNotice(&CVelmoDlg::OnNotice);
  apiContext_.appendLog = [this](std::string_view line) { AppendLog(line); };
  apiContext_.deviceWait = options_.deviceWait;
  httpServer_ = std::make_unique<HttpServer>(&apiContext_);
  httpServer_->SetPort(std::to_string(options_.httpPort));
  httpServer_->SetDiagnostics(options_.headless ? stderr : stdout);
  httpServer_->AddRoute("/api/cmd", &OnApiCmd);
  httpServer_->AddRoute("/api/status", &OnApiStatus);
  httpThread_ = std::thread([this] { RunHttpServer(); });
  if (options_.cluster.enabled && options_.adminEnabled) {
    cluster_ = std::make_unique<CClusterNode>(
        options_.cluster,
        [this] {
          // An advertised port of 0 (the port chosen at start) is the one bound.
          const std::string& a = options_.cluster.advertise;
          const std::uint16_t bound = AdminPort();
          return bound != 0 && a.size() > 2 && a.compare(a.size() - 2, 2, ":0") == 0
                     ? a.substr(0, a.size() - 1) + std::to_string(bound)
                     : a;
        },
        [this](std::string_view line) { AppendLog(line); });
  }
  if (options_.adminEnabled) {
    adminServer_ = std::make_unique<CAdminServer>(
        AdminAccess{options_.adminToken, options_.cluster.enabled ? options_.cluster.token : ""});
    AdminContext admin;
    admin.dlg = this;
    admin.startedAtMs = CServerClientSocket::NowMs();
    admin.deviceWait = options_.deviceWait;
    if (cluster_) admin.cluster = cluster_->Forwarder();
    AddAdminRoutes(*adminServer_, admin);
    adminThread_ = std::thread([this] {
      pthread_setname_np(pthread_self(), "velmo-admin");
      if (!adminServer_->Run(options_.adminBind, options_.adminPort)) {
        AppendLog("Admin Start fail");
        std::fprintf(stderr, "velmo: management port %s:%u: %s; the console and the fleet API are not available\n",
                     options_.adminBind.c_str(), options_.adminPort, adminServer_->LastError().c_str());
        if (cluster_) {
          // The other nodes reach this one there: without it, it leaves the fleet.
          loop_.PostTask([this] {
            AppendLog("Cluster Stop: the management port is not listening");
            cluster_->Stop();
          });
        }
      }
    });
  }
  if (cluster_) {
    // After the management port exists: the node's record names its address.
    AppendLog("Cluster Start: node " + options_.cluster.nodeId);
    cluster_->Start();
  }

  if (options_.eventWebhook) {
    webhook_ = std::make_unique<CEventWebhook>(
        *options_.eventWebhook, [this](std::string_view line) { AppendLog(line); }, options_.webhookTiming);
    webhook_->Start();
  }

  if (server_->Start()) {
    AppendLog("Tcp Server Start");
  } else {
    AppendLog("Tcp Server Start fail");
    std::fprintf(stderr, "velmo: device port %u: %s\n", options_.devicePort, server_->LastStartError().c_str());
  }
  refreshTimer_ = loop_.SetTimer(std::chrono::milliseconds(1000), [this] {
    log_.Drain();  // lines whose drain could not be queued (a full queue) wait no longer than this
    SampleHistory();
    RefreshDeviceView();
  });
}

std::string CVelmoDlg::LedFile() const {
  return options_.ledFile.empty() ? fileDir_ + "weather.htm" : options_.ledFile;
}

void CVelmoDlg::RunHttpServer() {
  AppendLog("Http Start");
  if (!httpServer_->Run()) {
    std::fprintf(stderr, "velmo: HTTP port %u: %s; the HTTP API is not available\n", options_.httpPort,
                 httpServer_->LastError().c_str());
  }
}

void CVelmoDlg::AppendLog(std::string_view message) { log_.Append(message); }

void CVelmoDlg::OnStartListen() { server_->Start(); }

void CVelmoDlg::OnStopListen() { server_->StopListening(); }

void CVelmoDlg::OnCloseAll() {
  server_->CloseAllConnections([](const CServerClientSocket& c) {
    CFleetCounters::Process().Disconnected(DisconnectKind::Operator);
    CFleetEvents::Process().Publish(DeviceEvent::Disconnected, c, DeviceEvent::kOperatorReason);
  });
  Report(Utf8ToGbkText("关闭了所有的连接"));
}

void CVelmoDlg::OnCancelRecv() { server_->CancelAllRecv(); }

void CVelmoDlg::SetViewListener(std::function<void(const DeviceView&)> listener) {
  std::lock_guard<std::mutex> lock(viewLock_);
  viewListener_ = std::move(listener);
}

void CVelmoDlg::SetTextListener(std::function<void(TextLine)> listener) {
  std::lock_guard<std::mutex> lock(listenerLock_);
  textListener_ = std::move(listener);
}

void CVelmoDlg::SampleHistory() {
  const std::int64_t now = CServerClientSocket::NowMs();
  if (!server_ || !history_.Due(now)) return;
  history_.Add(StatsSample{now, server_->CountNoSn(), server_->CountWithSn()});
}

void CVelmoDlg::RefreshDeviceView() {
  loop_.AssertInLoopThread("CVelmoDlg::RefreshDeviceView");
  // Its own lock: device threads setting a text line never wait for this walk.
  std::lock_guard<std::mutex> lock(viewLock_);
  if (!server_ || !viewListener_) return;  // nobody shows it (headless)
  DeviceView view;
  view.clientCount = server_->CountNoSn();
  view.deviceCount = server_->CountWithSn();
  view.rows = server_->GetDeviceRows();
  viewListener_(view);
}

std::string CVelmoDlg::InfoText() const {
  std::lock_guard<std::mutex> lock(textLock_);
  return infoText_;
}

std::string CVelmoDlg::LastData() const {
  std::lock_guard<std::mutex> lock(textLock_);
  return lastData_;
}

std::string CVelmoDlg::TakeText(TextLine line) {
  std::lock_guard<std::mutex> lock(textLock_);
  if (line == TextLine::Info) {
    infoQueued_ = false;
    return infoText_;
  }
  lastDataQueued_ = false;
  return lastData_;
}

void CVelmoDlg::SetText(TextLine line, const std::string& text) {
  bool tell;
  {
    std::lock_guard<std::mutex> lock(textLock_);
    bool& queued = line == TextLine::Info ? infoQueued_ : lastDataQueued_;
    (line == TextLine::Info ? infoText_ : lastData_) = text;
    tell = !queued;
    queued = true;
  }
  if (!tell) return;  // the update on its way takes the newest text
  std::lock_guard<std::mutex> lock(listenerLock_);
  if (textListener_) {
    textListener_(line);
  } else {
    std::lock_guard<std::mutex> textLock(textLock_);
    (line == TextLine::Info ? infoQueued_ : lastDataQueued_) = false;  // nobody shows it
  }
}

void CVelmoDlg::Report(const std::string& line) {
  SetText(TextLine::Info, line);
  AppendLog(line);
}

void CVelmoDlg::SetFileDir(const std::string& path) {
  if (server_) server_->SetFileDir(path.c_str());
}

void CVelmoDlg::OnAccept(void* user, const AcceptInfo* info, int* /*accept*/) {
  Dlg(user).Report("OnAccept-" + std::to_string(info->socket) + " " + PeerText(*info));  // the flag stays 1
}

void CVelmoDlg::OnAcceptErr(void* user, Socket listenSocket) {
  Dlg(user).Report("OnAcceptErr-" + std::to_string(listenSocket));
}

void CVelmoDlg::OnSocketConnect(void* user, Socket socket) {
  Dlg(user).Report("OnSocketConnect-" + std::to_string(socket));
}

void CVelmoDlg::OnSocketDisconnect(void* user, Socket socket, int reason) {
  Dlg(user).Report("OnSocketDisconnect-" + std::to_string(socket) + ", SocketCloseReason=" + std::to_string(reason));
}

void CVelmoDlg::OnRecvData(void* user, const char* data, int length) {
  // The text is the data up to its first zero byte, at most 10239 bytes.
  std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
  if (n > kLastDataBytes - 1) n = kLastDataBytes - 1;
  std::string text(data, strnlen(data, n));
  CVelmoDlg& dlg = Dlg(user);
  dlg.SetText(TextLine::LastData, text);
  dlg.AppendLog(text);
}

void CVelmoDlg::OnRecvFileRequest(void* user, const char* path, int* accept) {
  Dlg(user).Report(std::string("OnRecvFileRequest: ") + path);
  *accept = 1;
}

void CVelmoDlg::OnRecvFileProgress(void* user, int done, int total) {
  Dlg(user).Report(std::to_string(total - done) + " / " + std::to_string(total));
}

void CVelmoDlg::OnNotice(void* user, const char* text) { Dlg(user).Report(text); }

void CVelmoDlg::OnRecvFileSucc(void* user, const char* /*path*/) { Dlg(user).Report("OnRecvFileSucc"); }

void CVelmoDlg::OnRecvFileFail(void* user, const char* /*path*/, int reason) {
  Dlg(user).Report("OnRecvFileFail, RecvFileFailReason = " + std::to_string(reason));
}

}  // namespace velmo
