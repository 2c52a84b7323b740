#include "walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support.h"

namespace {

struct Walked {
  std::vector<std::pair<int, Bytes>> records;  // index, payload
  std::vector<std::pair<std::uint64_t, std::uint64_t>> skips;
  bool damaged = false;
};

// Walks `file` (its 8-byte header taken as read) from a file, or from a pipe.
Walked walk(const Bytes& file, int tiles, bool salvage, bool anchor, bool piped = false) {
  static RecordBuffer in;
  in = RecordBuffer{};
  in.silent = true;
  TempDir dir;
  write_file(dir.path + "/in", file);
  int fds[2] = {-1, -1};
  if (piped) {
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], file.data(), file.size()), static_cast<ssize_t>(file.size()));
    close(fds[1]);
    in.fd = fds[0];
  } else {
    in.fd = open((dir.path + "/in").c_str(), O_RDONLY);
  }
  read_exact(in, kFileHeaderBytes);
  Walked walked;
  WalkOptions options{
      salvage, anchor,
      [&](std::uint64_t offset, std::uint64_t bytes) { walked.skips.emplace_back(offset, bytes); },
      nullptr};
  RecordWalk records(in, tiles, options);
  TileRecord record;
  while (records.next(record)) {
    walked.records.emplace_back(
        record.index, Bytes(reinterpret_cast<const char*>(record.payload), record.payload_length));
  }
  walked.damaged = records.damaged();
  close(in.fd);
  return walked;
}

const Bytes kHeader = "MOZ0" + Bytes(4, '\0');

// Five records of distinct sizes; offsets 8, 24, 47, 77, 87.
const std::vector<Bytes> kPayloads = {pattern(10, 1), pattern(17, 2), pattern(24, 3), pattern(4, 4),
                                      pattern(31, 5)};

Bytes records_of(const std::vector<Bytes>& payloads) {
  Bytes bytes;
  for (const Bytes& payload : payloads) {
    bytes += record('J', payload);
  }
  return bytes;
}

std::vector<int> indices(const Walked& walked) {
  std::vector<int> result;
  for (const auto& [index, payload] : walked.records) {
    result.push_back(index);
  }
  return result;
}

}  // namespace

TEST(RecordWalk, SalvagesPastDamageAndPlacesTheLastChainAtTheEnd) {
  const Bytes body = records_of(kPayloads);  // records at 8, 24, 47, 77 and 87
  Bytes past_end = body;
  past_end[16 + 4] = '\x40';  // record 1's length now runs past the end of the file
  Bytes lost_tag = body;
  lost_tag[39] = 'X';  // record 2's tag
  Bytes shorter = body;
  shorter[16 + 5] = '\x05';  // record 1's length now ends inside its own payload
  // A record whose payload holds two tags that make a chain of two records and
  // no more, and whose own tag is lost.
  const Bytes decoy = "TILJ" + be16(0) + "TILJ" + be16(2) + "zzqqqq";
  Bytes decoyed = records_of({kPayloads[0]}) + record('J', decoy) +
                  records_of({kPayloads[2], kPayloads[3], kPayloads[4]});
  decoyed[16] = 'Q';
  struct Row {
    const char* name;
    Bytes file;
    bool anchor;
    std::vector<int> indices;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> skips;
  };
  const Row rows[] = {
      {"intact", kHeader + body, true, {0, 1, 2, 3, 4}, {}},
      {"junk spliced in",
       kHeader + records_of({kPayloads[0], kPayloads[1]}) + "junk TIL junk" +
           records_of({kPayloads[2], kPayloads[3], kPayloads[4]}),
       true,
       {0, 1, 2, 3, 4},
       {{47, 13}}},
      {"a length past the end", kHeader + past_end, true, {0, 2, 3, 4}, {{24, 23}}},
      // Cut short by its own length, record 1 cannot be told from one that junk follows.
      {"a length too short", kHeader + shorter, true, {0, 1, 2, 3, 4}, {{35, 12}}},
      {"a lost tag", kHeader + lost_tag, true, {0, 1, 3, 4}, {{47, 30}}},
      {"a lost tag, in order", kHeader + lost_tag, false, {0, 1, 2, 3}, {{47, 30}}},
      {"cut short", kHeader + body.substr(0, 75), true, {0, 1, 2}, {{77, 6}}},
      {"a decoy chain in a payload", kHeader + decoyed, true, {0, 2, 3, 4}, {{24, 24}}},
      {"nothing but junk", kHeader + "TIL" + Bytes(40, 'j'), true, {}, {{8, 43}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Walked walked = walk(row.file, 5, true, row.anchor);
    EXPECT_EQ(indices(walked), row.indices);
    EXPECT_EQ(walked.skips, row.skips);
    EXPECT_EQ(walked.damaged, !row.skips.empty());
    for (const auto& [index, payload] : walked.records) {
      // Placed in order, tiles after a lost one move up; a shortened record is cut.
      if (row.anchor && (index != 1 || row.skips.empty() || row.skips[0].first != 35)) {
        EXPECT_EQ(payload, kPayloads[static_cast<std::size_t>(index)]) << "tile " << index;
      }
    }
  }
}

TEST(RecordWalk, PlainWalkStopsAtDamageAndPipesArePlacedInOrder) {
  Bytes lost_tag = kHeader + records_of(kPayloads);
  lost_tag[8 + 39] = 'X';
  const Walked plain = walk(lost_tag, 5, false, true);
  EXPECT_EQ(indices(plain), (std::vector<int>{0, 1}));
  EXPECT_TRUE(plain.damaged);
  EXPECT_TRUE(plain.skips.empty());

  // Two lost records, read from a pipe: no second reading, so in order.
  Bytes twice = lost_tag;
  twice[8 + 16] = 'X';
  const Walked piped = walk(twice, 5, true, true, true);
  EXPECT_EQ(indices(piped), (std::vector<int>{0, 1, 2}));
  const Walked seekable = walk(twice, 5, true, true);
  EXPECT_EQ(indices(seekable), (std::vector<int>{0, 3, 4}));

  // More records than tiles: the walk ends at the last tile.
  const Walked extra = walk(kHeader + records_of(kPayloads), 3, true, true);
  EXPECT_EQ(indices(extra), (std::vector<int>{0, 1, 2}));
  EXPECT_FALSE(extra.damaged);
}
