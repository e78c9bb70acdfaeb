// The frame of Velmo's device protocol:
//
//   "@" + five ASCII decimal digits (payload length L, "%05d") + L payload bytes
//   payload = a three-character signed decimal code + the rest
//
// Reading frames is CFrameAssembler's (FrameAssembler.h); this is building
// and sending them. Builders check their limits (a payload of at most 99 999
// bytes): an oversized frame is never written.
//
// Thread safety: FrameHeader and MakeFrame keep no state; SendFrame runs on
// the connection's I/O thread.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace velmo {

class CServerClientSocket;

inline constexpr std::size_t kFrameHeaderBytes = 6;  // "@" + five digits
inline constexpr std::size_t kMaxFramePayload = 99999;

// Writes "@%05d" for `payloadLength` into `header` (kFrameHeaderBytes
// bytes, no terminator). Returns false, writing nothing, beyond kMaxFramePayload.
bool FrameHeader(std::size_t payloadLength, char* header);

// The whole frame for `payload`; "" when the payload is too long.
std::string MakeFrame(std::string_view payload);

// Sends the parts (at most four; their total is the payload) as one frame on
// `conn`. Returns false, sending nothing, for a payload that is too long or
// when the connection refuses it (closed, or its output is full); false too
// when the socket failed (the close with reason 1 is then on its way).
bool SendFrame(CServerClientSocket& conn, std::initializer_list<std::string_view> parts);

}  // namespace velmo
