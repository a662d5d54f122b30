// Lossless JPEG frame coding: Huffman tables (decoding with a lookahead table, optimal tables
// for the coder), the bit reader and writer, prediction, the scan decoder with restart
// intervals, the marker parser and the frame coder.
#include "codecs/jpegll/jpegll_core.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace velmar::codecs::jpegll {
namespace {

constexpr uint8_t kSOF3 = 0xC3;
constexpr uint8_t kDHT = 0xC4;
constexpr uint8_t kRST0 = 0xD0;
constexpr uint8_t kRST7 = 0xD7;
constexpr uint8_t kSOI = 0xD8;
constexpr uint8_t kEOI = 0xD9;
constexpr uint8_t kSOS = 0xDA;
constexpr uint8_t kDRI = 0xDD;
constexpr uint8_t kTEM = 0x01;

// Difference categories: SSSS 0..16 (T.81 Table H.2).
constexpr int kCategories = 17;

// The value of `bits` extra bits of category `s` (T.81 F.2.2.1 EXTEND).
inline int32_t extend(uint32_t bits, int s) {
    return bits < (1u << (s - 1)) ? static_cast<int32_t>(bits) - ((1 << s) - 1) : static_cast<int32_t>(bits);
}

// ---- Huffman decoding -------------------------------------------------------------------------

// Codes are looked up kLookBits at a time: an entry gives the whole difference when the code
// and its extra bits fit, else the code's length and symbol, else (a longer code) nothing.
constexpr int kLookBits = 11;

// Trivial, so that a table is only written when a DHT segment defines it.
struct FastEntry {
    int32_t diff;
    uint8_t total;   // code and extra bits, 0 when they do not fit the lookahead
    uint8_t length;  // code length when the code alone fits, else 0
    uint8_t symbol;
};

struct HuffmanTable {
    bool defined = false;
    std::array<FastEntry, 1u << kLookBits> fast;
    std::array<int32_t, 18> maxCode{};    // largest code of each length, -1 when none
    std::array<int32_t, 17> valOffset{};  // symbol index minus code, per length
    std::array<uint8_t, 256> symbols{};

    // From the code counts per length (1..16) and the symbols in code order; false for a table
    // whose codes do not fit their lengths.
    bool build(const uint8_t counts[16], const uint8_t *values, int total) {
        std::memcpy(symbols.data(), values, static_cast<size_t>(total));
        fast.fill(FastEntry{0, 0, 0, 0});
        int32_t code = 0;
        int k = 0;
        for (int length = 1; length <= 16; ++length) {
            valOffset[length] = k - code;
            for (int n = 0; n < counts[length - 1]; ++n, ++k, ++code) {
                // More codes than the length holds; like the common decoders, a code of all
                // one bits is refused too.
                if (code + 1 >= (1 << length)) return false;
                if (length <= kLookBits) fillFast(code, length, symbols[k]);
            }
            maxCode[length] = counts[length - 1] != 0 ? code - 1 : -1;
            code <<= 1;
        }
        maxCode[17] = INT32_MAX;
        defined = true;
        return true;
    }

    void fillFast(int32_t code, int length, uint8_t symbol) {
        const int free = kLookBits - length;
        for (uint32_t rest = 0; rest < (1u << free); ++rest) {
            FastEntry &e = fast[(static_cast<uint32_t>(code) << free) | rest];
            e.length = static_cast<uint8_t>(length);
            e.symbol = symbol;
            if (symbol == 0 || symbol == 16) {
                e.total = static_cast<uint8_t>(length);
                e.diff = symbol == 16 ? 32768 : 0;
            } else if (symbol < 16 && length + symbol <= kLookBits) {
                e.total = static_cast<uint8_t>(length + symbol);
                e.diff = extend((rest >> (free - symbol)) & ((1u << symbol) - 1), symbol);
            }
        }
    }
};

// ---- Bit reader ---------------------------------------------------------------------------------

// Reads entropy-coded data MSB first through a 64-bit buffer refilled eight bytes at a time
// where no 0xFF byte is among them. A stuffed 0xFF 0x00 is one 0xFF byte; a marker or the end of
// the data feeds zero bits, counted, so that a scan that reads past its data is caught.
class BitReader {
   public:
    BitReader(const uint8_t *pos, const uint8_t *end) : pos_(pos), end_(end) {}

    const uint8_t *position() const { return pos_; }
    // Whether bits past the end of the data have been taken.
    bool overrun() const { return padding_ > bits_; }
    bool failed() const { return failed_; }
    void fail() { failed_ = true; }

    // Starts again at `pos`, after a restart marker.
    void reset(const uint8_t *pos) {
        pos_ = pos;
        acc_ = 0;
        bits_ = 0;
        padding_ = 0;
    }

    // One difference coded with `table`.
    [[gnu::always_inline]] inline int32_t difference(const HuffmanTable &table) {
        if (bits_ < 32) fill();
        const FastEntry &e = table.fast[acc_ >> (64 - kLookBits)];
        if (e.total != 0) {
            take(e.total);
            return e.diff;
        }
        int s = 0;
        if (e.length != 0) {
            s = e.symbol;
            take(e.length);
        } else {
            s = slowSymbol(table);
        }
        if (s == 0) return 0;
        if (s == 16) return 32768;
        if (s > 16) {
            failed_ = true;
            return 0;
        }
        uint32_t bits = static_cast<uint32_t>(acc_ >> (64 - s));
        take(s);
        return extend(bits, s);
    }

   private:
    [[gnu::always_inline]] inline void take(int n) {
        acc_ <<= n;
        bits_ -= n;
    }

    // A code longer than the lookahead (T.81 F.2.2.3); an impossible code fails the reader.
    int slowSymbol(const HuffmanTable &table) {
        for (int length = kLookBits + 1; length <= 16; ++length) {
            int32_t code = static_cast<int32_t>(acc_ >> (64 - length));
            if (code <= table.maxCode[length]) {
                take(length);
                return table.symbols[static_cast<uint8_t>(table.valOffset[length] + code)];
            }
        }
        failed_ = true;
        take(16);
        return 0;
    }

    static bool holdsFF(uint64_t w) {
        uint64_t v = ~w;  // a 0xFF byte of w is a zero byte of v
        return ((v - 0x0101010101010101ull) & ~v & 0x8080808080808080ull) != 0;
    }

    [[gnu::always_inline]] inline void fill() {
        if (end_ - pos_ >= 8) {
            uint64_t w;
            std::memcpy(&w, pos_, 8);
            if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
            if (!holdsFF(w)) {
                const int k = (63 - bits_) >> 3;
                acc_ |= (w >> (64 - 8 * k)) << (64 - bits_ - 8 * k);
                bits_ += 8 * k;
                pos_ += k;
                return;
            }
        }
        fillByBytes();
    }

    void fillByBytes() {
        while (bits_ <= 56) {
            uint64_t byte = 0;
            if (pos_ < end_ && *pos_ != 0xFF) {
                byte = *pos_++;
            } else if (pos_ + 1 < end_ && pos_[1] == 0x00) {
                byte = 0xFF;
                pos_ += 2;
            } else {
                padding_ += 8;  // a marker, or the end of the data
            }
            acc_ |= byte << (56 - bits_);
            bits_ += 8;
        }
    }

    const uint8_t *pos_;
    const uint8_t *end_;
    uint64_t acc_ = 0;
    int bits_ = 0;
    int padding_ = 0;
    bool failed_ = false;
};

// ---- Prediction -----------------------------------------------------------------------------------

// Predictors of T.81 Table H.1 from Ra (left), Rb (above) and Rc (above left).
template <int P>
inline int predict(int a, int b, int c) {
    if constexpr (P == 1) return a;
    if constexpr (P == 2) return b;
    if constexpr (P == 3) return c;
    if constexpr (P == 4) return a + b - c;
    if constexpr (P == 5) return a + ((b - c) >> 1);
    if constexpr (P == 6) return b + ((a - c) >> 1);
    if constexpr (P == 7) return (a + b) >> 1;
    return 0;
}

// ---- Decoding ---------------------------------------------------------------------------------------

struct Component {
    uint8_t id = 0;
    uint8_t h = 1;
    uint8_t v = 1;
};

// One scan's samples: components (indices into the frame's), their tables, the row buffers.
struct Scan {
    int count = 0;
    std::array<int, 4> component{};
    std::array<const HuffmanTable *, 4> table{};
    int predictor = 1;
    int pointTransform = 0;
    std::array<uint16_t *, 4> above{};
    std::array<uint16_t *, 4> row{};
};

// Decodes samples [x, end) of the current row, x >= 1, with predictor P.
template <int P>
void decodeRun(BitReader &in, Scan &s, int x, int end) {
    if (s.count == 1) {
        const HuffmanTable &t = *s.table[0];
        const uint16_t *b = s.above[0];
        uint16_t *r = s.row[0];
        for (; x < end; ++x) {
            int32_t d = in.difference(t);
            r[x] = static_cast<uint16_t>(predict<P>(r[x - 1], b[x], b[x - 1]) + d);
        }
        return;
    }
    for (; x < end; ++x)
        for (int c = 0; c < s.count; ++c) {
            int32_t d = in.difference(*s.table[c]);
            s.row[c][x] =
                static_cast<uint16_t>(predict<P>(s.row[c][x - 1], s.above[c][x], s.above[c][x - 1]) + d);
        }
}

void decodeRunWith(int predictor, BitReader &in, Scan &s, int x, int end) {
    switch (predictor) {
        case 1:
            return decodeRun<1>(in, s, x, end);
        case 2:
            return decodeRun<2>(in, s, x, end);
        case 3:
            return decodeRun<3>(in, s, x, end);
        case 4:
            return decodeRun<4>(in, s, x, end);
        case 5:
            return decodeRun<5>(in, s, x, end);
        case 6:
            return decodeRun<6>(in, s, x, end);
        default:
            return decodeRun<7>(in, s, x, end);
    }
}

class Decoder {
   public:
    Decoder(const uint8_t *stream, size_t length, const Layout &layout, uint8_t *out)
        : pos_(stream), end_(stream + length), layout_(layout), out_(out) {}

    bool run() {
        if (end_ - pos_ < 2 || pos_[0] != 0xFF || pos_[1] != kSOI) return false;
        pos_ += 2;
        for (;;) {
            int marker = nextMarker();
            // A stream may end without EOI once every component is there.
            if (marker < 0 || marker == kEOI) return complete();
            if (!segment(static_cast<uint8_t>(marker))) return false;
        }
    }

   private:
    // The code of the next marker, `pos_` after it; -1 at the end of the data. Bytes before it
    // (left over at the end of entropy-coded data) and fill bytes are skipped.
    int nextMarker() {
        for (;;) {
            while (pos_ < end_ && *pos_ != 0xFF) ++pos_;
            while (pos_ < end_ && *pos_ == 0xFF) ++pos_;
            if (pos_ >= end_) return -1;
            uint8_t code = *pos_++;
            if (code != 0) return code;
        }
    }

    bool segment(uint8_t marker) {
        if (marker == kTEM || (marker >= kRST0 && marker <= kRST7)) return true;  // no length
        if (marker == kSOI) return false;
        if (end_ - pos_ < 2) return false;
        const size_t length = static_cast<size_t>(pos_[0]) << 8 | pos_[1];
        if (length < 2 || static_cast<size_t>(end_ - pos_) < length) return false;
        const uint8_t *body = pos_ + 2;
        const size_t size = length - 2;
        pos_ += length;
        if (marker == kSOF3) return frameHeader(body, size);
        // Any other frame type (DCT, arithmetic, hierarchical) is not this process.
        if (marker >= 0xC0 && marker <= 0xCF && marker != kDHT && marker != 0xC8 && marker != 0xCC)
            return false;
        if (marker == kDHT) return huffmanTables(body, size);
        if (marker == kDRI) {
            if (size != 2) return false;
            restartInterval_ = static_cast<unsigned>(body[0]) << 8 | body[1];
            return true;
        }
        if (marker == kSOS) return scan(body, size);
        return true;  // APPn, COM, DNL and the like
    }

    bool frameHeader(const uint8_t *p, size_t size) {
        if (components_ != 0 || size < 6) return false;
        precision_ = p[0];
        const unsigned rows = static_cast<unsigned>(p[1]) << 8 | p[2];
        const unsigned columns = static_cast<unsigned>(p[3]) << 8 | p[4];
        const unsigned count = p[5];
        if (precision_ < 2 || precision_ > 16 || precision_ > 8u * layout_.bytesPerSample) return false;
        if (rows != layout_.rows || columns != layout_.columns || count != layout_.components) return false;
        if (size != 6 + 3 * count) return false;
        for (unsigned i = 0; i < count; ++i) {
            Component &c = component_[i];
            c.id = p[6 + 3 * i];
            c.h = p[7 + 3 * i] >> 4;
            c.v = p[7 + 3 * i] & 15;
            if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4) return false;
            for (unsigned j = 0; j < i; ++j)
                if (component_[j].id == c.id) return false;
            // Every component has the frame's size: subsampled components are not decoded.
            if (c.h != component_[0].h || c.v != component_[0].v) return false;
        }
        components_ = count;
        return true;
    }

    bool huffmanTables(const uint8_t *p, size_t size) {
        while (size > 0) {
            if (size < 17) return false;
            const unsigned tableClass = p[0] >> 4, slot = p[0] & 15;
            int total = 0;
            for (int i = 1; i <= 16; ++i) total += p[i];
            if (slot > 3 || tableClass > 1 || total > 256 || size < 17u + static_cast<size_t>(total))
                return false;
            // Lossless scans use the DC class; AC tables are skipped.
            if (tableClass == 0 && !tables_[slot].build(p + 1, p + 17, total)) return false;
            p += 17 + total;
            size -= 17 + static_cast<size_t>(total);
        }
        return true;
    }

    bool scan(const uint8_t *p, size_t size) {
        if (components_ == 0 || size < 1) return false;
        Scan s;
        s.count = p[0];
        if (s.count < 1 || s.count > static_cast<int>(components_) ||
            size != 4 + 2 * static_cast<size_t>(s.count))
            return false;
        for (int i = 0; i < s.count; ++i) {
            const uint8_t id = p[1 + 2 * i];
            const unsigned slot = p[2 + 2 * i] >> 4;
            int found = -1;
            for (unsigned c = 0; c < components_; ++c)
                if (component_[c].id == id) found = static_cast<int>(c);
            if (found < 0 || decoded_[found] || slot > 3 || !tables_[slot].defined) return false;
            for (int j = 0; j < i; ++j)
                if (s.component[j] == found) return false;
            // Several components in one scan take one sample each per unit.
            if (s.count > 1 && (component_[found].h != 1 || component_[found].v != 1)) return false;
            s.component[i] = found;
            s.table[i] = &tables_[slot];
        }
        const uint8_t *tail = p + 1 + 2 * s.count;
        s.predictor = tail[0];
        s.pointTransform = tail[2] & 15;
        if (s.predictor < 1 || s.predictor > 7 || s.pointTransform >= static_cast<int>(precision_))
            return false;
        // Restart intervals hold whole lines, as the prediction of their first line needs.
        if (restartInterval_ % layout_.columns != 0) return false;
        if (!decodeScan(s)) return false;
        for (int i = 0; i < s.count; ++i) decoded_[s.component[i]] = true;
        return true;
    }

    bool complete() const {
        if (components_ == 0) return false;
        for (unsigned c = 0; c < components_; ++c)
            if (!decoded_[c]) return false;
        return true;
    }

    // After a restart interval: the RSTn marker, and the reader starting after it.
    bool restart(BitReader &in) {
        if (in.overrun() || in.failed()) return false;
        pos_ = in.position();
        int marker = nextMarker();
        if (marker < kRST0 || marker > kRST7) return false;
        in.reset(pos_);
        return true;
    }

    bool decodeScan(Scan &s) {
        const int columns = layout_.columns;
        rows_.assign(static_cast<size_t>(2 * s.count) * columns, 0);
        for (int c = 0; c < s.count; ++c) {
            s.above[c] = rows_.data() + static_cast<size_t>(2 * c) * columns;
            s.row[c] = s.above[c] + columns;
        }
        const int initial = 1 << (precision_ - s.pointTransform - 1);
        BitReader in(pos_, end_);
        const unsigned interval = restartInterval_;
        unsigned left = interval;  // units until the next restart marker
        bool reset = true;         // the next unit starts a restart interval
        for (int y = 0; y < layout_.rows; ++y) {
            bool firstLine = y == 0;
            for (int x = 0; x < columns;) {
                if (interval != 0 && left == 0) {
                    if (!restart(in)) return false;
                    left = interval;
                    reset = true;
                }
                if (reset) firstLine = true;
                const int end =
                    interval != 0 ? static_cast<int>(std::min<unsigned>(columns, x + left)) : columns;
                if (interval != 0) left -= static_cast<unsigned>(end - x);
                // The first unit of a line or of a restart interval.
                if (reset || x == 0) {
                    for (int c = 0; c < s.count; ++c) {
                        int32_t d = in.difference(*s.table[c]);
                        int predicted = reset ? initial : firstLine ? s.row[c][x - 1] : s.above[c][x];
                        s.row[c][x] = static_cast<uint16_t>(predicted + d);
                    }
                    ++x;
                    reset = false;
                }
                // The first line of the image or of a restart interval predicts from the left.
                decodeRunWith(firstLine ? 1 : s.predictor, in, s, x, end);
                x = end;
            }
            if (in.failed() || in.overrun()) return false;
            storeRow(s, y);
            std::swap(s.above, s.row);
        }
        pos_ = in.position();
        return true;
    }

    void storeRow(const Scan &s, int y) {
        const uint32_t mask = (1u << precision_) - 1u;
        const size_t columns = layout_.columns;
        for (int i = 0; i < s.count; ++i) {
            const size_t c = static_cast<size_t>(s.component[i]);
            const size_t first =
                layout_.planar ? c * layout_.pixels() + y * columns : y * columns * components_ + c;
            const size_t step = layout_.planar ? 1 : components_;
            const uint16_t *r = s.row[i];
            if (layout_.bytesPerSample == 1) {
                for (size_t x = 0; x < columns; ++x)
                    out_[first + x * step] =
                        static_cast<uint8_t>((static_cast<uint32_t>(r[x]) << s.pointTransform) & mask);
            } else {
                for (size_t x = 0; x < columns; ++x) {
                    uint16_t v =
                        static_cast<uint16_t>((static_cast<uint32_t>(r[x]) << s.pointTransform) & mask);
                    std::memcpy(out_ + 2 * (first + x * step), &v, 2);
                }
            }
        }
    }

    const uint8_t *pos_;
    const uint8_t *end_;
    Layout layout_;
    uint8_t *out_;
    unsigned precision_ = 0;
    unsigned components_ = 0;
    std::array<Component, 4> component_{};
    std::array<bool, 4> decoded_{};
    std::array<HuffmanTable, 4> tables_;
    unsigned restartInterval_ = 0;
    std::vector<uint16_t> rows_;
};

// ---- Encoding ---------------------------------------------------------------------------------------

// Code lengths of an optimal table limited to 16 bits (T.81 K.2, Figures K.1 to K.3), as the
// counts per length and the symbols in code order. A reserved symbol of frequency 1 keeps any
// code from being all one bits.
struct CodeTable {
    std::array<uint8_t, 16> counts{};
    std::vector<uint8_t> symbols;
    std::array<uint16_t, kCategories> code{};
    std::array<uint8_t, kCategories> length{};
};

CodeTable optimalTable(const std::array<uint64_t, kCategories> &frequency) {
    constexpr int kReserved = kCategories;
    std::array<uint64_t, kCategories + 1> freq{};
    std::copy(frequency.begin(), frequency.end(), freq.begin());
    freq[kReserved] = 1;
    std::array<int, kCategories + 1> size{}, others{};
    others.fill(-1);
    for (;;) {
        int v1 = -1, v2 = -1;
        for (int i = 0; i <= kReserved; ++i)  // the least frequency, ties to the largest symbol
            if (freq[i] != 0 && (v1 < 0 || freq[i] <= freq[v1])) v1 = i;
        for (int i = 0; i <= kReserved; ++i)
            if (freq[i] != 0 && i != v1 && (v2 < 0 || freq[i] <= freq[v2])) v2 = i;
        if (v2 < 0) break;
        freq[v1] += freq[v2];
        freq[v2] = 0;
        for (++size[v1]; others[v1] >= 0; ++size[v1]) v1 = others[v1];
        others[v1] = v2;
        for (++size[v2]; others[v2] >= 0; ++size[v2]) v2 = others[v2];
    }
    std::array<int, 33> bits{};
    for (int s : size)
        if (s > 0) ++bits[s];
    for (int i = 32; i > 16; --i)
        while (bits[i] > 0) {
            int j = i - 2;
            while (bits[j] == 0) --j;
            bits[i] -= 2;
            bits[i - 1] += 1;
            bits[j + 1] += 2;
            bits[j] -= 1;
        }
    int longest = 16;
    while (bits[longest] == 0) --longest;
    bits[longest] -= 1;  // the reserved symbol's code
    CodeTable t;
    for (int i = 1; i <= 16; ++i) t.counts[i - 1] = static_cast<uint8_t>(bits[i]);
    for (int s = 1; s <= 32; ++s)
        for (int i = 0; i < kCategories; ++i)
            if (size[i] == s) t.symbols.push_back(static_cast<uint8_t>(i));
    // Lengths are handed out in symbol order, shortest first (the adjustment moved codes).
    uint32_t next = 0;
    size_t k = 0;
    for (int length = 1; length <= 16; ++length) {
        for (int n = 0; n < t.counts[length - 1]; ++n, ++k, ++next) {
            t.code[t.symbols[k]] = static_cast<uint16_t>(next);
            t.length[t.symbols[k]] = static_cast<uint8_t>(length);
        }
        next <<= 1;
    }
    t.symbols.resize(k);
    return t;
}

inline int category(int32_t d) {
    return d == 0 ? 0 : std::bit_width(static_cast<uint32_t>(d < 0 ? -d : d));
}

// Writes bits MSB first into a buffer sized beforehand, 32 at a time, stuffing a zero after
// every 0xFF byte.
class BitWriter {
   public:
    explicit BitWriter(uint8_t *out) : out_(out) {}
    // n <= 32 bits of `value`.
    [[gnu::always_inline]] inline void put(uint32_t value, int n) {
        acc_ = (acc_ << n) | value;
        bits_ += n;
        if (bits_ < 32) return;
        bits_ -= 32;
        const uint32_t word = static_cast<uint32_t>(acc_ >> bits_);
        if (((~word - 0x01010101u) & word & 0x80808080u) == 0) {  // no 0xFF byte
            const uint32_t big = __builtin_bswap32(word);
            std::memcpy(out_, &big, 4);
            out_ += 4;
            return;
        }
        for (int shift = 24; shift >= 0; shift -= 8) byte(static_cast<uint8_t>(word >> shift));
    }
    uint8_t *finish() {
        const int pad = (8 - bits_ % 8) % 8;  // one bits up to the byte's end
        acc_ = (acc_ << pad) | ((1u << pad) - 1u);
        bits_ += pad;
        while (bits_ >= 8) {
            bits_ -= 8;
            byte(static_cast<uint8_t>(acc_ >> bits_));
        }
        return out_;
    }
    void restart(uint8_t code) {
        finish();
        *out_++ = 0xFF;
        *out_++ = code;
    }

   private:
    void byte(uint8_t b) {
        *out_++ = b;
        if (b == 0xFF) *out_++ = 0;
    }

    uint8_t *out_;
    uint64_t acc_ = 0;
    int bits_ = 0;
};

void put16(std::vector<uint8_t> &out, unsigned v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void marker(std::vector<uint8_t> &out, uint8_t code) {
    out.push_back(0xFF);
    out.push_back(code);
}

void writeHeaders(std::vector<uint8_t> &out, const Layout &l, const Coding &coding, const CodeTable &t) {
    marker(out, kSOI);
    marker(out, kSOF3);
    put16(out, 8 + 3 * l.components);
    out.push_back(static_cast<uint8_t>(coding.precision));
    put16(out, l.rows);
    put16(out, l.columns);
    out.push_back(static_cast<uint8_t>(l.components));
    for (unsigned c = 0; c < l.components; ++c) out.insert(out.end(), {static_cast<uint8_t>(c + 1), 0x11, 0});
    marker(out, kDHT);
    put16(out, static_cast<unsigned>(2 + 17 + t.symbols.size()));
    out.push_back(0x00);  // class 0 (lossless), table 0
    out.insert(out.end(), t.counts.begin(), t.counts.end());
    out.insert(out.end(), t.symbols.begin(), t.symbols.end());
    if (coding.restartInterval != 0) {
        marker(out, kDRI);
        put16(out, 4);
        put16(out, coding.restartInterval);
    }
    marker(out, kSOS);
    put16(out, 6 + 2 * l.components);
    out.push_back(static_cast<uint8_t>(l.components));
    for (unsigned c = 0; c < l.components; ++c) out.insert(out.end(), {static_cast<uint8_t>(c + 1), 0x00});
    out.push_back(static_cast<uint8_t>(coding.predictor));
    out.push_back(0);
    out.push_back(static_cast<uint8_t>(coding.pointTransform));
}

template <int P>
void rowDifferences(const uint16_t *row, const uint16_t *above, size_t columns, int16_t *d, size_t step) {
    for (size_t x = 1; x < columns; ++x)
        d[x * step] = static_cast<int16_t>(row[x] - predict<P>(row[x - 1], above[x], above[x - 1]));
}

void rowDifferencesWith(unsigned predictor, const uint16_t *row, const uint16_t *above, size_t columns,
                        int16_t *d, size_t step) {
    switch (predictor) {
        case 1:
            return rowDifferences<1>(row, above, columns, d, step);
        case 2:
            return rowDifferences<2>(row, above, columns, d, step);
        case 3:
            return rowDifferences<3>(row, above, columns, d, step);
        case 4:
            return rowDifferences<4>(row, above, columns, d, step);
        case 5:
            return rowDifferences<5>(row, above, columns, d, step);
        case 6:
            return rowDifferences<6>(row, above, columns, d, step);
        default:
            return rowDifferences<7>(row, above, columns, d, step);
    }
}

// The differences of every sample in coding order (pixel by pixel, component by component),
// modulo 2^16 as T.81 H.1.2.1 asks. A restart interval (whole lines) starts prediction again:
// its first pixel from 2^(P-Pt-1), the rest of its first line from the left.
template <class T>
void differences(const Layout &l, const Coding &coding, const T *in, std::vector<int16_t> &out) {
    const size_t columns = l.columns, comps = l.components, interval = coding.restartInterval;
    const uint32_t mask = (1u << coding.precision) - 1u;
    const int initial = 1 << (coding.precision - coding.pointTransform - 1);
    const unsigned shift = coding.pointTransform;
    std::vector<uint16_t> rows(2 * columns);
    for (size_t c = 0; c < comps; ++c) {
        uint16_t *above = rows.data(), *row = rows.data() + columns;
        for (size_t y = 0; y < l.rows; ++y) {
            const size_t first = l.planar ? c * l.pixels() + y * columns : y * columns * comps + c;
            const size_t step = l.planar ? 1 : comps;
            for (size_t x = 0; x < columns; ++x)
                row[x] = static_cast<uint16_t>((static_cast<uint32_t>(in[first + x * step]) & mask) >> shift);
            const bool restarted = y == 0 || (interval != 0 && y * columns % interval == 0);
            int16_t *d = out.data() + y * columns * comps + c;
            d[0] = static_cast<int16_t>(row[0] - (restarted ? initial : above[0]));
            rowDifferencesWith(restarted ? 1 : coding.predictor, row, above, columns, d, comps);
            std::swap(above, row);
        }
    }
}

}  // namespace

bool encodeFrame(const Layout &l, const Coding &coding, const uint8_t *samples, std::vector<uint8_t> &out) {
    if ((l.components != 1 && l.components != 3) || (l.bytesPerSample != 1 && l.bytesPerSample != 2) ||
        l.rows == 0 || l.columns == 0 || coding.precision < 2 || coding.precision > 8u * l.bytesPerSample ||
        coding.predictor < 1 || coding.predictor > 7 || coding.pointTransform >= coding.precision ||
        coding.restartInterval > 0xFFFF || coding.restartInterval % l.columns != 0)
        return false;
    std::vector<int16_t> diffs(l.samples());
    if (l.bytesPerSample == 1)
        differences(l, coding, samples, diffs);
    else
        differences(l, coding, reinterpret_cast<const uint16_t *>(samples), diffs);
    std::array<uint64_t, kCategories> frequency{};
    for (int16_t d : diffs) ++frequency[category(d)];
    CodeTable table = optimalTable(frequency);
    uint64_t bits = 0;
    for (int s = 0; s < kCategories; ++s) bits += frequency[s] * (table.length[s] + (s < 16 ? s : 0));
    out.clear();
    writeHeaders(out, l, coding, table);
    const size_t header = out.size();
    // Room for every byte stuffed, and for a padded byte and a marker per restart.
    const size_t interval = static_cast<size_t>(coding.restartInterval) * l.components;
    const size_t restarts = interval != 0 ? diffs.size() / interval : 0;
    out.resize(header + 2 * (bits / 8 + 1) + 2 + 4 * restarts);
    BitWriter writer(out.data() + header);
    for (size_t i = 0; i < diffs.size(); ++i) {
        if (interval != 0 && i != 0 && i % interval == 0)
            writer.restart(static_cast<uint8_t>(kRST0 + (i / interval - 1) % 8));
        const int32_t d = diffs[i];
        const int s = category(d);
        // The code and its extra bits (none for categories 0 and 16) in one go.
        const int extra = s == 16 ? 0 : s;
        const uint32_t bits = static_cast<uint32_t>(d >= 0 ? d : d + (1 << s) - 1) & ((1u << extra) - 1u);
        writer.put(static_cast<uint32_t>(table.code[s]) << extra | bits, table.length[s] + extra);
    }
    out.resize(static_cast<size_t>(writer.finish() - out.data()));
    marker(out, kEOI);
    return true;
}

bool decodeFrame(const uint8_t *stream, size_t length, const Layout &layout, uint8_t *samples) {
    if (stream == nullptr || samples == nullptr || (layout.components != 1 && layout.components != 3) ||
        (layout.bytesPerSample != 1 && layout.bytesPerSample != 2) || layout.rows == 0 || layout.columns == 0)
        return false;
    Decoder decoder(stream, length, layout, samples);
    return decoder.run();
}

}  // namespace velmar::codecs::jpegll
