// Archive mode on hostile source trees, through the front end as a caller runs it: link
// cycles, FIFOs, sockets, dangling links, a file that vanishes while the archive is made,
// and archive paths taken by a folder, a FIFO or a link. Each run happens in a child
// process with a deadline, so a hang fails the test instead of stalling the suite.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "archive/format.h"
#include "frontend/frontend.h"
#include "security/bounded_run.h"
#include "support/scratch.h"

namespace pbo {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::ReadFile;
using testing::RunBounded;
using testing::ScratchFolder;
using testing::ToBytes;
using testing::WriteFile;

#ifndef _WIN32  // links need a privilege on Windows; FIFOs and sockets do not exist there

class HostileSource : public ::testing::Test {
 protected:
  fs::path Source(const std::string& relative = "") const {
    return scratch_.Path() / "Island" / relative;
  }
  fs::path Archive() const { return scratch_.Path() / "Island.pbo"; }

  // Runs "pbo -a <scratch>/Island" in a child; returns its exit code, or -1 on a hang.
  int Pack() const {
    const std::string folder = Source().string().substr(0, Source().string().size() - 1);
    const auto pack = [folder] { return pbo::Run({"-a", folder}); };
    const testing::BoundedRun run = RunBounded(pack, std::chrono::seconds(30));
    return run.Ended ? run.ExitCode : -1;
  }

  // The names in the archive's table, in order.
  std::vector<std::string> PackedNames() const {
    std::vector<TFileHeaders> table;
    ReadEntryTable(ReadFile(Archive()), Archive().string(), table);
    std::vector<std::string> names;
    for (std::size_t i = 0; i + 1 < table.size(); ++i) names.push_back(table[i].RelativeName);
    return names;
  }

  // True when nothing but the source folder and the archive lies in the scratch folder
  // (no temporary file left behind).
  bool OnlySourceAndArchive() const {
    for (const auto& item : fs::directory_iterator(scratch_.Path())) {
      const std::string name = item.path().filename().string();
      if (name != "Island" && name != "Island.pbo") return false;
    }
    return true;
  }

  ScratchFolder scratch_;
};

TEST_F(HostileSource, LinkCyclesAreWalkedOnce) {
  WriteFile(Source("real/f.txt"), "f");
  fs::create_directory_symlink(Source(), Source("real/up"));      // back to the top
  fs::create_directory_symlink(".", Source("real/self"));         // to its own folder
  fs::create_directory_symlink("../real", Source("real/again"));  // to its own folder, again
  EXPECT_EQ(Pack(), 0);
  EXPECT_EQ(PackedNames(), std::vector<std::string>{"real\\f.txt"});
}

TEST_F(HostileSource, LinksThatPointAtEachOtherFailLikeADanglingLink) {
  WriteFile(Source("a.txt"), "a");
  fs::create_symlink("ping", Source("pong"));
  fs::create_symlink("pong", Source("ping"));
  WriteFile(Archive(), "old");
  EXPECT_EQ(Pack(), 1);
  EXPECT_EQ(ReadFile(Archive()), ToBytes("old"));
  EXPECT_TRUE(OnlySourceAndArchive());
}

TEST_F(HostileSource, DanglingLinkEndsTheRunWithOneAndKeepsTheOldArchive) {
  WriteFile(Source("a.txt"), "a");
  fs::create_symlink(Source("gone.txt"), Source("dangling.txt"));
  WriteFile(Archive(), "old");
  EXPECT_EQ(Pack(), 1);
  EXPECT_EQ(ReadFile(Archive()), ToBytes("old"));
  EXPECT_TRUE(OnlySourceAndArchive());
}

TEST_F(HostileSource, FifosAndSocketsArePassedOverWithoutBlocking) {
  WriteFile(Source("a.txt"), "a");
  fs::create_directories(Source("sub"));
  ASSERT_EQ(::mkfifo(Source("fifo").c_str(), 0600), 0);
  fs::create_symlink(Source("fifo"), Source("sub/fifo-link"));
  // A socket file, bound and left behind (its path must fit in sun_path).
  const std::string socketPath = Source("sock").string();
  ASSERT_LT(socketPath.size(), sizeof(sockaddr_un{}.sun_path));
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(listener);

  EXPECT_EQ(Pack(), 0);
  EXPECT_EQ(PackedNames(), std::vector<std::string>{"a.txt"});
}

TEST_F(HostileSource, FolderNamedLikeTheArchiveGivesTwoAndStaysAsItWas) {
  WriteFile(Source("a.txt"), "a");
  WriteFile(Archive() / "keep.txt", "keep");
  EXPECT_EQ(Pack(), 2);
  EXPECT_EQ(ReadFile(Archive() / "keep.txt"), ToBytes("keep"));
  EXPECT_TRUE(OnlySourceAndArchive());
}

TEST_F(HostileSource, FifoAtTheArchivePathIsReplacedWithoutBlocking) {
  WriteFile(Source("a.txt"), "a");
  ASSERT_EQ(::mkfifo(Archive().c_str(), 0600), 0);
  EXPECT_EQ(Pack(), 0);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Archive())));
  EXPECT_EQ(PackedNames(), std::vector<std::string>{"a.txt"});
}

TEST_F(HostileSource, LinkAtTheArchivePathIsReplacedNotWrittenThrough) {
  ScratchFolder elsewhere;
  WriteFile(elsewhere.Path() / "victim.txt", "victim");
  WriteFile(Source("a.txt"), "a");
  fs::create_symlink(elsewhere.Path() / "victim.txt", Archive());
  EXPECT_EQ(Pack(), 0);
  EXPECT_EQ(ReadFile(elsewhere.Path() / "victim.txt"), ToBytes("victim"));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Archive())));
}

// A file that vanishes between the scan and its read. There is no seam between the two to
// hold the run at, so a second thread removes and restores the file while archives are
// made. Whatever the timing, a run either packs a complete archive (with or without the
// file) or ends with 1 and leaves the older archive whole; it never hangs and never
// leaves a partial archive. The dangling link above is the same failure, made certain.
TEST_F(HostileSource, FileThatVanishesWhilePackingNeverLeavesAPartialArchive) {
  for (int i = 0; i < 20; ++i) {
    WriteFile(Source("f" + std::to_string(i) + ".txt"), Bytes(4000, 'x'));
  }
  const Bytes old = ToBytes("old archive");
  std::atomic<bool> stop{false};
  std::thread flicker([&] {
    while (!stop) {
      std::error_code ignored;
      fs::remove(Source("f10.txt"), ignored);
      WriteFile(Source("f10.txt"), Bytes(4000, 'y'));
    }
  });
  int completed = 0;
  int refused = 0;
  for (int round = 0; round < 30; ++round) {
    WriteFile(Archive(), old);
    RunState run;
    run.Threads = testing::TestThreads();
    run.SourceFolder = Source().string().substr(0, Source().string().size() - 1);
    run.OutputArchive = run.SourceFolder + ".pbo";
    try {
      CreateArchive(run);
      ASSERT_EQ(run.ResultCode, 0);
      std::vector<TFileHeaders> table;
      const Bytes packed = ReadFile(Archive());
      const std::size_t dataStart = ReadEntryTable(packed, Archive().string(), table);
      std::uint64_t dataSize = 0;
      for (const TFileHeaders& entry : table) {
        dataSize += static_cast<std::uint32_t>(entry.DataSize);
      }
      EXPECT_EQ(dataStart + dataSize, packed.size());
      ++completed;
    } catch (const FatalError&) {
      EXPECT_EQ(ReadFile(Archive()), old);
      ++refused;
    }
  }
  stop = true;
  flicker.join();
  EXPECT_EQ(completed + refused, 30);
  EXPECT_TRUE(OnlySourceAndArchive());
}

#endif  // _WIN32

}  // namespace
}  // namespace pbo
