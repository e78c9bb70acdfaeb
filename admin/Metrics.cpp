#include "admin/Metrics.h"

#include <sys/resource.h>

#include <cstdio>
#include <sstream>

#include "tools/procstat/ProcStat.h"

namespace velmo {

namespace {

// One metric family: its HELP and TYPE lines, then its samples.
class Family {
 public:
  Family(std::ostringstream& out, const char* name, const char* type, const char* help) : out_(out), name_(name) {
    out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
  }
  Family& Sample(double value, const std::string& labels = "", const char* suffix = "") {
    out_ << name_ << suffix;
    if (!labels.empty()) out_ << '{' << labels << '}';
    out_ << ' ' << Number(value) << '\n';
    return *this;
  }

  static std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
  }

 private:
  std::ostringstream& out_;
  const std::string name_;
};

std::string Label(const char* name, const std::string& value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return std::string(name) + "=\"" + escaped + "\"";
}

}  // namespace

std::string FormatMetrics(const MetricsInput& in) {
  const DeviceTotals& t = in.totals;
  std::ostringstream out;
  Family(out, "velmo_clients", "gauge", "Connections that have not registered an SN.").Sample(in.clients);
  Family(out, "velmo_devices", "gauge", "Connections with a registered SN.").Sample(in.devices);
  Family(out, "velmo_connections_total", "counter", "Device-port connections accepted.").Sample(t.connections);
  {
    Family f(out, "velmo_disconnections_total", "counter",
             "Connections ended, by close reason (0 peer, 1 send, 2 receive, operator).");
    const char* reasons[] = {"0", "1", "2", "operator"};
    for (int i = 0; i < kDisconnectKinds; ++i) f.Sample(t.disconnections[i], Label("reason", reasons[i]));
  }
  Family(out, "velmo_heartbeats_total", "counter", "Heartbeat frames (-36) received.").Sample(t.heartbeats);
  {
    Family f(out, "velmo_commands_total", "counter", "Commands from the HTTP surfaces, by result.");
    const char* results[] = {"taken", "queued", "offline"};
    for (int i = 0; i < 3; ++i) f.Sample(t.commands[i], Label("result", results[i]));
  }
  {
    Family f(out, "velmo_command_wait_seconds", "histogram", "How long commands waited to be taken or given up.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kCommandWaitBuckets.size(); ++i) {
      cumulative += t.commandWaits[i];
      f.Sample(static_cast<double>(cumulative), Label("le", Family::Number(kCommandWaitBuckets[i])), "_bucket");
    }
    cumulative += t.commandWaits.back();
    f.Sample(static_cast<double>(cumulative), Label("le", "+Inf"), "_bucket");
    f.Sample(t.commandWaitSeconds, "", "_sum");
    f.Sample(static_cast<double>(cumulative), "", "_count");
  }
  {
    Family f(out, "velmo_relays_total", "counter", "Relays asked for on the device port, by kind.");
    const char* kinds[] = {"command", "query", "post"};
    for (int i = 0; i < 3; ++i) f.Sample(t.relays[i], Label("kind", kinds[i]));
  }
  Family(out, "velmo_upload_bytes_total", "counter", "File bytes received from devices.").Sample(t.uploadBytes);
  Family(out, "velmo_download_bytes_total", "counter", "File bytes sent to devices.").Sample(t.downloadBytes);
  {
    Family f(out, "velmo_http_requests_total", "counter", "HTTP requests, by port and route.");
    for (const auto& [route, n] : in.apiRequests) f.Sample(n, Label("port", "api") + "," + Label("route", route));
    for (const auto& [route, n] : in.adminRequests) f.Sample(n, Label("port", "admin") + "," + Label("route", route));
  }
  Family(out, "velmo_event_webhook_delivered_total", "counter", "Device events the event webhook accepted.")
      .Sample(in.webhook.delivered);
  Family(out, "velmo_event_webhook_dropped_total", "counter",
         "Device events given up after the webhook's retries, or not queued because its queue was full.")
      .Sample(in.webhook.dropped);
  if (in.cluster) {
    Family(out, "velmo_cluster_registry_up", "gauge", "1 while the fleet's shared registry (Redis) can be reached.")
        .Sample(in.cluster->up ? 1 : 0);
    Family(out, "velmo_cluster_registry_commands_total", "counter", "Commands this node sent to the registry.")
        .Sample(static_cast<double>(in.cluster->commands));
    Family(out, "velmo_cluster_registry_round_trips_total", "counter",
           "Pipelined exchanges of this node with the registry.")
        .Sample(static_cast<double>(in.cluster->roundTrips));
  }

  const procstat::StatFields stat = procstat::ReadStat("self");
  const long long boot = procstat::BootTime();
  Family(out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.")
      .Sample(stat.cpuSeconds);
  Family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.").Sample(stat.residentBytes);
  Family(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.").Sample(stat.virtualBytes);
  if (boot >= 0 && stat.startSecondsSinceBoot >= 0) {
    Family(out, "process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.")
        .Sample(static_cast<double>(boot) + stat.startSecondsSinceBoot);
  }
  Family(out, "process_open_fds", "gauge", "Number of open file descriptors.").Sample(procstat::OpenDescriptors("self"));
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    Family(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.")
        .Sample(static_cast<double>(limit.rlim_cur));
  }
  return out.str();
}

}  // namespace velmo
