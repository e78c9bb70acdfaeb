#include "protocol/Frame.h"

#include <cstdio>
#include <cstring>

#include "socketserver/ServerClientSocket.h"

namespace velmo {

bool FrameHeader(std::size_t payloadLength, char* header) {
  if (payloadLength > kMaxFramePayload) return false;
  char text[8];
  std::snprintf(text, sizeof text, "@%05u", static_cast<unsigned>(payloadLength));
  std::memcpy(header, text, kFrameHeaderBytes);
  return true;
}

std::string MakeFrame(std::string_view payload) {
  std::string frame(kFrameHeaderBytes, '\0');
  if (!FrameHeader(payload.size(), frame.data())) return "";
  frame.append(payload);
  return frame;
}

bool SendFrame(CServerClientSocket& conn, std::initializer_list<std::string_view> parts) {
  if (parts.size() > 4) return false;
  std::size_t length = 0;
  for (auto p : parts) length += p.size();
  char header[kFrameHeaderBytes];
  if (!FrameHeader(length, header)) return false;
  std::string_view all[5] = {std::string_view(header, sizeof header)};
  std::size_t count = 1;
  for (auto p : parts) all[count++] = p;
  return conn.SendBytes(std::span<const std::string_view>(all, count));
}

}  // namespace velmo
