#include "app/Velmo.h"

#include <chrono>
#include <cstdio>

#include "admin/AdminRoutes.h"
#include "admin/AdminServer.h"
#include "app/EventWebhook.h"
#include "cluster/ClusterMembership.h"
#include "cluster/ClusterRoutes.h"
#include "httpserver/HttpServer.h"
#include "platform/EventLog.h"
#include "platform/Process.h"
#include "platform/TextCodec.h"
#include "protocol/DeviceProtocol.h"
#include "socketserver/DeviceReach.h"
#include "socketserver/ServerClientSocket.h"
#include "socketserver/SocketServer.h"

namespace velmo {

CVelmo::CVelmo(platform::MessageLoop& loop, const AppOptions& options, CEventLog& log)
    : loop_(loop), options_(options), log_(log), handlers_(log, loop) {
  fileDir_ = options_.fileDir.empty() ? platform::ExecutableDir() : options_.fileDir;
  if (!fileDir_.empty() && fileDir_.back() != '/') fileDir_.push_back('/');
}

CVelmo::~CVelmo() { Shutdown(); }

void CVelmo::Start() {
  loop_.AssertInLoopThread("CVelmo::Start");
  if (started_) return;
  started_ = true;
  // Log lines reach their sinks on this thread, in batches; no other thread
  // ever waits for it.
  log_.SetDrainScheduler([&loop = loop_](std::function<void()> drain) {
    return loop.PostTask(std::move(drain)) == platform::PostResult::Ok;
  });
  // The device server and the reach exist before the API and the management
  // port run (their routes use them); the server listens last.
  StartDeviceServer();
  StartApi();
  if (options_.cluster.enabled && options_.adminEnabled) {
    membership_ = std::make_shared<CClusterMembership>(
        options_.cluster, server_->Registry(), server_->Events(), *reach_, [this] { return Advertised(); },
        [this](std::string_view line) { AppendLog(line); });
  }
  if (options_.adminEnabled) StartAdmin();
  if (membership_) {
    // After the management port exists: the node's record names its address.
    AppendLog("Cluster Start: node " + options_.cluster.nodeId);
    membership_->Start();
  }
  if (options_.eventWebhook) {
    webhook_ = std::make_unique<CEventWebhook>(
        *options_.eventWebhook, [this](std::string_view line) { AppendLog(line); }, options_.webhookTiming);
    webhook_->Start(server_->Events());
  }
  if (server_->Start()) {
    AppendLog("Tcp Server Start");
  } else {
    AppendLog("Tcp Server Start fail");
    std::fprintf(stderr, "velmo: device port %u: %s\n", options_.devicePort, server_->LastStartError().c_str());
  }
  timer_ = loop_.SetTimer(std::chrono::milliseconds(1000), [this] {
    log_.Drain();  // lines whose drain could not be queued (a full queue) wait no longer than this
    SampleHistory();
  });
}

void CVelmo::StartDeviceServer() {
  server_ = std::make_unique<CSocketServer>(loop_, &handlers_);
  server_->SetIoThreads(options_.ioThreads);
  server_->SetProxyProtocol(options_.proxyProtocol);
  ServerTimings timings;
  timings.proxyHeaderWait = options_.proxyHeaderWait;
  timings.deviceWait = options_.deviceWait;
  server_->SetTimings(timings);
  server_->SetFileDir(fileDir_.c_str());
  server_->SetBindAddress(options_.bindAddress.c_str());
  server_->SetPort(options_.devicePort);
  server_->SetProgressInterval(1000);
  server_->SetOnAccept(&CServerEventHandlers::OnAccept);
  server_->SetOnAcceptErr(&CServerEventHandlers::OnAcceptErr);
  server_->SetOnSocketConnect(&CServerEventHandlers::OnSocketConnect);
  server_->SetOnSocketDisconnect(&CServerEventHandlers::OnSocketDisconnect);
  server_->SetOnRecvData(&CServerEventHandlers::OnRecvData);
  server_->SetOnRecvFileRequest(&CServerEventHandlers::OnRecvFileRequest);
  server_->SetOnRecvFileProgress(&CServerEventHandlers::OnRecvFileProgress);
  server_->SetOnRecvFileFail(&CServerEventHandlers::OnRecvFileFail);
  server_->SetOnRecvFileSucc(&CServerEventHandlers::OnRecvFileSucc);
  server_->SetOnNotice(&CServerEventHandlers::OnNotice);
  reach_ = std::make_shared<CDeviceReach>(server_->Registry(), server_->Counters(), options_.deviceWait);
  ProtocolSettings protocol;
  protocol.ledFilePath = LedFile();
  protocol.downloadRoot = options_.downloadRoot;
  protocol.reach = reach_;
  server_->SetProtocolFactory(MakeProtocolFactory(protocol));
}

void CVelmo::StartApi() {
  apiContext_.appendLog = [this](std::string_view line) { AppendLog(line); };
  apiContext_.reach = reach_.get();
  http_ = std::make_unique<HttpServer>(&apiContext_);
  http_->SetPort(std::to_string(options_.httpPort));
  http_->SetDiagnostics(options_.headless ? stderr : stdout);
  http_->AddRoute("/api/cmd", &OnApiCmd);
  http_->AddRoute("/api/status", &OnApiStatus);
  const std::uint16_t port = options_.httpPort;
  http_->Start([this] { AppendLog("Http Start"); },
               [port](const std::string& error) {
                 std::fprintf(stderr, "velmo: HTTP port %u: %s; the HTTP API is not available\n", port, error.c_str());
               });
}

void CVelmo::StartAdmin() {
  admin_ = std::make_unique<CAdminServer>(
      AdminAccess{options_.adminToken, options_.cluster.enabled ? options_.cluster.token : ""});
  AdminContext admin;
  admin.window = &loop_;
  admin.server = server_.get();
  admin.reach = reach_.get();
  admin.log = &log_;
  admin.history = &history_;
  admin.startedAtMs = CServerClientSocket::NowMs();
  admin.controls = ServerControls{[this] { StartListen(); }, [this] { StopListen(); }, [this] { CloseAll(); },
                                  [this] { CancelRecv(); }};
  admin.fleet = membership_;
  admin.apiRequests = &http_->Counters();
  admin.webhook = [this] {
    return webhook_ ? WebhookTotals{webhook_->Delivered(), webhook_->Dropped()} : WebhookTotals{};
  };
  AddAdminRoutes(*admin_, admin);
  AddClusterRoutes(*admin_, membership_.get(), server_->Registry(), *reach_);
  const std::string bind = options_.adminBind;
  const std::uint16_t port = options_.adminPort;
  admin_->Start(bind, port, nullptr, [this, bind, port](const std::string& error) {
    AppendLog("Admin Start fail");
    std::fprintf(stderr, "velmo: management port %s:%u: %s; the console and the fleet API are not available\n",
                 bind.c_str(), port, error.c_str());
    if (membership_) {
      // The other nodes reach this one there: without it, it leaves the fleet.
      loop_.PostTask([this] {
        AppendLog("Cluster Stop: the management port is not listening");
        if (membership_) membership_->Stop();
      });
    }
  });
}

std::string CVelmo::Advertised() const {
  // An advertised port of 0 (the port chosen at start) is the one bound.
  const std::string& a = options_.cluster.advertise;
  const std::uint16_t bound = AdminPort();
  return bound != 0 && a.size() > 2 && a.compare(a.size() - 2, 2, ":0") == 0
             ? a.substr(0, a.size() - 1) + std::to_string(bound)
             : a;
}

void CVelmo::Shutdown() {
  if (shutDown_) return;
  if (started_) loop_.AssertInLoopThread("CVelmo::Shutdown");
  shutDown_ = true;
  if (timer_) loop_.KillTimer(timer_);
  timer_ = 0;
  // The management port and the API first: once their threads have ended,
  // nothing but the device server's own threads reaches a connection while
  // the server takes them down. Their routes and subscriptions go before
  // the device server whose registry, counters and events they use.
  if (admin_) admin_->Stop();
  if (membership_) membership_->Stop();
  if (webhook_) webhook_->Stop();
  if (http_) http_->Stop();
  admin_.reset();
  membership_.reset();
  webhook_.reset();
  http_.reset();
  server_.reset();
  reach_.reset();
  log_.SetDrainScheduler(nullptr);  // what waits is written now, the rest at once
}

std::string CVelmo::LedFile() const {
  return options_.ledFile.empty() ? fileDir_ + "weather.htm" : options_.ledFile;
}

std::uint16_t CVelmo::HttpPort() const { return http_ ? http_->BoundPort() : 0; }

std::uint16_t CVelmo::AdminPort() const { return admin_ ? admin_->BoundPort() : 0; }

void CVelmo::AppendLog(std::string_view message) { log_.Append(message); }

void CVelmo::StartListen() {
  loop_.AssertInLoopThread("CVelmo::StartListen");
  server_->Start();
}

void CVelmo::StopListen() {
  loop_.AssertInLoopThread("CVelmo::StopListen");
  server_->StopListening();
}

void CVelmo::CloseAll() {
  loop_.AssertInLoopThread("CVelmo::CloseAll");
  server_->CloseAllByOperator();
  handlers_.Report(Utf8ToGbkText("关闭了所有的连接"));
}

void CVelmo::CancelRecv() {
  loop_.AssertInLoopThread("CVelmo::CancelRecv");
  server_->CancelAllRecv();
}

void CVelmo::SetFileDir(const std::string& path) {
  if (server_) server_->SetFileDir(path.c_str());
}

void CVelmo::SampleHistory() {
  const std::int64_t now = CServerClientSocket::NowMs();
  if (!server_ || !history_.Due(now)) return;
  const CClientRegistry::Counts counts = server_->Registry().CountBoth();
  history_.Add(StatsSample{now, static_cast<int>(counts.clients), static_cast<int>(counts.devices)});
}

}  // namespace velmo
