#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include "bytes.h"
#include "support.h"
#include "tiles.h"
#include "tiz.h"

TEST(BigEndian, DecodesHighBitBytesWithoutSignExtension) {
  struct Row {
    unsigned char bytes[2];
    std::uint16_t unsigned_value;
    std::int16_t signed_value;
  };
  const Row rows[] = {{{0x00, 0x00}, 0, 0},         {{0x01, 0x02}, 258, 258},
                      {{0x00, 0xff}, 255, 255},     {{0x9e, 0x01}, 0x9e01, -25087},
                      {{0x7f, 0xff}, 32767, 32767}, {{0x80, 0x00}, 32768, -32768},
                      {{0xff, 0xc0}, 65472, -64},   {{0xff, 0xff}, 65535, -1}};
  for (const Row& row : rows) {
    EXPECT_EQ(read_u16be(row.bytes), row.unsigned_value);
    EXPECT_EQ(read_s16be(row.bytes), row.signed_value);
  }
}

TEST(TileFileName, PadsToFourDigitsAndGrowsPastThem) {
  const std::pair<int, const char*> rows[] = {{0, "tile0000.jpg"},      {12, "tile0012.jpg"},
                                              {9999, "tile9999.jpg"},   {10000, "tile10000.jpg"},
                                              {65534, "tile65534.jpg"}, {262143, "tile262143.jpg"}};
  for (const auto& [tile, expected] : rows) {
    char name[kTileNameBytes];
    tile_file_name(tile, name);
    EXPECT_STREQ(name, expected);
  }
}

// A pipe fed in pieces, with a signal that interrupts the blocked read
// before each (no SA_RESTART): every byte must come through, once, in order.
TEST(ExactIo, ReadsGatherPiecesAndCarryOnThroughSignals) {
  struct sigaction quiet {};
  struct sigaction old {};
  quiet.sa_handler = [](int) {};
  ASSERT_EQ(sigaction(SIGUSR1, &quiet, &old), 0);
  const auto old_pipe = std::signal(SIGPIPE, SIG_IGN);
  const Bytes data = pattern(200000, 7);
  struct Row {
    const char* name;
    std::function<Bytes(int in, const std::string& dir)> read;
  };
  const Row rows[] = {
      {"read_all",
       [&](int in, const std::string&) {
         Bytes got(data.size() + 100, '\0');
         const long long count = read_all(in, got.data(), got.size());
         return count < 0 ? Bytes("failed") : got.substr(0, static_cast<std::size_t>(count));
       }},
      {"copy_all",
       [&](int in, const std::string& dir) {
         const std::string path = dir + "/copy";
         const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
         const bool copied = copy_all(in, out);
         close(out);
         return copied ? read_file(path) : Bytes("failed");
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pthread_t reader = pthread_self();
    std::thread writer([&] {
      for (std::size_t at = 0; at < data.size(); at += 7000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pthread_kill(reader, SIGUSR1);
        const Bytes chunk = data.substr(at, 7000);
        if (write(ends[1], chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
          break;
        }
      }
      close(ends[1]);
    });
    const Bytes got = row.read(ends[0], dir.path);
    close(ends[0]);  // a writer left blocked by a read that gave up fails instead
    writer.join();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
  }
  sigaction(SIGUSR1, &old, nullptr);
  std::signal(SIGPIPE, old_pipe);
}

// A regular file ends at a short read; asked for more than it holds, it
// gives what it holds, whichever way the end is told.
TEST(ExactIo, AFileEndsAtItsSizeEitherWay) {
  TempDir dir;
  const Bytes data = pattern(70000);
  write_file(dir.path + "/file", data);
  for (const InputEnd end : {InputEnd::at_nothing, InputEnd::at_short_read}) {
    const int in = open((dir.path + "/file").c_str(), O_RDONLY);
    Bytes got(100000, '\0');
    EXPECT_EQ(read_all(in, got.data(), got.size(), end), 70000);
    EXPECT_TRUE(got.substr(0, 70000) == data);
    EXPECT_EQ(read_all(in, got.data(), got.size(), end), 0);
    close(in);
  }
}

// Lists the bytes in `path` in-process, as tilelist would.
static Outcome list_path(const std::string& path) {
  return capture([&] {
    RecordBuffer in;
    in.fd = open(path.c_str(), O_RDONLY);
    const int status = list_tiz(in);
    if (status == 0) {
      close(in.fd);
    }
    return status;
  });
}

static std::string last_line(const std::string& text) {
  const std::size_t start = text.rfind('\n', text.size() - 2);
  return text.substr(start == std::string::npos ? 0 : start + 1);
}

// Every prefix of a valid file falls short inside exactly one request (the file
// header, a record header or a payload); the run must name that request's size
// and the bytes it got, and end with status 1.
TEST(RecordStream, EveryPrefixOfAValidFileFailsAtTheRightRequest) {
  const Bytes payloads[] = {pattern(5), "", be16(1) + "zab"};
  const char kinds[] = {'2', '0', '1'};
  Bytes records;
  std::vector<std::size_t> requests = {kFileHeaderBytes};
  for (int i = 0; i < 3; ++i) {
    records += record(kinds[i], payloads[i]);
    requests.insert(requests.end(), {kRecordHeaderBytes, payloads[i].size()});
  }
  const Bytes file = tiz_file(3, records);
  TempDir dir;
  const std::string path = dir.path + "/cut.tiz";
  for (std::size_t length = 0; length < file.size(); ++length) {
    SCOPED_TRACE(length);
    std::size_t start = 0;
    std::size_t request = 0;
    while (start + requests[request] <= length) {
      start += requests[request++];
    }
    write_file(path, file.substr(0, length));
    const Outcome run = list_path(path);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(last_line(run.out), "Read of " + std::to_string(requests[request]) +
                                      " bytes failed: 0 (got " + std::to_string(length - start) +
                                      ")!\n");
  }
  write_file(path, file);
  EXPECT_EQ(list_path(path).status, 0);
}

TEST(RecordStream, ReadErrorReportsTheSystemCodeAndClosesTheInput) {
  TempDir dir;
  RecordBuffer in;
  in.fd = open(dir.path.c_str(), O_RDONLY);
  const int fd = in.fd;
  const Outcome run = capture([&] { return list_tiz(in); });
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Read of 8 bytes failed: " + std::to_string(EISDIR) + " (got -1)!\n");
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST(RecordStream, ShortFileReportsNoStaleErrorCode) {
  TempDir dir;
  write_file(dir.path + "/short", "TIZ0");
  const Outcome run = capture([&] {
    RecordBuffer in;
    in.fd = open((dir.path + "/short").c_str(), O_RDONLY);
    errno = EACCES;  // as a tile file that would not open leaves it
    return list_tiz(in);
  });
  EXPECT_EQ(run.out, "Read of 8 bytes failed: 0 (got 4)!\n");
}

// A pipe hands over whatever the writer has put in so far; the walk must gather
// those pieces, and must not wait for end of file once the last record is in,
// since the writer may keep the pipe open.
TEST(RecordStream, GathersSmallPipeChunksAndNeverWaitsPastTheLastRecord) {
  const Bytes file =
      tiz_file(3, record('2', pattern(40)) + record('0', "zz") + record('1', be16(3) + "zlbjpeg"));
  TempDir dir;
  write_file(dir.path + "/whole.tiz", file);
  const Outcome expected = list_path(dir.path + "/whole.tiz");
  ASSERT_EQ(expected.status, 0);

  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::thread writer([&] {
    for (std::size_t at = 0; at < file.size(); at += 3) {
      const Bytes chunk = file.substr(at, 3);
      ASSERT_EQ(write(ends[1], chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  RecordBuffer in;
  in.fd = ends[0];
  const Outcome piped = capture([&] { return list_tiz(in); });
  writer.join();
  close(ends[0]);
  close(ends[1]);
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out, expected.out);
}

// Each tool on a good file: a small stack must not matter (the record buffer is
// static), and output lost to a full device must not pass for success.
TEST(AllTools, SurviveASmallStackAndReportLostOutput) {
  const Bytes tiz = tiz_file(1, record('2', pattern(300)));
  const Bytes moz = moz_file(64, 64, record('J', pattern(300)));
  Bytes records;  // lines enough to fill several output buffers before the end
  for (int i = 0; i < 5000; ++i) {
    records += record('2', "x");
  }
  const Bytes many = tiz_file(5000, records);
  const std::pair<const char*, const Bytes*> rows[] = {{TIZ_TILELIST, &tiz},
                                                       {TIZ_TILESAVE, &tiz},
                                                       {MOZ_GRIDCHECK, &moz},
                                                       {MOZ_TILESAVE, &moz},
                                                       {TIZ_TILELIST, &many}};
  for (const auto& [tool, input] : rows) {
    SCOPED_TRACE(tool);
    TempDir dir;
    write_file(dir.path + "/in", *input);
    Surroundings small_stack;
    small_stack.stack_kib = 200;
    const Outcome run = run_tool(tool, {dir.path + "/in"}, dir.path, small_stack);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");

    Surroundings full;
    full.stdout_path = "/dev/full";
    const Outcome lost = run_tool(tool, {dir.path + "/in"}, dir.path, full);
    EXPECT_EQ(lost.status, 1);
    EXPECT_NE(lost.err.find(": writing standard output failed: No space left on device\n"),
              std::string::npos)
        << lost.err;
    EXPECT_EQ(std::count(lost.err.begin(), lost.err.end(), '\n'), 1);
  }
}
