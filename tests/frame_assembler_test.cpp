// Frame reassembly without sockets: what reaches the handlers for a given
// sequence of receives, and what stays held.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/FrameAssembler.h"

namespace velmo::test {
namespace {

struct Recorder : CFrameAssembler::Sink {
  std::vector<std::string> events;
  int stopAfter = -1;  // frames to handle before Stopping() turns true
  int waitCode = 0;    // frames with this code wait (stop the scan after them)
  bool OnFrame(int code, const std::uint8_t* payload, int length) override {
    events.push_back("frame " + std::to_string(code) + " " +
                     std::string(reinterpret_cast<const char*>(payload), static_cast<std::size_t>(length)));
    return code == waitCode;
  }
  int consumeOnPost = 0;  // what OnPost says the request took
  bool waitOnPost = false;
  CFrameAssembler::PostVerdict OnPost(const std::uint8_t* held, int count) override {
    events.push_back("post " + std::to_string(count) + " " +
                     std::string(reinterpret_cast<const char*>(held), static_cast<std::size_t>(count)).substr(0, 12));
    CFrameAssembler::PostVerdict verdict{consumeOnPost, waitOnPost && consumeOnPost > 0};
    consumeOnPost = 0;
    return verdict;
  }
  bool Stopping() const override { return stopAfter >= 0 && static_cast<int>(events.size()) >= stopAfter; }
};

bool Feed(CFrameAssembler& a, Recorder& r, const std::string& bytes) {
  return a.AssembleFrames(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<int>(bytes.size()), r);
}

struct Case {
  const char* name;
  std::vector<std::string> receives;
  std::vector<std::string> events;
  int held;
};

TEST(FrameAssembler, Cases) {
  const std::string post = "POST /SN?20210807001e00383436470a HTTP/1.1\r\n";
  const std::string postEvent = "post " + std::to_string(post.size()) + " POST /SN?202";
  const std::string postAgain = "post " + std::to_string(post.size() + 4) + " POST /SN?202";
  const int postHeld = static_cast<int>(post.size());
  const Case cases[] = {
      {"complete frame", {"@00003-36"}, {"frame -36 -36"}, 0},
      {"noise, frame, partial", {"xx@00005-3612@0"}, {"frame -36 -3612"}, 2},
      {"split header and payload", {"@000", "05-36", "12"}, {"frame -36 -3612"}, 0},
      {"held frame completed, the rest scanned in place", {"@00003-3", "6@00003-88@00003-36@0"},
       {"frame -36 -36", "frame -88 -88", "frame -36 -36"}, 2},
      {"held header completed", {"@00", "003-36@00003-88"}, {"frame -36 -36", "frame -88 -88"}, 0},
      {"held bytes that turn out to be no frame", {"@-00", "06@00003-36"}, {"frame -36 -36"}, 0},
      {"data frame to the data handler", {"@00004", "0123"}, {"frame 12 0123"}, 0},
      {"blanks in the length", {"@  012-36abcdefghi"}, {"frame -36 -36abcdefghi"}, 0},
      {"plus sign code", {"@00003+12"}, {"frame 12 +12"}, 0},
      {"code with trailing letter", {"@00003-9x"}, {"frame -9 -9x"}, 0},
      {"noise only", {"abcdef"}, {}, 0},
      {"two frames in one receive", {"@00003-36@00003-88"}, {"frame -36 -36", "frame -88 -88"}, 0},
      {"negative length resynchronises", {"@-0006@00003-36"}, {"frame -36 -36"}, 0},
      {"length shorter than a code", {"@00002-3@00003-88"}, {"frame -88 -88"}, 0},
      {"zero length", {"@00000@00003-88"}, {"frame -88 -88"}, 0},
      {"incomplete frame waits", {"@00010-36"}, {}, 9},
      {"frame then POST", {"@00003-36" + post}, {"frame -36 -36", postEvent}, postHeld},
      {"POST handed over again on each receive", {post, "body"}, {postEvent, postAgain}, postHeld + 4},
  };
  for (const auto& c : cases) {
    CFrameAssembler a;
    Recorder r;
    for (const auto& bytes : c.receives) Feed(a, r, bytes);
    EXPECT_EQ(r.events, c.events) << c.name;
    EXPECT_EQ(a.Held(), c.held) << c.name;
  }
}

TEST(FrameAssembler, AConsumedRequestLetsTheBytesAfterItBeHandledAfresh) {
  CFrameAssembler a;
  Recorder r;
  r.consumeOnPost = 10;
  Feed(a, r, "POST /abcd@00003-36@00003-88");
  EXPECT_EQ(r.events, (std::vector<std::string>{"post 28 POST /abcd@0", "frame -36 -36", "frame -88 -88"}));
  EXPECT_EQ(a.Held(), 0);
}

TEST(FrameAssembler, AHandlerThatWaitsKeepsTheRestForLaterInOrder) {
  struct Case {
    const char* name;
    std::vector<std::string> receives;  // fed one after another until a handler waits
    std::vector<std::string> beforeWait;
    std::vector<std::string> afterContinue;  // one Continue() (which may wait again)
    int held;                                // after it
  } cases[] = {
      {"frames behind a waiting one", {"@00003-46@00003-36@00003-88@0"}, {"frame -46 -46"},
       {"frame -36 -36", "frame -88 -88"}, 2},
      {"a second wait stops again", {"@00003-46@00003-46@00003-36"}, {"frame -46 -46"}, {"frame -46 -46"}, 9},
      {"a held frame completed by the receive that waits", {"@00003-4", "6@00003-36"}, {"frame -46 -46"},
       {"frame -36 -36"}, 0},
  };
  for (const auto& c : cases) {
    CFrameAssembler a;
    Recorder r;
    r.waitCode = -46;
    bool waiting = false;
    for (const auto& bytes : c.receives) waiting = Feed(a, r, bytes);
    EXPECT_TRUE(waiting) << c.name;
    EXPECT_EQ(r.events, c.beforeWait) << c.name;
    r.events.clear();
    a.Continue(r);
    EXPECT_EQ(r.events, c.afterContinue) << c.name;
    EXPECT_EQ(a.Held(), c.held) << c.name;
  }

  // A bare POST request that waits: what follows it is handled after its answer.
  CFrameAssembler a;
  Recorder r;
  r.consumeOnPost = 10;
  r.waitOnPost = true;
  EXPECT_TRUE(Feed(a, r, "POST /abcd@00003-36"));
  EXPECT_EQ(r.events, (std::vector<std::string>{"post 19 POST /abcd@0"}));
  r.events.clear();
  EXPECT_FALSE(a.Continue(r));
  EXPECT_EQ(r.events, (std::vector<std::string>{"frame -36 -36"}));
  EXPECT_EQ(a.Held(), 0);
}

TEST(FrameAssembler, ByteAtATimeDispatchesOnceOnTheLastByte) {
  const std::string frame = "@00027-3620210807001e00383436470a";
  CFrameAssembler a;
  Recorder r;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    Feed(a, r, frame.substr(i, 1));
    EXPECT_EQ(r.events.size(), i + 1 == frame.size() ? 1u : 0u) << i;
  }
  EXPECT_EQ(r.events.at(0), "frame -36 -3620210807001e00383436470a");
  EXPECT_EQ(a.Held(), 0);
}

TEST(FrameAssembler, AFullReceiveOfSmallFramesIsHandledInOrder) {
  std::string bytes;
  for (int i = 0; i < 4000; ++i) bytes += "@00005-36" + std::to_string(10 + i % 90);  // 44 000 bytes
  CFrameAssembler a;
  Recorder r;
  Feed(a, r, bytes.substr(0, 32768));
  Feed(a, r, bytes.substr(32768));
  ASSERT_EQ(r.events.size(), 4000u);
  EXPECT_EQ(r.events[0], "frame -36 -3610");
  EXPECT_EQ(r.events[3999], "frame -36 -36" + std::to_string(10 + 3999 % 90));
  EXPECT_EQ(a.Held(), 0);
}

TEST(FrameAssembler, LargestFrameAcrossSeveralReceives) {
  std::string payload = "-19" + std::string(99996, '@');  // "@" bytes inside a payload are data
  std::string frame = "@99999" + payload;
  CFrameAssembler a;
  Recorder r;
  for (std::size_t off = 0; off < frame.size(); off += 32768) Feed(a, r, frame.substr(off, 32768));
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.events[0].size(), std::string("frame -19 ").size() + payload.size());
}

TEST(FrameAssembler, OverflowDropsTheHeldBytesAndKeepsTheNewOnes) {
  CFrameAssembler a;
  Recorder r;
  Feed(a, r, "POST /" + std::string(199990 - 6, 'x'));
  ASSERT_EQ(a.Held(), 199990);
  r.events.clear();
  Feed(a, r, "zz@00003-3");  // 10 bytes: 199 990 + 10 > 199 998
  EXPECT_TRUE(r.events.empty());
  EXPECT_EQ(a.Held(), 8);  // "zz" dropped as noise; the partial frame is kept
  Feed(a, r, "6");
  EXPECT_EQ(r.events, (std::vector<std::string>{"frame -36 -36"}));
}

TEST(FrameAssembler, StopsBetweenFramesWhenTheConnectionIsTornDown) {
  CFrameAssembler a;
  Recorder r;
  r.stopAfter = 1;
  Feed(a, r, "@00003-36@00003-88@00003-36");
  EXPECT_EQ(r.events.size(), 1u);
}

TEST(ReadLenient, Table) {
  struct {
    const char* field;
    int value;
  } cases[] = {{"00027", 27}, {"  012", 12}, {"+12", 12}, {"-9x", -9}, {"-0006", -6}, {"abcde", 0},
               {"", 0},       {"-", 0},      {" \t 7", 7}, {"12 34", 12}, {"99999", 99999}};
  for (const auto& c : cases) {
    EXPECT_EQ(ReadLenient(reinterpret_cast<const std::uint8_t*>(c.field), static_cast<int>(std::strlen(c.field))),
              c.value)
        << c.field;
  }
  const std::uint8_t longer[] = {'1', '2', '3', '4'};
  EXPECT_EQ(ReadLenient(longer, 3), 123);  // never past the field
}

}  // namespace
}  // namespace velmo::test
