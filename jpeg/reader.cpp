#include "reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "huffman.h"
#include "window.h"

namespace jpeg {

namespace {

// A progressive JPEG of a few kilobytes could otherwise hold thousands of
// scans, each read again for every band.
constexpr int kMostScans = 500;
constexpr std::size_t kHeaderWindow = std::size_t{64} << 10;
// What the scans' windows hold between them.
constexpr std::size_t kScanWindows = std::size_t{4} << 20;

enum Marker : int {
  kSof0 = 0xC0,
  kSof1 = 0xC1,
  kSof2 = 0xC2,
  kDht = 0xC4,
  kDac = 0xCC,
  kRst0 = 0xD0,
  kRst7 = 0xD7,
  kSoi = 0xD8,
  kEoi = 0xD9,
  kSos = 0xDA,
  kDqt = 0xDB,
  kDnl = 0xDC,
  kDri = 0xDD,
  kApp0 = 0xE0,
  kApp14 = 0xEE,
  kApp15 = 0xEF,
  kCom = 0xFE,
};

int ceil_div(long long a, long long b) { return static_cast<int>((a + b - 1) / b); }

// What a scan decodes, and how (T.81 G.1.2).
enum class Kind { sequential, dc_first, dc_refine, ac_first, ac_refine };

struct Scan {
  std::vector<int> components;     // indices into the frame's
  std::vector<HuffmanDecoder> dc;  // one for each of them, where the kind needs it
  std::vector<HuffmanDecoder> ac;
  int ss = 0;
  int se = 63;
  int ah = 0;
  int al = 0;
  Kind kind = Kind::sequential;
  int restart_interval = 0;
  std::uint64_t data = 0;  // the offset of its first entropy-coded byte
};

std::uint16_t u16(const unsigned char* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

// A coefficient's place in its block: past the end (a corrupt run that
// overshoots) is the last one, as the reference decoder has it.
std::size_t at(int k) { return static_cast<std::size_t>(std::min(k, 63)); }

// Extends a `size`-bit magnitude into the signed value it codes (F.12).
int extend(int value, int size) {
  return value < (1 << (size - 1)) ? value - (1 << size) + 1 : value;
}

// A scan's entropy-coded data, read bit by bit from where its last band
// ended, with the state its next block needs.
class Cursor {
 public:
  explicit Cursor(Window window) : window_(std::move(window)) {}

  // At least 57 bits held. Past a marker (or the input's end) zeros come,
  // counted, so that a read past the data is found after the block.
  void fill() {
    if (count_ <= 56) {
      refill();
    }
  }
  void fill_for(int bits) {
    if (count_ < bits) {
      refill();
    }
  }

  int take(int size) {
    count_ -= size;
    return static_cast<int>((bits_ >> count_) & ((std::uint64_t{1} << size) - 1));
  }

  // The next AC coefficient where its code and its bits are short enough to
  // be looked up at once (the table's `short_ac`): its run and value, or
  // false. At least 16 bits must be held.
  bool short_ac(const HuffmanDecoder& table, int& run, int& value) {
    const auto look = static_cast<std::size_t>((bits_ >> (count_ - HuffmanDecoder::kFastBits)) &
                                               ((1U << HuffmanDecoder::kFastBits) - 1));
    const std::int32_t entry = table.short_ac[look];
    if (entry == 0) {
      return false;
    }
    count_ -= entry & 15;
    run = (entry >> 4) & 15;
    value = entry >> 8;
    return true;
  }

 private:
  void refill() {
    while (count_ <= 56) {
      // Most of the time the next bytes hold no 0xFF: up to 7 of them at once.
      if (!at_marker_ && window_.held() >= 8) {
        const int n = std::min(7, (64 - count_) / 8);
        std::uint64_t next = 0;
        const unsigned char* p = window_.here();
        for (int i = 0; i < n; ++i) {
          next = (next << 8) | p[i];
        }
        const std::uint64_t inverse = ~next & ((std::uint64_t{1} << (8 * n)) - 1);
        const std::uint64_t ones = 0x0101010101010101U >> (8 * (8 - n));
        if (((inverse - ones) & ~inverse & (ones << 7)) == 0) {
          bits_ = (bits_ << (8 * n)) | next;
          count_ += 8 * n;
          window_.step(static_cast<std::size_t>(n));
          continue;
        }
      }
      if (at_marker_) {
        bits_ <<= 8;
        count_ += 8;
        padding_ += 8;
        continue;
      }
      if (!window_.want(2) && window_.held() == 0) {
        at_marker_ = true;
        ended_ = true;
        continue;
      }
      const unsigned char* p = window_.here();
      const unsigned byte = p[0];
      if (byte == 0xFF) {
        if (window_.held() < 2 || p[1] != 0) {
          at_marker_ = true;
          ended_ = window_.held() < 2;
          continue;
        }
        window_.step(2);
      } else {
        window_.step(1);
      }
      bits_ = (bits_ << 8) | byte;
      count_ += 8;
    }
  }

 public:
  // The next symbol of `table`, or -1 for a code it does not hold. At least
  // 16 bits must be held.
  int decode(const HuffmanDecoder& table) {
    const auto look = static_cast<std::size_t>((bits_ >> (count_ - HuffmanDecoder::kFastBits)) &
                                               ((1U << HuffmanDecoder::kFastBits) - 1));
    const unsigned entry = table.fast[look];
    if (entry != 0) {
      count_ -= static_cast<int>(entry >> 8);
      return static_cast<int>(entry & 0xFF);
    }
    for (int length = HuffmanDecoder::kFastBits + 1; length <= 16; ++length) {
      const auto code =
          static_cast<std::int32_t>((bits_ >> (count_ - length)) & ((1U << length) - 1));
      if (code <= table.max_code[static_cast<std::size_t>(length)]) {
        count_ -= length;
        const int index = code + table.offset[static_cast<std::size_t>(length)];
        return table.symbols[static_cast<std::size_t>(index)];
      }
    }
    return -1;
  }

  // Whether the blocks so far took only the data's own bits.
  bool within() const { return padding_ <= count_; }
  bool ended() const { return ended_; }

  // Past the bits left over in the last byte, the restart marker `number`:
  // false when other data or another marker comes there.
  bool restart(int number) {
    if (!at_data_end() || !window_.want(2) || window_.here()[1] != kRst0 + number) {
      return false;
    }
    window_.step(2);
    bits_ = 0;
    count_ = 0;
    padding_ = 0;
    at_marker_ = false;
    return true;
  }

  // Whether only the padding of the last byte is left before a marker, which
  // is then next in the window (fill bytes before it skipped).
  bool at_data_end() {
    if (count_ - padding_ >= 8) {
      return false;
    }
    if (!at_marker_ && (!window_.want(2) || window_.here()[0] != 0xFF || window_.here()[1] == 0)) {
      return false;
    }
    while (window_.want(2) && window_.here()[0] == 0xFF && window_.here()[1] == 0xFF) {
      window_.step(1);
    }
    return window_.want(2) && window_.here()[0] == 0xFF;
  }

  Window& window() { return window_; }

  std::array<int, 4> last_dc{};
  int eob_run = 0;
  int restarts_left = 0;
  int next_restart = 0;

 private:
  Window window_;
  std::uint64_t bits_ = 0;
  int count_ = 0;
  int padding_ = 0;
  bool at_marker_ = false;
  bool ended_ = false;
};

// Each kind's decoding of one block (T.81 F.2.2 and G.1.2, with the
// reference decoder's handling of values that overshoot a block); false on a
// code the table does not hold.
bool decode_sequential(Cursor& in, const HuffmanDecoder& dc, const HuffmanDecoder& ac, int& last_dc,
                       Block& block) {
  // Copied from zeros: a store of zeros this size becomes a slow string
  // instruction on x86-64, a copy becomes eight vector moves.
  static constexpr Block kZeros{};
  std::memcpy(block.data(), kZeros.data(), sizeof block);
  in.fill();
  int size = in.decode(dc);
  if (size < 0) {
    return false;
  }
  const int diff = size == 0 ? 0 : extend(in.take(size), size);
  last_dc = static_cast<int>(static_cast<unsigned>(last_dc) + static_cast<unsigned>(diff));
  block[0] = static_cast<std::int16_t>(last_dc);
  for (int k = 1; k < 64; ++k) {
    in.fill_for(32);
    int run = 0;
    int value = 0;
    if (in.short_ac(ac, run, value)) {
      k += run;
      block[at(k)] = static_cast<std::int16_t>(value);
      continue;
    }
    const int symbol = in.decode(ac);
    if (symbol < 0) {
      return false;
    }
    run = symbol >> 4;
    size = symbol & 15;
    if (size != 0) {
      k += run;
      block[at(k)] = static_cast<std::int16_t>(extend(in.take(size), size));
    } else {
      if (run != 15) {
        break;
      }
      k += 15;
    }
  }
  return true;
}

bool decode_dc_first(Cursor& in, const HuffmanDecoder& dc, int al, int& last_dc, Block& block) {
  in.fill_for(32);
  const int size = in.decode(dc);
  if (size < 0) {
    return false;
  }
  const int diff = size == 0 ? 0 : extend(in.take(size), size);
  last_dc = static_cast<int>(static_cast<unsigned>(last_dc) + static_cast<unsigned>(diff));
  block[0] = static_cast<std::int16_t>(static_cast<unsigned>(last_dc) << al);
  return true;
}

void decode_dc_refine(Cursor& in, int al, Block& block) {
  in.fill_for(1);
  if (in.take(1) != 0) {
    block[0] = static_cast<std::int16_t>(block[0] | (1 << al));
  }
}

bool decode_ac_first(Cursor& in, const HuffmanDecoder& ac, int ss, int se, int al, int& eob_run,
                     Block& block) {
  if (eob_run > 0) {
    --eob_run;
    return true;
  }
  for (int k = ss; k <= se; ++k) {
    in.fill_for(32);
    const int symbol = in.decode(ac);
    if (symbol < 0) {
      return false;
    }
    int run = symbol >> 4;
    const int size = symbol & 15;
    if (size != 0) {
      k += run;
      block[at(k)] =
          static_cast<std::int16_t>(static_cast<unsigned>(extend(in.take(size), size)) << al);
    } else if (run == 15) {
      k += 15;
    } else {
      eob_run = 1 << run;
      if (run != 0) {
        eob_run += in.take(run);
      }
      --eob_run;
      break;
    }
  }
  return true;
}

// A correction bit for a coefficient already nonzero.
void correct(Cursor& in, std::int16_t& coefficient, int p1) {
  in.fill_for(1);
  if (in.take(1) != 0 && (coefficient & p1) == 0) {
    coefficient = static_cast<std::int16_t>(coefficient >= 0 ? coefficient + p1 : coefficient - p1);
  }
}

bool decode_ac_refine(Cursor& in, const HuffmanDecoder& ac, int ss, int se, int al, int& eob_run,
                      Block& block) {
  const int p1 = 1 << al;
  int k = ss;
  if (eob_run == 0) {
    for (; k <= se; ++k) {
      in.fill_for(32);
      const int symbol = in.decode(ac);
      if (symbol < 0) {
        return false;
      }
      int run = symbol >> 4;
      int size = symbol & 15;
      int value = 0;
      if (size != 0) {
        if (size != 1) {
          return false;  // a new coefficient here is always 1 or -1
        }
        value = in.take(1) != 0 ? p1 : -p1;
      } else if (run != 15) {
        eob_run = 1 << run;
        if (run != 0) {
          eob_run += in.take(run);
        }
        break;
      }
      // Past the coefficients already nonzero, correcting each, and `run`
      // zero ones: the next zero one is the new coefficient.
      do {
        std::int16_t& coefficient = block[at(k)];
        if (coefficient != 0) {
          correct(in, coefficient, p1);
        } else if (--run < 0) {
          break;
        }
        ++k;
      } while (k <= se);
      if (value != 0) {
        block[at(k)] = static_cast<std::int16_t>(value);
      }
    }
  }
  if (eob_run > 0) {
    for (; k <= se; ++k) {
      std::int16_t& coefficient = block[at(k)];
      if (coefficient != 0) {
        correct(in, coefficient, p1);
      }
    }
    --eob_run;
  }
  return true;
}

// The tables as the markers so far have set them.
struct Tables {
  std::array<std::optional<HuffmanCodes>, 4> dc;
  std::array<std::optional<HuffmanCodes>, 4> ac;
  std::array<std::optional<QuantTable>, 4> quant;
  int restart_interval = 0;
};

}  // namespace

struct CoefficientReader::State {
  explicit State(Input& in) : input(&in), header(in, 0, kHeaderWindow) {}

  Input* input;
  Window header;  // the markers, and the first scan's data
  Frame frame;
  bool framed = false;
  Tables tables;
  std::vector<bool> latched;  // each component's quantization table taken
  std::vector<Scan> scans;
  std::vector<Cursor> cursors;
  int next_band = 0;
  std::string why;

  bool fail(const std::string& reason) {
    why = reason;
    return false;
  }
  bool ends_early() {
    return fail(header.failed() ? "cannot be read: " + header.error() : "the file ends early");
  }

  // The next marker's code, past fill bytes; -1 with `why`.
  int marker() {
    const int first = header.byte();
    if (first != 0xFF) {
      if (first >= 0) {
        fail("bytes come where a marker should");
      } else {
        ends_early();
      }
      return -1;
    }
    int code = 0;
    do {
      code = header.byte();
    } while (code == 0xFF);
    if (code < 0) {
      ends_early();
    }
    return code;
  }

  // A marker segment's content (its length's two bytes left out).
  bool segment(std::vector<unsigned char>& content) {
    if (!header.want(2)) {
      return ends_early();
    }
    const std::uint16_t length = u16(header.here());
    if (length < 2) {
      return fail("a marker segment's length is under 2");
    }
    header.step(2);
    content.resize(length - 2U);
    std::size_t got = 0;
    while (got < content.size()) {
      if (!header.want(1)) {
        return ends_early();
      }
      const std::size_t step = std::min(header.held(), content.size() - got);
      std::memcpy(content.data() + got, header.here(), step);
      header.step(step);
      got += step;
    }
    return true;
  }

  bool read_dht(const std::vector<unsigned char>& s) {
    std::size_t at = 0;
    while (at < s.size()) {
      if (s.size() - at < 17) {
        return fail("a Huffman table is cut short");
      }
      const int klass = s[at] >> 4;
      const int slot = s[at] & 15;
      if (klass > 1 || slot > 3) {
        return fail("a Huffman table's class or number is out of range");
      }
      HuffmanCodes codes;
      std::size_t total = 0;
      for (std::size_t length = 1; length <= 16; ++length) {
        codes.counts[length] = s[at + length];
        total += s[at + length];
      }
      at += 17;
      if (total > 256 || s.size() - at < total) {
        return fail("a Huffman table is cut short");
      }
      codes.symbols.assign(s.begin() + static_cast<std::ptrdiff_t>(at),
                           s.begin() + static_cast<std::ptrdiff_t>(at + total));
      at += total;
      (klass == 0 ? tables.dc : tables.ac)[static_cast<std::size_t>(slot)] = std::move(codes);
    }
    return true;
  }

  bool read_dqt(const std::vector<unsigned char>& s) {
    std::size_t at = 0;
    while (at < s.size()) {
      const int precision = s[at] >> 4;
      const int slot = s[at] & 15;
      if (precision > 1 || slot > 3) {
        return fail("a quantization table's precision or number is out of range");
      }
      const std::size_t bytes = precision == 0 ? 64 : 128;
      if (s.size() - at - 1 < bytes) {
        return fail("a quantization table is cut short");
      }
      QuantTable table{};
      for (std::size_t k = 0; k < 64; ++k) {
        table[kNaturalOrder[k]] = precision == 0 ? s[at + 1 + k] : u16(s.data() + at + 1 + 2 * k);
      }
      tables.quant[static_cast<std::size_t>(slot)] = table;
      at += 1 + bytes;
    }
    return true;
  }

  bool read_sof(int code, const std::vector<unsigned char>& s) {
    if (framed) {
      return fail("it holds a second frame");
    }
    framed = true;
    switch (code) {
      case 0xC3:
      case 0xCB:
        return fail("a lossless JPEG");
      case 0xC5:
      case 0xC6:
      case 0xC7:
      case 0xCD:
      case 0xCE:
      case 0xCF:
        return fail("a hierarchical JPEG");
      default:
        break;
    }
    frame.coding = code == kSof2  ? Coding::progressive
                   : code >= 0xC9 ? Coding::arithmetic
                                  : Coding::sequential;
    frame.extended = code == kSof1;
    if (s.size() < 6) {
      return fail("its frame header is cut short");
    }
    if (s[0] != 8) {
      return fail("a " + std::to_string(s[0]) + "-bit JPEG");
    }
    frame.height = u16(s.data() + 1);
    frame.width = u16(s.data() + 3);
    if (frame.width == 0) {
      return fail("its frame is 0 pixels wide");
    }
    if (frame.height == 0) {
      return fail("its height comes after its data (a DNL marker)");
    }
    const int count = s[5];
    if (count != 1 && count != 3 && count != 4) {
      return fail("a JPEG of " + std::to_string(count) + " components");
    }
    if (s.size() != 6 + 3 * static_cast<std::size_t>(count)) {
      return fail("its frame header's length does not fit its components");
    }
    for (int c = 0; c < count; ++c) {
      const unsigned char* entry = s.data() + 6 + 3 * static_cast<std::size_t>(c);
      Component component;
      component.id = entry[0];
      component.h = entry[1] >> 4;
      component.v = entry[1] & 15;
      component.quant_slot = entry[2];
      if (component.h < 1 || component.h > 4 || component.v < 1 || component.v > 4) {
        return fail("a component's sampling factors are out of range");
      }
      if (component.quant_slot > 3) {
        return fail("a component's quantization table number is out of range");
      }
      for (const Component& other : frame.components) {
        if (other.id == component.id) {
          return fail("two components have one identifier");
        }
      }
      frame.components.push_back(component);
    }
    lay_out(frame);
    latched.assign(frame.components.size(), false);
    return true;
  }

  void read_app(int code, const std::vector<unsigned char>& s) {
    if (code == kApp0 && s.size() >= 14 && std::memcmp(s.data(), "JFIF\0", 5) == 0) {
      frame.jfif = true;
    }
    if (code == kApp14 && s.size() >= 12 && std::memcmp(s.data(), "Adobe", 5) == 0) {
      frame.adobe_transform = s[11];
    }
  }

  // A marker segment other than a frame or scan header: false with `why`
  // for one not read here.
  bool read_other(int code) {
    if ((code >= kRst0 && code <= kRst7) || code == 0x01) {
      return true;  // no content
    }
    if (code == kDnl) {
      return fail("its height comes after its data (a DNL marker)");
    }
    const bool known = code == kDht || code == kDqt || code == kDri || code == kDac ||
                       code == kCom || (code >= kApp0 && code <= kApp15);
    if (!known) {
      return fail("it holds a marker not read here (0x" + hex(code) + ")");
    }
    std::vector<unsigned char> content;
    if (!segment(content)) {
      return false;
    }
    switch (code) {
      case kDht:
        return read_dht(content);
      case kDqt:
        return read_dqt(content);
      case kDri:
        if (content.size() != 2) {
          return fail("its restart interval's segment has the wrong length");
        }
        tables.restart_interval = u16(content.data());
        return true;
      default:
        read_app(code, content);
        return true;
    }
  }

  static std::string hex(int code) {
    static const char digits[] = "0123456789abcdef";
    return {digits[(code >> 4) & 15], digits[code & 15]};
  }

  bool read_sos(const std::vector<unsigned char>& s) {
    if (!framed) {
      return fail("a scan comes before its frame");
    }
    if (static_cast<int>(scans.size()) >= kMostScans) {
      return fail("a progressive JPEG of over " + std::to_string(kMostScans) + " scans");
    }
    if (s.empty() || s[0] < 1 || s[0] > 4 || s.size() != 4 + 2 * std::size_t{s[0]}) {
      return fail("a scan header's length does not fit its components");
    }
    Scan scan;
    const int count = s[0];
    std::vector<int> dc_slots;
    std::vector<int> ac_slots;
    int blocks = 0;
    for (int i = 0; i < count; ++i) {
      const unsigned char* entry = s.data() + 1 + 2 * static_cast<std::size_t>(i);
      int found = -1;
      for (std::size_t c = 0; c < frame.components.size(); ++c) {
        if (frame.components[c].id == entry[0]) {
          found = static_cast<int>(c);
        }
      }
      if (found < 0 || std::find(scan.components.begin(), scan.components.end(), found) !=
                           scan.components.end()) {
        return fail("a scan names a component the frame lacks, or one twice");
      }
      scan.components.push_back(found);
      dc_slots.push_back(entry[1] >> 4);
      ac_slots.push_back(entry[1] & 15);
      if (dc_slots.back() > 3 || ac_slots.back() > 3) {
        return fail("a scan's Huffman table number is out of range");
      }
      const Component& component = frame.components[static_cast<std::size_t>(found)];
      blocks += component.h * component.v;
    }
    if (count > 1 && blocks > 10) {
      return fail("an interleaved scan of over 10 blocks to an MCU");
    }
    const unsigned char* tail = s.data() + 1 + 2 * static_cast<std::size_t>(count);
    scan.ss = tail[0];
    scan.se = tail[1];
    scan.ah = tail[2] >> 4;
    scan.al = tail[2] & 15;
    if (frame.coding == Coding::arithmetic) {
      // Not decoded here: its parameters are the other decoder's to check.
    } else if (frame.coding == Coding::progressive) {
      bool bad = scan.al > 13 || (scan.ah != 0 && scan.al != scan.ah - 1);
      if (scan.ss == 0) {
        bad = bad || scan.se != 0;
        scan.kind = scan.ah == 0 ? Kind::dc_first : Kind::dc_refine;
      } else {
        bad = bad || scan.ss > scan.se || scan.se > 63 || count != 1;
        scan.kind = scan.ah == 0 ? Kind::ac_first : Kind::ac_refine;
      }
      if (bad) {
        return fail("a progressive scan's parameters are out of range");
      }
    } else if (scan.ss != 0 || scan.se != 63 || scan.ah != 0 || scan.al != 0) {
      return fail("a sequential scan's spectral parameters are not 0, 63, 0, 0");
    }
    const bool needs_dc = scan.kind == Kind::sequential || scan.kind == Kind::dc_first;
    const bool needs_ac = scan.kind == Kind::sequential || scan.kind == Kind::ac_first ||
                          scan.kind == Kind::ac_refine;
    for (int i = 0; i < count; ++i) {
      if (frame.coding != Coding::arithmetic &&
          (!add_table(scan.dc, needs_dc, tables.dc, dc_slots[static_cast<std::size_t>(i)], true) ||
           !add_table(scan.ac, needs_ac, tables.ac, ac_slots[static_cast<std::size_t>(i)],
                      false))) {
        return false;
      }
      const auto c = static_cast<std::size_t>(scan.components[static_cast<std::size_t>(i)]);
      if (!latched[c]) {
        const std::optional<QuantTable>& quant =
            tables.quant[static_cast<std::size_t>(frame.components[c].quant_slot)];
        if (!quant) {
          return fail("a component's quantization table is not given");
        }
        frame.components[c].quant = *quant;
        latched[c] = true;
      }
    }
    scan.restart_interval = tables.restart_interval;
    scan.data = header.offset();
    scans.push_back(std::move(scan));
    return true;
  }

  bool add_table(std::vector<HuffmanDecoder>& into, bool needed,
                 const std::array<std::optional<HuffmanCodes>, 4>& from, int slot, bool dc) {
    into.emplace_back();
    if (!needed) {
      return true;
    }
    const std::optional<HuffmanCodes>& codes = from[static_cast<std::size_t>(slot)];
    if (!codes) {
      return fail(std::string(dc ? "DC" : "AC") + " Huffman table " + std::to_string(slot) +
                  " is not given");
    }
    if (!into.back().build(*codes, dc)) {
      return fail("a Huffman table's counts do not make a code");
    }
    return true;
  }

  // The markers from the position to the next scan or the end: true at a
  // scan (its header read) or at EOI (`ended`).
  bool markers_to_scan(bool& ended) {
    ended = false;
    for (;;) {
      const int code = marker();
      if (code < 0) {
        return false;
      }
      if (code == kEoi) {
        ended = true;
        return true;
      }
      if (code == kSoi) {
        return fail("a second start of image");
      }
      const bool sof = code >= 0xC0 && code <= 0xCF && code != kDht && code != 0xC8 && code != kDac;
      if (sof || code == kSos) {
        std::vector<unsigned char> content;
        if (!segment(content)) {
          return false;
        }
        if (sof) {
          if (!read_sof(code, content)) {
            return false;
          }
          continue;
        }
        return read_sos(content);
      }
      if (!read_other(code)) {
        return false;
      }
    }
  }

  // Moves the header window past the entropy-coded data it is at, to the
  // next marker other than a restart.
  bool skip_data() {
    for (;;) {
      if (!header.want(2)) {
        return ends_early();
      }
      const unsigned char* start = header.here();
      const auto* found =
          static_cast<const unsigned char*>(std::memchr(start, 0xFF, header.held() - 1));
      if (found == nullptr) {
        header.step(header.held() - 1);
        continue;
      }
      header.step(static_cast<std::size_t>(found - start));
      const unsigned next = found[1];
      if (next != 0 && next != 0xFF && (next < kRst0 || next > kRst7)) {
        return true;
      }
      header.step(next == 0xFF ? 1 : 2);
    }
  }

  // A band's part of one scan.
  bool decode(Scan& scan, Cursor& cursor, Band& band) {
    const bool interleaved = scan.components.size() > 1;
    int first = 0;
    int last = 0;  // rows of MCUs, or of blocks for one component
    int across = 0;
    if (interleaved) {
      const int per_band = kBandHeight / frame.mcu_height();
      first = band.index * per_band;
      last = std::min(first + per_band, ceil_div(frame.height, frame.mcu_height()));
      across = ceil_div(frame.width, frame.mcu_width());
    } else {
      const Component& component = frame.components[static_cast<std::size_t>(scan.components[0])];
      const int per_band = band.rows[static_cast<std::size_t>(scan.components[0])];
      first = band.index * per_band;
      last = std::min(first + per_band, component.height_in_blocks);
      across = component.width_in_blocks;
    }
    for (int row = first; row < last; ++row) {
      for (int column = 0; column < across; ++column) {
        if (scan.restart_interval != 0) {
          if (cursor.restarts_left == 0) {
            if (!cursor.restart(cursor.next_restart)) {
              return fail(cursor.ended() ? "the file ends early"
                                         : "a restart marker is missing or out of order");
            }
            cursor.next_restart = (cursor.next_restart + 1) & 7;
            cursor.restarts_left = scan.restart_interval;
            cursor.last_dc.fill(0);
            cursor.eob_run = 0;
          }
          --cursor.restarts_left;
        }
        bool good = true;
        for (std::size_t i = 0; i < scan.components.size() && good; ++i) {
          const auto c = static_cast<std::size_t>(scan.components[i]);
          const Component& component = frame.components[c];
          const int h = interleaved ? component.h : 1;
          const int v = interleaved ? component.v : 1;
          for (int y = 0; y < v && good; ++y) {
            for (int x = 0; x < h && good; ++x) {
              Block& block = band.at(c, (row - first) * v + y, column * h + x);
              good = decode_block(scan, i, cursor, block);
            }
          }
        }
        if (!good) {
          return fail("its data is damaged (a code no table holds)");
        }
        if (!cursor.within()) {
          return fail(cursor.ended() ? "the file ends early"
                                     : "its data ends before its blocks do");
        }
      }
    }
    return true;
  }

  static bool decode_block(Scan& scan, std::size_t i, Cursor& cursor, Block& block) {
    switch (scan.kind) {
      case Kind::sequential:
        return decode_sequential(cursor, scan.dc[i], scan.ac[i], cursor.last_dc[i], block);
      case Kind::dc_first:
        return decode_dc_first(cursor, scan.dc[i], scan.al, cursor.last_dc[i], block);
      case Kind::dc_refine:
        decode_dc_refine(cursor, scan.al, block);
        return true;
      case Kind::ac_first:
        return decode_ac_first(cursor, scan.ac[i], scan.ss, scan.se, scan.al, cursor.eob_run,
                               block);
      case Kind::ac_refine:
        return decode_ac_refine(cursor, scan.ac[i], scan.ss, scan.se, scan.al, cursor.eob_run,
                                block);
    }
    return false;
  }

  // After a picture's only scan: nothing but its markers to the end.
  bool finish_single() {
    Cursor& cursor = cursors[0];
    if (!cursor.at_data_end()) {
      return fail(cursor.ended() ? "the file ends early" : "bytes follow its last block");
    }
    header = std::move(cursor.window());
    bool ended = false;
    if (!markers_to_scan(ended)) {
      return false;
    }
    return ended || fail("a scan follows one that held every component");
  }
};

CoefficientReader::CoefficientReader(Input& input) : state_(std::make_unique<State>(input)) {}
CoefficientReader::~CoefficientReader() = default;

bool CoefficientReader::open(std::string& error) {
  State& s = *state_;
  if (!s.header.want(2) || s.header.here()[0] != 0xFF || s.header.here()[1] != kSoi) {
    error = "it does not begin as a JPEG does";
    return false;
  }
  s.header.step(2);
  bool ended = false;
  if (!s.markers_to_scan(ended) || (ended && !s.fail("it ends before its first scan"))) {
    error = s.why;
    return false;
  }
  s.frame.colour = colour_of(s.frame);
  return true;
}

const Frame& CoefficientReader::frame() const { return state_->frame; }

bool CoefficientReader::many_scans() const {
  const State& s = *state_;
  return s.frame.coding == Coding::progressive ||
         s.scans[0].components.size() < s.frame.components.size();
}

std::string CoefficientReader::obstacle() const {
  const Frame& frame = state_->frame;
  if (frame.coding == Coding::arithmetic) {
    return "an arithmetic-coded JPEG";
  }
  if (kBandHeight % frame.mcu_height() != 0) {
    return "its MCU is " + std::to_string(frame.mcu_height()) +
           " pixels high, which 64-pixel bands do not hold whole";
  }
  return "";
}

bool CoefficientReader::start(std::string& error) {
  State& s = *state_;
  const std::string obstacle = this->obstacle();
  if (!obstacle.empty()) {
    error = obstacle;
    return false;
  }
  if (!many_scans()) {
    s.cursors.emplace_back(std::move(s.header));
    s.cursors[0].restarts_left = s.scans[0].restart_interval;
    return true;
  }
  if (!s.input->random_access()) {
    error = "its scans are read where they lie, and a pipe cannot be read so";
    return false;
  }
  bool ended = false;
  while (!ended) {
    if (!s.skip_data() || !s.markers_to_scan(ended)) {
      error = s.why;
      return false;
    }
  }
  const std::size_t window =
      std::clamp(kScanWindows / s.scans.size(), std::size_t{4} << 10, std::size_t{256} << 10);
  for (const Scan& scan : s.scans) {
    s.cursors.emplace_back(Window(*s.input, scan.data, window));
    s.cursors.back().restarts_left = scan.restart_interval;
  }
  return true;
}

int CoefficientReader::bands() const { return band_count(state_->frame); }

void CoefficientReader::shape(Band& band) const { jpeg::shape(state_->frame, band); }

int band_count(const Frame& frame) { return ceil_div(frame.height, kBandHeight); }

void shape(const Frame& frame, Band& band) {
  band.starts.clear();
  band.widths.clear();
  band.rows.clear();
  std::size_t total = 0;
  for (const Component& component : frame.components) {
    band.starts.push_back(total);
    band.widths.push_back(component.padded_width);
    band.rows.push_back(kBandHeight / frame.mcu_height() * component.v);
    total +=
        static_cast<std::size_t>(band.widths.back()) * static_cast<std::size_t>(band.rows.back());
  }
  band.blocks.assign(total, Block{});
}

bool CoefficientReader::read_band(Band& band, std::string& error) {
  State& s = *state_;
  if (s.cursors.empty() || s.next_band >= bands()) {
    error = "no band is left to read";
    return false;
  }
  band.index = s.next_band++;
  // One sequential scan sets every block it codes; scans that each add to
  // their blocks start from zeros.
  if (many_scans()) {
    std::fill(band.blocks.begin(), band.blocks.end(), Block{});
  }
  for (std::size_t i = 0; i < s.scans.size(); ++i) {
    if (!s.decode(s.scans[i], s.cursors[i], band)) {
      error = s.why;
      return false;
    }
  }
  if (s.next_band == bands() && !many_scans() && !s.finish_single()) {
    error = s.why;
    return false;
  }
  for (Cursor& cursor : s.cursors) {
    if (cursor.window().failed()) {
      error = "cannot be read: " + cursor.window().error();
      return false;
    }
  }
  return true;
}

}  // namespace jpeg
