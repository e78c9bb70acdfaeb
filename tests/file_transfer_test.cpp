// File transfer over real sockets: uploads, downloads, cancel, and the names
// and paths a hostile peer might send.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <zlib.h>

#include "protocol/DeviceProtocol.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/SocketServer.h"
#include "tests/ServerFixture.h"

namespace velmo::test {
namespace {

namespace fs = std::filesystem;

struct Owner {
  EventRecorder events;
  std::atomic<bool> refuse{false};
};
Owner& O(void* u) { return *static_cast<Owner*>(u); }
void OnRequest(void* u, const char* path, int* accept) {
  O(u).events.Add(std::string("request ") + path);
  if (O(u).refuse) *accept = 0;
}
void OnProgress(void* u, int done, int total) {
  O(u).events.Add("progress " + std::to_string(done) + " " + std::to_string(total));
}
void OnSucc(void* u, const char* path) { O(u).events.Add(std::string("succ ") + path); }
void OnFail(void* u, const char* path, int reason) {
  O(u).events.Add(std::string("fail ") + path + " " + std::to_string(reason));
}
void OnData(void* u, const char* d, int n) { O(u).events.Add("data " + std::string(d, static_cast<std::size_t>(n))); }
void OnDisconnect(void* u, Socket s, int reason) {
  O(u).events.Add("disconnect " + std::to_string(s) + " " + std::to_string(reason));
}

std::string Ten(long long v) {
  char t[16];
  std::snprintf(t, sizeof t, "%010lld", v);
  return t;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() / ("velmo-transfer-" + std::to_string(getpid()));
    fs::remove_all(base_);
    dir_ = base_ / "files";
    fs::create_directories(dir_);
    fileDir_ = dir_.string() + "/";
    ServerConfig config;
    config.owner = &owner_;
    config.fileDir = fileDir_;
    config.progressIntervalMs = 1000;
    config.callbacks.onRecvFileRequest = &OnRequest;
    config.callbacks.onRecvFileProgress = &OnProgress;
    config.callbacks.onRecvFileSucc = &OnSucc;
    config.callbacks.onRecvFileFail = &OnFail;
    config.callbacks.onRecvData = &OnData;
    config.callbacks.onSocketDisconnect = &OnDisconnect;
    config.timings = Timings();
    config.protocol = Protocol();
    server_ = MakeServer(window_, config);
    ASSERT_TRUE(d_.Connect(Port()));
  }
  void TearDown() override {
    window_.Call([&] { server_.reset(); });
    fs::remove_all(base_);
  }
  std::vector<std::string> Events(const std::string& prefix) {
    std::vector<std::string> out;
    for (auto& l : owner_.events.Lines()) {
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    }
    return out;
  }
  void Upload(long long size, const std::string& name) { d_.Send(Frame("-16" + Ten(size) + name)); }
  virtual ServerTimings Timings() const { return ServerTimings{}; }
  virtual ProtocolSettings Protocol() const { return ProtocolSettings{}; }
  std::uint16_t Port() { return ListeningPort(window_, *server_); }

  LoopThread window_;
  Owner owner_;
  fs::path base_, dir_;
  std::string fileDir_;
  std::unique_ptr<CSocketServer> server_;
  FakeDevice d_;
};

TEST_F(TransferTest, ZeroByteUploadIsAcceptedAndCompleteAtOnce) {
  Upload(0, "zero.bin");
  EXPECT_EQ(d_.ReadFrame(), "-170000000000");
  EXPECT_EQ(d_.ReadFrame(), "-20");
  ASSERT_TRUE(owner_.events.WaitCount("succ ", 1));
  EXPECT_EQ(Events("request "), (std::vector<std::string>{"request " + fileDir_ + "zero.bin"}));
  EXPECT_EQ(Events("data "), (std::vector<std::string>{"data @00013-170000000000"}));
  EXPECT_TRUE(fs::exists(dir_ / "zero.bin"));
  EXPECT_EQ(fs::file_size(dir_ / "zero.bin"), 0u);
}

TEST_F(TransferTest, TenBytesInOneFrame) {
  std::ofstream(dir_ / "ten.bin") << "old contents that go";
  Upload(10, "ten.bin");
  EXPECT_EQ(d_.ReadFrame(), "-170000000000");
  d_.Send(Frame("-19" + std::string("0123456789")));
  EXPECT_EQ(d_.ReadFrame(), "-490000000000");
  EXPECT_EQ(d_.ReadFrame(), "-20");
  ASSERT_TRUE(owner_.events.WaitCount("succ ", 1));
  EXPECT_EQ(Events("progress "), (std::vector<std::string>{"progress 10 10"}));
  auto lines = owner_.events.Lines();
  EXPECT_EQ(lines.back(), "succ " + fileDir_ + "ten.bin");  // progress first, then success
  EXPECT_EQ(ReadAll(dir_ / "ten.bin"), "0123456789");
}

TEST_F(TransferTest, DataWithoutAnUploadIsIgnored) {
  d_.Send(Frame("-19abc"));
  d_.Send(Frame("-29"));
  EXPECT_TRUE(d_.Silent());
}

TEST_F(TransferTest, TheDeviceEndsItsTransferAndTheFilesStay) {
  const std::string source(7000, 'g');
  std::ofstream(dir_ / "get.bin", std::ios::binary) << source;
  const std::string getPath = fs::canonical(dir_ / "get.bin").string();
  struct {
    bool upload;
    const char* frame;
    const char* reason;
    const char* reply;  // what the device gets, if anything
  } cases[] = {{true, "-21", "5", nullptr},          {true, "-23", "6", nullptr},
               {false, "-21", "5", nullptr},         {false, "-23", "6", nullptr},
               {false, "-19written?", "6", "-24"}};  // a download's file takes no data
  for (const auto& c : cases) {
    const std::string what = std::string(c.upload ? "upload " : "download ") + c.frame;
    std::string path;
    if (c.upload) {
      std::string name = std::string("part") + c.frame + ".bin";
      path = fileDir_ + name;
      Upload(100, name);
      ASSERT_EQ(d_.ReadFrame(), "-170000000000") << what;
      d_.Send(Frame("-19" + std::string(40, 'p')));
      ASSERT_EQ(d_.ReadFrame(), "-490000000000") << what;
    } else {
      path = getPath;
      d_.Send(Frame("-26" + Ten(3072) + "get.bin"));
      ASSERT_EQ(d_.ReadFrame().substr(0, 13), "-270000007000") << what;
      d_.Send(Frame("-29"));
      ASSERT_EQ(d_.ReadFrame().size(), 3u + 3072) << what;
    }
    const std::size_t fails = Events("fail ").size();
    d_.Send(Frame(c.frame));
    if (c.reply) {
      EXPECT_EQ(d_.ReadFrame(), c.reply) << what;
    }
    ASSERT_TRUE(owner_.events.WaitCount("fail ", fails + 1)) << what;
    EXPECT_EQ(Events("fail ").back(), "fail " + path + " " + c.reason) << what;
    d_.Send(Frame(c.upload ? "-19more" : "-29"));  // the file is closed
    EXPECT_TRUE(d_.Silent()) << what;
    if (c.upload) {
      EXPECT_EQ(fs::file_size(path), 40u) << what;
    }
  }
  EXPECT_EQ(ReadAll(dir_ / "get.bin"), source);
  EXPECT_EQ(Events("fail ").size(), 5u);
}

TEST_F(TransferTest, ASecondRequestStartsOverSilently) {
  Upload(100, "first.bin");
  ASSERT_EQ(d_.ReadFrame(), "-170000000000");
  d_.Send(Frame("-19" + std::string(10, 'a')));
  ASSERT_EQ(d_.ReadFrame(), "-490000000000");
  Upload(3, "second.bin");
  EXPECT_EQ(d_.ReadFrame(), "-170000000000");
  d_.Send(Frame("-19xyz"));
  EXPECT_EQ(d_.ReadFrame(), "-490000000000");
  EXPECT_EQ(d_.ReadFrame(), "-20");
  ASSERT_TRUE(owner_.events.WaitCount("succ ", 1));
  EXPECT_TRUE(Events("fail ").empty());
  EXPECT_EQ(fs::file_size(dir_ / "first.bin"), 10u);
  EXPECT_EQ(ReadAll(dir_ / "second.bin"), "xyz");
}

TEST_F(TransferTest, RefusedUploadsFailWith6AndMinus24AndLandNowhere) {
  fs::create_directories(base_ / "outside");
  fs::create_symlink(base_ / "outside" / "target.bin", dir_ / "link.bin");
  struct {
    const char* name;
    long long size;
    std::string file;
  } cases[] = {
      {"empty name", 5, ""},
      {"parent", 5, ".."},
      {"dot", 5, "."},
      {"slash", 5, "../outside/x.bin"},
      {"backslash", 5, "..\\x.bin"},
      {"zero byte", 5, std::string("a\0b", 3)},
      {"long name", 5, std::string(250, 'n')},
      {"4 GiB", 4294967296LL, "big.bin"},
      {"negative size", -5, "neg.bin"},
  };
  int fails = 0;
  for (const auto& c : cases) {
    Upload(c.size, c.file);
    EXPECT_EQ(d_.ReadFrame(), "-24") << c.name;
    EXPECT_TRUE(owner_.events.WaitCount("fail ", static_cast<std::size_t>(++fails))) << c.name;
    EXPECT_EQ(LastReason(owner_.events, "fail "), 6) << c.name;
  }
  EXPECT_TRUE(Events("request ").empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(base_ / "outside"), fs::directory_iterator{}), 0);
  EXPECT_EQ(owner_.events.Count("data upload refused: "), 9u);

  // A symbolic link of the upload's name is replaced, never followed.
  Upload(2, "link.bin");
  EXPECT_EQ(d_.ReadFrame(), "-170000000000");
  d_.Send(Frame("-19ok"));
  EXPECT_EQ(d_.ReadFrame(), "-490000000000");
  EXPECT_EQ(d_.ReadFrame(), "-20");
  EXPECT_FALSE(fs::is_symlink(dir_ / "link.bin"));
  EXPECT_EQ(ReadAll(dir_ / "link.bin"), "ok");
  EXPECT_FALSE(fs::exists(base_ / "outside" / "target.bin"));
}

TEST_F(TransferTest, DirectoryPlusNameLongerThan259IsRefused) {
  std::string name(259 - fileDir_.size() + 1, 'x');  // within 249 only when the directory is short
  if (name.size() > 249) GTEST_SKIP() << "temporary directory too short for this case";
  Upload(5, name);
  EXPECT_EQ(d_.ReadFrame(), "-24");
}

TEST_F(TransferTest, RefusedByTheOwner) {
  owner_.refuse = true;
  Upload(5, "no.bin");
  EXPECT_EQ(d_.ReadFrame(), "-18");
  EXPECT_FALSE(fs::exists(dir_ / "no.bin"));
}

TEST_F(TransferTest, DownloadInBlocksWithTheRightCrc) {
  std::string content(7000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 + 7);
  std::ofstream(dir_ / "data.bin", std::ios::binary) << content;
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08lx", crc32(0, reinterpret_cast<const Bytef*>(content.data()), 7000));

  d_.Send(Frame("-26" + Ten(3072) + "data.bin"));
  EXPECT_EQ(d_.ReadFrame(), "-270000007000" + std::string(crc) + "data.bin");
  std::string received;
  for (std::size_t block : {3072u, 3072u, 856u}) {
    d_.Send(Frame("-29"));
    std::string frame = d_.ReadFrame();
    ASSERT_EQ(frame.size(), 3 + block);
    EXPECT_EQ(frame.substr(0, 3), "-39");
    received += frame.substr(3);
  }
  EXPECT_EQ(received, content);
  d_.Send(Frame("-29"));  // the file was closed after the last block
  EXPECT_TRUE(d_.Silent());
  EXPECT_EQ(owner_.events.Count("data @00029-27"), 1u);
}

TEST_F(TransferTest, BlocksAskedForAheadArriveInOrder) {
  // A device may ask for the next blocks before the previous ones arrived:
  // the blocks the file threads hand over and those sent straight from the
  // read-ahead must still leave in file order.
  std::string content(100 * 1024, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 1000);
  std::ofstream(dir_ / "ahead.bin", std::ios::binary) << content;
  const std::size_t block = 1000, blocks = content.size() / block + 1;
  for (int round = 0; round < 100; ++round) {  // the race is narrow: many rounds
    ASSERT_TRUE(d_.Send(Frame("-26" + Ten(block) + "ahead.bin")));
    ASSERT_EQ(d_.ReadFrame().substr(0, 13), "-270000102400");
    // One ask per packet, without waiting: each arrives as its own read while
    // the file threads are still handing over the blocks asked for before.
    for (std::size_t i = 0; i < blocks; ++i) ASSERT_TRUE(d_.Send(Frame("-29")));
    std::string received;
    for (std::size_t i = 0; i < blocks; ++i) {
      std::string frame = d_.ReadFrame();
      ASSERT_EQ(frame.substr(0, 3), "-39") << "round " << round << ", block " << i;
      received += frame.substr(3);
    }
    ASSERT_EQ(received.size(), content.size()) << "round " << round;
    ASSERT_TRUE(received == content) << "round " << round << ": blocks out of order";
  }
}

TEST_F(TransferTest, ADeviceThatDoesNotReadItsBlocksGetsOneFailureAndGoesOnWhenItReads) {
  std::string content(20u << 20, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 13 + i / 99996);
  std::ofstream(dir_ / "big.bin", std::ios::binary) << content;
  FakeDevice slow;
  slow.Open();
  int small = 4096;
  setsockopt(slow.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_TRUE(slow.ConnectOpened(Port()));
  slow.Send(Frame("-26" + Ten(99996) + "big.bin"));
  ASSERT_EQ(slow.ReadFrame(5000ms).substr(0, 13), "-270020971520");

  // Asks for block after block without reading one: once its output is full,
  // the next -39 is refused and reported, once.
  for (int i = 0; i < 200 && Events("fail ").empty(); ++i) {
    slow.Send(Frame("-29"));
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(owner_.events.WaitCount("fail ", 1));
  for (int i = 0; i < 20; ++i) slow.Send(Frame("-29"));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Events("fail "), std::vector<std::string>{"fail " + fileDir_ + "big.bin 6"});

  // The file stays open: what was sent arrives whole and in order, and the
  // next -29 carries on from there.
  std::string received;
  for (std::string frame; !(frame = slow.ReadFrame(500ms)).empty();) {
    ASSERT_EQ(frame.substr(0, 3), "-39");
    received += frame.substr(3);
  }
  ASSERT_GT(received.size(), 0u);
  ASSERT_EQ(received.size() % 99996, 0u);
  slow.Send(Frame("-29"));
  std::string next = slow.ReadFrame();
  ASSERT_EQ(next.substr(0, 3), "-39");
  received += next.substr(3);
  EXPECT_TRUE(received == content.substr(0, received.size()));
}

TEST_F(TransferTest, BlockSizesAreBounded) {
  std::ofstream(dir_ / "big.bin", std::ios::binary) << std::string(100000, 'b');
  struct {
    long long block;
    std::size_t first;
  } cases[] = {{0, 3072}, {-5, 3072}, {200000, 99996}, {99996, 99996}};
  for (const auto& c : cases) {
    d_.Send(Frame("-26" + Ten(c.block) + "big.bin"));
    ASSERT_EQ(d_.ReadFrame().substr(0, 13), "-270000100000");
    d_.Send(Frame("-29"));
    EXPECT_EQ(d_.ReadFrame(3000ms).size(), 3 + c.first) << c.block;
  }
}

TEST_F(TransferTest, DownloadsStayInsideTheirRoot) {
  fs::create_directories(base_ / "secret");
  std::ofstream(base_ / "secret" / "key") << "secret";
  fs::create_symlink(base_ / "secret" / "key", dir_ / "escape");
  fs::create_directories(dir_ / "sub");
  std::ofstream(dir_ / "sub" / "ok.txt") << "fine";
  const std::string refused[] = {"../secret/key", (base_ / "secret" / "key").string(), "escape", "/etc/hostname",
                                 "sub/../../secret/key"};
  for (const auto& path : refused) {
    d_.Send(Frame("-26" + Ten(3072) + path));
    EXPECT_TRUE(d_.Silent(50ms)) << path;
  }
  EXPECT_EQ(owner_.events.Count("data download refused: "), 5u);
  for (const std::string& path : {std::string("missing.bin"), std::string("sub"), std::string(300, 'p')}) {
    d_.Send(Frame("-26" + Ten(3072) + path));
    EXPECT_TRUE(d_.Silent(50ms)) << path;
  }
  d_.Send(Frame("-26" + Ten(3072) + "sub/ok.txt"));
  EXPECT_EQ(d_.ReadFrame().substr(0, 13), "-270000000004");
  d_.Send(Frame("-26" + Ten(3072) + (dir_ / "sub" / "ok.txt").string()));  // absolute, but inside
  EXPECT_EQ(d_.ReadFrame().substr(0, 13), "-270000000004");
}

TEST_F(TransferTest, ProgressIsRateLimitedWithOneAtTheEnd) {
  Upload(20 * 100, "steady.bin");
  ASSERT_EQ(d_.ReadFrame(), "-170000000000");
  for (int i = 0; i < 20; ++i) {
    d_.Send(Frame("-19" + std::string(100, 's')));
    ASSERT_EQ(d_.ReadFrame(), "-490000000000");
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(d_.ReadFrame(), "-20");
  ASSERT_TRUE(owner_.events.WaitCount("succ ", 1));
  auto progress = Events("progress ");
  ASSERT_GE(progress.size(), 1u);
  EXPECT_LE(progress.size(), 2u);  // at most one a second, plus the one at the end
  EXPECT_EQ(progress.back(), "progress 2000 2000");
}

TEST_F(TransferTest, CancelSendsMinus22ToUploadsAndDownloadsAndReportsNothing) {
  Upload(100, "cancelled.bin");
  ASSERT_EQ(d_.ReadFrame(), "-170000000000");
  d_.Send(Frame("-19" + std::string(30, 'c')));
  ASSERT_EQ(d_.ReadFrame(), "-490000000000");
  std::ofstream(dir_ / "get.bin") << std::string(7000, 'g');
  FakeDevice downloading;
  ASSERT_TRUE(downloading.Connect(Port()));
  downloading.Send(Frame("-26" + Ten(3072) + "get.bin"));
  ASSERT_EQ(downloading.ReadFrame().substr(0, 13), "-270000007000");
  window_.Call([&] { server_->CancelAllRecv(); });
  EXPECT_EQ(d_.ReadFrame(), "-22");
  EXPECT_EQ(downloading.ReadFrame(), "-22");
  d_.Send(Frame("-19more"));
  downloading.Send(Frame("-29"));
  EXPECT_TRUE(d_.Silent());
  EXPECT_TRUE(downloading.Silent());
  EXPECT_TRUE(Events("fail ").empty());
  EXPECT_TRUE(Events("succ ").empty());
  EXPECT_EQ(fs::file_size(dir_ / "cancelled.bin"), 30u);
  window_.Call([&] { server_->CancelAllRecv(); });  // nothing in progress: nothing sent
  EXPECT_TRUE(d_.Silent());
}

TEST_F(TransferTest, DestroyingTheServerCancelsUploadsAndDownloads) {
  Upload(100, "shutdown.bin");
  ASSERT_EQ(d_.ReadFrame(), "-170000000000");
  std::ofstream(dir_ / "get.bin") << "12345";
  FakeDevice downloading;
  ASSERT_TRUE(downloading.Connect(Port()));
  downloading.Send(Frame("-26" + Ten(3072) + "get.bin"));
  ASSERT_EQ(downloading.ReadFrame().substr(0, 13), "-270000000005");
  window_.Call([&] { server_.reset(); });
  for (FakeDevice* d : {&d_, &downloading}) {
    EXPECT_EQ(d->ReadFrame(), "-22");
    EXPECT_TRUE(d->WaitClosed());
  }
  EXPECT_TRUE(Events("fail ").empty());
}

TEST_F(TransferTest, ADownloadRequestClosesAnOpenUpload) {
  std::ofstream(dir_ / "get.bin") << "12345";
  Upload(100, "open.bin");
  ASSERT_EQ(d_.ReadFrame(), "-170000000000");
  d_.Send(Frame("-26" + Ten(3072) + "get.bin"));
  EXPECT_EQ(d_.ReadFrame().substr(0, 13), "-270000000005");
  d_.Send(Frame("-29"));
  EXPECT_EQ(d_.ReadFrame(), "-3912345");  // the last block closes the download
  d_.Send(Frame("-19data"));              // and the upload is no longer open
  EXPECT_TRUE(d_.Silent());
  EXPECT_EQ(fs::file_size(dir_ / "open.bin"), 0u);
  EXPECT_TRUE(Events("fail ").empty());
}

TEST_F(TransferTest, WhatIsNoRegularFileIsRefusedLikeAMissingOneAndTheServerGoesOn) {
  ASSERT_EQ(mkfifo((dir_ / "pipe").c_str(), 0600), 0);  // opening it to read would block for ever
  fs::create_directories(dir_ / "folder");
  struct {
    const char* path;
    const char* why;
  } cases[] = {{"pipe", "data download refused: pipe is a FIFO"},
               {"folder", "data download refused: folder is a directory"}};
  for (const auto& c : cases) {
    d_.Send(Frame("-26" + Ten(3072) + c.path));
    EXPECT_TRUE(owner_.events.WaitCount(c.why, 1)) << c.path;  // the log says why
    EXPECT_TRUE(d_.Silent(50ms)) << c.path;                     // and the device gets no answer
  }
  // The file threads are free: a regular download goes on, and so do new devices.
  std::ofstream(dir_ / "plain.txt") << "fine";
  d_.Send(Frame("-26" + Ten(3072) + "plain.txt"));
  EXPECT_EQ(d_.ReadFrame().substr(0, 13), "-270000000004");
  FakeDevice next;
  ASSERT_TRUE(next.Connect(Port()));
  next.Send(Frame("-3620230101000a00000000000c"));
  EXPECT_EQ(next.ReadFrame().substr(0, 11), "-37Set time");
}

// Downloads whose CRC takes longer than the devices' idle limit: 5 MiB at one
// 1 MiB chunk every 250 ms, against a limit of 5 ticks of 100 ms.
class SlowCrcTest : public TransferTest {
 protected:
  ServerTimings Timings() const override {
    ServerTimings t;
    t.idleTick = 100ms;
    return t;
  }
  ProtocolSettings Protocol() const override {
    ProtocolSettings p;
    p.crcChunkPause = 250ms;
    return p;
  }
};

TEST_F(SlowCrcTest, DevicesAreNotDroppedWhileVelmoComputesTheirCrc) {
  std::string content(5u << 20, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  std::ofstream(dir_ / "big.bin", std::ios::binary) << content;
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08lx",
                crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
  const std::string header = "-27" + Ten(static_cast<long long>(content.size())) + crc + "big.bin";

  // One device keeps heartbeating while it waits, the other stays silent:
  // the time is Velmo's, so neither is dropped, and both get their header.
  FakeDevice silent;
  ASSERT_TRUE(silent.Connect(Port()));
  for (FakeDevice* d : {&d_, &silent}) {
    d->Send(Frame("-36" + std::string(d == &d_ ? "20230101000a00000000000d" : "20230101000a00000000000e")));
    ASSERT_EQ(d->ReadFrame().substr(0, 11), "-37Set time");  // registered: 5 ticks of silence at most from here
    d->Send(Frame("-26" + Ten(99996) + "big.bin"));
  }
  std::string heartbeating;
  auto start = std::chrono::steady_clock::now();
  while (heartbeating.empty() && std::chrono::steady_clock::now() - start < 20s) {
    d_.Send(Frame("-3620230101000a00000000000d"));
    std::string frame = d_.ReadFrame(100ms);
    if (frame.compare(0, 3, "-27") == 0) heartbeating = frame;
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1000ms);  // the CRC took longer than the idle limit
  EXPECT_EQ(heartbeating, header);
  EXPECT_EQ(silent.ReadFrame(20000ms), header);
  for (FakeDevice* d : {&d_, &silent}) {  // still connected, and the download goes on
    d->Send(Frame("-29"));
    std::string block;
    do block = d->ReadFrame(); while (block.compare(0, 3, "-37") == 0);
    EXPECT_EQ(block.size(), 3u + 99996u);
  }
  EXPECT_EQ(owner_.events.Count("disconnect "), 0u);
}

}  // namespace
}  // namespace velmo::test
