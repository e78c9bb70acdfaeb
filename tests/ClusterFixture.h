// The fleet's test fixture: a real redis-server (own port, own temporary
// directory, no persistence) and velmo nodes started as processes on
// loopback, each with its own ports, file directory and log; devices are
// FakeDevices or velmo-devsim processes.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/AdminFixture.h"

extern char** environ;

namespace velmo::test {

// A program started with its output in a file; killed (SIGKILL) when it goes.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& output) : output_(output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ChildProcess() { Stop(SIGKILL); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running() const { return pid_ > 0; }
  // Sends `signal` and waits for the end; returns the exit status (-1 when none ran).
  int Stop(int signal = SIGTERM) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  // What it wrote so far.
  std::string Output() const {
    std::ifstream in(output_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // How many times `text` occurs in its output.
  std::size_t Count(const std::string& text) const {
    const std::string out = Output();
    std::size_t n = 0;
    for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + text.size())) ++n;
    return n;
  }

 private:
  std::string output_;
  pid_t pid_ = -1;
};

// The bytes of one HTTP API exchange (the API keeps the connection open and
// ends each answer with the terminating chunk).
inline std::string ApiExchange(std::uint16_t port, const std::string& path, const std::string& sn,
                               const std::string& body, std::chrono::milliseconds timeout = 15000ms) {
  FakeDevice client;
  if (!client.Connect(port)) return "";
  client.Send("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nSN: " + sn + "\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\n\r\n" + body);
  return client.ReceiveUntil("0\r\n\r\n", timeout);
}

class ClusterTest : public ::testing::Test {
 protected:
  struct Node {
    std::string id;
    std::uint16_t devices = 0, api = 0, admin = 0;
    std::unique_ptr<ChildProcess> process;
    std::string Log() const { return process->Output(); }
  };

  void SetUp() override {
    if (std::system("command -v redis-server >/dev/null 2>&1") != 0) GTEST_SKIP() << "redis-server is not installed";
    char pattern[] = "/tmp/velmo-cluster-XXXXXX";
    dir_ = mkdtemp(pattern);
    token_ = dir_ + "/token";
    std::ofstream(token_) << "fleet-secret-" << getpid() << "\n";
    std::filesystem::permissions(token_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    redisPort_ = FreePort();
    StartRedis();
  }

  void TearDown() override {
    // A clean shutdown of every node still running, and nothing a sanitizer
    // build of velmo would report in its output.
    for (auto& [id, node] : nodes_) {
      if (!node->process->Running()) continue;
      node->process->Stop(SIGTERM);
      const std::string out = node->Log();
      EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << id << ": " << out;
      EXPECT_EQ(out.find("runtime error:"), std::string::npos) << id << ": " << out;
    }
    nodes_.clear();
    devsims_.clear();
    redis_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  // `extra`: more redis-server options ("--appendonly yes" keeps the data
  // over a restart, "--requirepass" asks for a password).
  void StartRedis(std::vector<std::string> extra = {"--appendonly", "no"}) {
    std::vector<std::string> argv{RedisServer(), "--port", std::to_string(redisPort_), "--bind", "127.0.0.1",
                                  "--save", "", "--dir", dir_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    redis_ = std::make_unique<ChildProcess>(argv, dir_ + "/redis.log");
    ASSERT_TRUE(WaitUntil([&] { return FakeDevice().Connect(redisPort_); }, 5000ms)) << "redis-server did not start";
  }
  void StopRedis() { redis_.reset(); }  // SIGKILL: what it had not written is lost

  static std::string RedisServer() {
    for (const char* p : {"/usr/bin/redis-server", "/usr/local/bin/redis-server"}) {
      if (access(p, X_OK) == 0) return p;
    }
    return "redis-server";
  }

  // Starts node `id` and waits until its three ports answer (and, when
  // `registryUp`, until it has reached Redis).
  Node& StartNode(const std::string& id, std::vector<std::string> extra = {}, bool registryUp = true) {
    auto node = std::make_unique<Node>();
    node->id = id;
    node->devices = FreePort();
    node->api = FreePort();
    node->admin = FreePort();
    const std::string files = dir_ + "/" + id;
    std::filesystem::create_directories(files);
    std::vector<std::string> argv{VELMO_BINARY, "--headless", "--bind", "127.0.0.1",
                                  "--device-port", std::to_string(node->devices), "--http-port",
                                  std::to_string(node->api), "--admin-port", std::to_string(node->admin),
                                  "--file-dir", files, "--cluster", "redis://127.0.0.1:" + std::to_string(redisPort_),
                                  "--node-id", id, "--cluster-token-file", token_, "--io-threads", "1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    node->process = std::make_unique<ChildProcess>(argv, files + ".log");
    Node& n = *node;
    nodes_[id] = std::move(node);
    EXPECT_TRUE(WaitUntil([&] {
      return FakeDevice().Connect(n.devices) && FakeDevice().Connect(n.api) && FakeDevice().Connect(n.admin);
    }, 10000ms)) << id << " did not start: " << n.Log();
    // Its own record is in the registry: the other nodes can reach it.
    if (registryUp) {
      EXPECT_TRUE(WaitUntil([&] { return Get(n, "/v1/cluster").Json()["registry"] == "up"; }, 5000ms));
    }
    return n;
  }

  // A FakeDevice registered as `sn` on `node` (its clock read).
  std::unique_ptr<FakeDevice> Device(const Node& node, const std::string& sn) {
    auto d = std::make_unique<FakeDevice>();
    EXPECT_TRUE(d->Connect(node.devices));
    d->Send(Frame("-36" + sn));
    EXPECT_FALSE(d->ReadFrame().empty()) << sn << " was not registered";
    // Seen by every node: its entry is in the registry.
    EXPECT_TRUE(WaitUntil([&] { return RegistryHolder(sn) == node.id; }, 3000ms));
    return d;
  }

  // The node the registry names for `sn` ("" for none), read from Redis.
  std::string RegistryHolder(const std::string& sn) {
    const std::string key = "velmo:sn:" + sn;
    FakeDevice redis;
    if (!redis.Connect(redisPort_)) return "";
    redis.Send("*2\r\n$3\r\nGET\r\n$" + std::to_string(key.size()) + "\r\n" + key + "\r\n");
    std::string reply = redis.ReceiveUntil("\r\n", 2000ms);
    if (reply.rfind("$-1", 0) == 0 || reply.empty() || reply[0] != '$') return "";
    const std::size_t length = std::stoul(reply.substr(1));
    const std::size_t head = reply.find("\r\n") + 2;
    if (reply.size() < head + length + 2) reply += redis.Receive(head + length + 2 - reply.size(), 2000ms);
    return reply.substr(head, length);
  }

  Reply Get(const Node& n, const std::string& target, std::vector<std::string> headers = {}) {
    return Request(n.admin, http::verb::get, target, std::move(headers));
  }

  std::string Token() const {
    std::ifstream in(token_);
    std::string t;
    std::getline(in, t);
    return t;
  }

  ChildProcess& Devsim(std::vector<std::string> args) {
    args.insert(args.begin(), DEVSIM_BINARY);
    devsims_.push_back(std::make_unique<ChildProcess>(args, dir_ + "/devsim" + std::to_string(devsims_.size()) + ".log"));
    return *devsims_.back();
  }

  std::string dir_, token_;
  std::uint16_t redisPort_ = 0;
  std::unique_ptr<ChildProcess> redis_;
  std::map<std::string, std::unique_ptr<Node>> nodes_;
  std::vector<std::unique_ptr<ChildProcess>> devsims_;
};

}  // namespace velmo::test
