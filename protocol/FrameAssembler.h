// CFrameAssembler: turns one connection's byte stream into frames.
//
//   frame: "@" + five ASCII digits (payload length L) + L payload bytes
//          payload = three-character signed code + the rest
//
//   held:  [ consumed . . . | @00003-36 | @00027-36SN... | @0001 ]
//          ^ data()         ^ off                          ^ partial frame, kept
//
// Frames that arrive complete in one receive are handed over straight from the
// receive buffer; only an incomplete tail is copied into the held buffer, and
// consumed frames are skipped by an offset and the rest moved down once per
// receive. The held buffer grows on demand (never beyond 199 998 bytes), so an
// idle connection holds none.
//
// Rules:
// - bytes before an "@" are noise and dropped;
// - the length and code are read leniently (blanks, one sign, digits);
// - a length below 3 (negative, or too short for the code) is no frame: its "@"
//   is dropped and the scan goes on from the next byte;
// - held bytes beginning with "POST" are handed to the sink whole, and stay held
//   until the sink says how many of them its request took;
// - a receive that would take the held bytes past 199 998 drops them first.
//
// Thread safety: not thread safe; owned and used by one receive thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmo {

// Reads a decimal number by Velmo's lenient rule: leading white space skipped,
// one optional "+" or "-", digits up to the first non-digit or the end of the
// field; no digits reads as 0. Never reads past `length`.
int ReadLenient(const std::uint8_t* field, int length);
// The same rule for wider fields (sizes of ten digits).
long long ReadLenient64(const std::uint8_t* field, int length);

class CFrameAssembler {
 public:
  static constexpr int kMaxHeld = 199998;

  class Sink {
   public:
    virtual ~Sink() = default;
    // A complete frame: `payload` points at the code's first byte, valid only
    // during the call. `code` is the lenient reading of the first three bytes.
    virtual void OnFrame(int code, const std::uint8_t* payload, int length) = 0;
    // The held bytes begin with "POST": all of them, `count` bytes. Returns how
    // many bytes the request took (they are consumed and whatever follows is
    // handled afresh), or 0 to keep them all and wait for more.
    virtual int OnPost(const std::uint8_t* held, int count) = 0;
    // True once the connection is being torn down: no further frame is handled.
    virtual bool Stopping() const = 0;
  };

  // Feeds `n` received bytes; calls the sink for every complete frame, in order.
  void AssembleFrames(const std::uint8_t* bytes, int n, Sink& sink);

  int Held() const { return static_cast<int>(held_.size()); }
  // Drops `count` bytes from the front of the held buffer (a consumed request).
  void Consume(int count);

 private:
  // Scans `data[0, size)`; returns how many bytes from the front are consumed.
  // Sets postSeen_ when the rest begins with "POST".
  std::size_t Scan(const std::uint8_t* data, std::size_t size, Sink& sink);

  std::vector<std::uint8_t> held_;
  bool postSeen_ = false;
};

}  // namespace velmo
