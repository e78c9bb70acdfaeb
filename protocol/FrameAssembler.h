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
// - a handler may ask to stop after its frame (it waits for a device): the
//   bytes not yet handled are kept, and Continue() handles them later, in
//   order, before anything that arrives after;
// - a receive that would take the held bytes past 199 998 drops them first.
//
// Thread safety: not thread safe; owned and used by one I/O thread.
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

  struct PostVerdict {
    int consumed = 0;      // bytes the request took; 0 keeps them all and waits for more
    bool suspend = false;  // stop after it: the rest waits for Continue()
  };

  class Sink {
   public:
    virtual ~Sink() = default;
    // A complete frame: `payload` points at the code's first byte, valid only
    // during the call. `code` is the lenient reading of the first three bytes.
    // Returns true to stop after this frame (see Continue).
    virtual bool OnFrame(int code, const std::uint8_t* payload, int length) = 0;
    // The held bytes begin with "POST": all of them, `count` bytes.
    virtual PostVerdict OnPost(const std::uint8_t* held, int count) = 0;
    // True once the connection is being torn down: no further frame is handled.
    virtual bool Stopping() const = 0;
  };

  // Feeds `n` received bytes; calls the sink for every complete frame, in
  // order. Returns true when a handler stopped the scan: the bytes after its
  // frame are kept (not handed to any handler yet).
  bool AssembleFrames(const std::uint8_t* bytes, int n, Sink& sink);
  // Handles what was kept when a handler stopped the scan. Returns true when
  // a handler stopped it again.
  bool Continue(Sink& sink);
  // Keeps `n` bytes behind what is held, unscanned (bytes that come while a
  // handler waits); the 199 998-byte limit applies.
  void Keep(const std::uint8_t* bytes, int n);

  int Held() const { return static_cast<int>(held_.size()); }
  // Drops `count` bytes from the front of the held buffer (a consumed request).
  void Consume(int count);

 private:
  struct Scanned {
    std::size_t used = 0;    // bytes from the front that are consumed
    bool stopped = false;    // a handler stopped the scan after its frame
  };
  // Scans `data[0, size)`. Sets postSeen_ when the rest begins with "POST".
  Scanned Scan(const std::uint8_t* data, std::size_t size, Sink& sink);
  // Scans the held bytes and serves a "POST" request at their front, until
  // nothing more can be done or a handler stops. Returns true when stopped.
  bool ProcessHeld(Sink& sink);
  void Erase(std::size_t count);
  void Shrink();

  std::vector<std::uint8_t> held_;
  bool postSeen_ = false;
};

}  // namespace velmo
