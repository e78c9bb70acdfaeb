// CFrameClient: a blocking connection to a Velmo device port that writes and
// reads frames, for velmo-devsim's one-shot modes (relay, query, upload,
// download). Thread safety: one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::devsim {

class CFrameClient {
 public:
  CFrameClient() = default;
  ~CFrameClient();
  CFrameClient(const CFrameClient&) = delete;
  CFrameClient& operator=(const CFrameClient&) = delete;

  // Connects; on failure returns false with `error` set.
  bool Connect(const std::string& host, std::uint16_t port, std::string* error);
  // Sends "@%05d" + payload whole. False when the connection failed.
  bool SendFrame(std::string_view payload);
  // The next frame's payload, or nothing on time-out or a closed connection.
  std::optional<std::string> ReadFrame(std::chrono::milliseconds timeout);

 private:
  std::optional<std::string> TakeFrame();

  int fd_ = -1;
  std::string in_;
  std::string out_;
};

}  // namespace velmo::devsim
