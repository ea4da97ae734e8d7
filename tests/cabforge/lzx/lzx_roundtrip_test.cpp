// Round trips of the LZX encoder through independent decoders. Each group names the fault it catches.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>

#include "tests/cabforge/lzx/cab_wrap.h"
#include "cabforge/core/lzx/huffman.h"
#include "cabforge/core/cab/cab_writer.h"
#include "cabforge/core/lzx/lzx_encoder.h"

using lzxtest::Bytes;

namespace {

struct Rng {
    std::uint64_t s;
    explicit Rng(std::uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<std::uint32_t>(s >> 11);
    }
};

Bytes randomBytes(std::size_t n, std::uint64_t seed) {
    Rng r(seed);
    Bytes b(n);
    for (auto &c : b)
        c = static_cast<std::uint8_t>(r.next());
    return b;
}

Bytes textBytes(std::size_t n, std::uint64_t seed) {
    static const char *const kWords[] = {"the ",    "cabinet ", "folder ", "frame ",  "window ", "of ",
                                         "data, ",  "and ",     "block ",  "tree.\n", "match ",  "offset ",
                                         "length ", "Huffman ", "code ",   "is ",     "a ",      "E8 "};
    Rng r(seed);
    Bytes b;
    while (b.size() < n) {
        const char *w = kWords[r.next() % (sizeof kWords / sizeof kWords[0])];
        b.insert(b.end(), w, w + std::strlen(w));
    }
    b.resize(n);
    return b;
}

Bytes runBytes(std::size_t n) {
    Bytes b(n, 0);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i / 300000 % 3 == 2 ? 0x41 : 0); // long runs, rare changes
    return b;
}

// Copies of records picked from a table, each with a byte or two changed: matches at ever new offsets
// that a literal interrupts, which the optimal parser prices as one step with the repeat after it.
Bytes recordBytes(std::size_t n, std::uint64_t seed) {
    constexpr std::size_t kRecords = 64, kRecordSize = 32;
    const Bytes table = randomBytes(kRecords * kRecordSize, seed);
    Rng r(seed);
    Bytes b(table);
    while (b.size() < n) {
        const std::size_t at = b.size();
        const std::size_t pick = r.next() % kRecords * kRecordSize;
        b.insert(b.end(), table.begin() + static_cast<std::ptrdiff_t>(pick),
                 table.begin() + static_cast<std::ptrdiff_t>(pick + kRecordSize));
        for (unsigned k = 1 + r.next() % 2; k > 0; --k)
            b[at + 4 + r.next() % (kRecordSize - 8)] = static_cast<std::uint8_t>(r.next());
    }
    b.resize(n);
    return b;
}

// x86-like code: short low-entropy instruction bytes and E8 calls to a handful of targets.
Bytes callBytes(std::size_t n, std::uint64_t seed) {
    Rng r(seed);
    Bytes b;
    const std::int64_t targets[] = {4096, 50000, 120000, 700000, 1500000};
    while (b.size() < n) {
        if (r.next() % 4 == 0) {
            const std::int64_t pos = static_cast<std::int64_t>(b.size());
            const std::int32_t rel = static_cast<std::int32_t>(targets[r.next() % 5] - (pos + 5));
            b.push_back(0xE8);
            for (int k = 0; k < 4; ++k)
                b.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(rel) >> (8 * k)));
        } else {
            static const std::uint8_t kOps[] = {0x48, 0x89, 0x8B, 0x45, 0xC3, 0x83, 0x0F, 0x85, 0x74, 0x55};
            for (unsigned k = r.next() % 6 + 1; k > 0; --k)
                b.push_back(kOps[r.next() % sizeof kOps]);
        }
    }
    b.resize(n);
    return b;
}

// The largest Windows DLLs of Wine's own build, up to `limit` bytes in total (empty when not installed).
Bytes wineDlls(std::size_t limit) {
    static const char *const kNames[] = {"shell32.dll", "user32.dll", "kernelbase.dll", "comctl32.dll",
                                         "ole32.dll"};
    Bytes all;
    for (const char *name : kNames) {
        Bytes b = lzxtest::readFile(std::string("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/") + name);
        all.insert(all.end(), b.begin(), b.end());
        if (all.size() >= limit)
            break;
    }
    if (all.size() > limit)
        all.resize(limit);
    return all;
}

lzx::EncoderOptions opts(int level, unsigned windowBits = 21, bool e8 = true) {
    lzx::EncoderOptions o;
    o.level = level;
    o.windowBits = windowBits;
    o.e8Translation = e8;
    return o;
}

std::size_t compressedSize(const std::vector<lzxtest::Frame> &frames) {
    std::size_t n = 0;
    for (const auto &f : frames)
        n += f.compressed.size();
    return n;
}

// Compresses, wraps and decodes with libmspack (and optionally the reader programs); returns the
// compressed size, or 0 after recording a failure.
std::size_t roundTrip(const Bytes &data, const lzx::EncoderOptions &o,
                      const std::vector<std::string> &tools = {}) {
    bool ok = false;
    const auto frames = lzxtest::compressFolder(data, o, ok);
    EXPECT_TRUE(ok) << "encoder failed";
    if (!ok)
        return 0;
    for (const auto &f : frames)
        EXPECT_LE(f.compressed.size(), lzx::kMaxFrameOutput);
    const Bytes cab = lzxtest::wrapCabinet(frames, cabw::compressLzx(o.windowBits));
    const std::string path = lzxtest::writeTempFile(cab, ".cab");
    EXPECT_FALSE(path.empty());
    Bytes out;
    std::string error;
    const bool decoded = lzxtest::decodeWithMspack(path, out, error);
    EXPECT_TRUE(decoded) << "libmspack: " << error;
    EXPECT_TRUE(out == data) << "libmspack output differs (" << out.size() << " vs " << data.size()
                             << " bytes)";
    for (const std::string &tool : tools) {
        Bytes viaTool;
        EXPECT_TRUE(lzxtest::decodeWithTool(tool, path, viaTool, error)) << error;
        EXPECT_TRUE(viaTool == data) << tool << " output differs";
    }
    std::remove(path.c_str());
    std::remove(path.substr(0, path.rfind('/')).c_str());
    return ::testing::Test::HasFailure() ? 0 : compressedSize(frames);
}

const std::vector<std::string> kAllReaders = {"cabextract", "7z", "gcab"};
constexpr int kMaxLevel = 3;

} // namespace

// Framing faults: wrong sizes at frame edges, the odd-length last frame, E8 rules for tiny frames.
TEST(LzxRoundTrip, SizesAtFrameEdgesEveryLevel) {
    const std::size_t sizes[] = {1, 2, 6, 7, 8, 9, 10, 11, 12, 100, 32767, 32768, 32769, 65535, 65536, 65537};
    for (int level = 0; level <= kMaxLevel; ++level)
        for (std::size_t n : sizes) {
            SCOPED_TRACE("level " + std::to_string(level) + ", " + std::to_string(n) + " bytes");
            Bytes data = textBytes(n, n);
            roundTrip(data, opts(level));
            roundTrip(callBytes(n, n), opts(level));
        }
}

// The same edges through the three reader programs (7z checks padding bits, gcab decodes each CFDATA alone).
TEST(LzxRoundTrip, ReaderProgramsAgree) {
    for (int level : {0, 2, kMaxLevel})
        for (std::size_t n :
             {std::size_t(1), std::size_t(9), std::size_t(11), std::size_t(32769), std::size_t(100000)}) {
            SCOPED_TRACE("level " + std::to_string(level) + ", " + std::to_string(n) + " bytes");
            Bytes data = textBytes(n / 2, 7);
            Bytes calls = callBytes(n - n / 2, 9);
            data.insert(data.end(), calls.begin(), calls.end());
            roundTrip(data, opts(level), kAllReaders);
        }
}

// History faults: the 2 MiB window boundary, streams longer than the window and the buffer.
TEST(LzxRoundTrip, AroundTheWindowSize) {
    const std::size_t w = std::size_t(1) << 21;
    Bytes mixed = textBytes(w + 1, 3);
    Bytes calls = callBytes(w / 2, 4);
    std::memcpy(mixed.data() + w / 4, calls.data(), calls.size());
    const struct {
        std::size_t size;
        int level;
    } cases[] = {{w - 1, 2}, {w + 1, 2}, {w, 1}, {w + 1, 0}, {w + 1, kMaxLevel}};
    for (const auto &c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level) + ", " + std::to_string(c.size) + " bytes");
        roundTrip(Bytes(mixed.begin(), mixed.begin() + static_cast<std::ptrdiff_t>(c.size)), opts(c.level));
    }
}

// Offset faults: repeats at the largest offset the encoder uses (window - 8) must be found and coded
// right, nothing older may be referenced, and repeats at the format's limit (window - 3, which 7-Zip
// decodes wrongly) must not be used; several window sizes so the history buffer slides many times.
TEST(LzxRoundTrip, MatchesAtTheLargestOffset) {
    for (unsigned bits : {15u, 16u, 21u}) {
        const std::size_t window = std::size_t(1) << bits;
        const std::size_t pieceLen = window / 8;
        Bytes data;
        const int rounds = bits == 21 ? 1 : 12;
        for (int r = 0; r < rounds; ++r) {
            Bytes piece = randomBytes(pieceLen, 100 + r);
            Bytes filler = randomBytes(window - 8 - pieceLen, 200 + r);
            data.insert(data.end(), piece.begin(), piece.end());
            data.insert(data.end(), filler.begin(), filler.end());
            data.insert(data.end(), piece.begin(), piece.end()); // at distance window - 8
            Bytes filler2 = randomBytes(window - 3 - pieceLen, 300 + r);
            data.insert(data.end(), filler2.begin(), filler2.end());
            data.insert(data.end(), piece.begin(), piece.begin() + 1000); // at distance window - 3
        }
        for (int level : {0, 2, kMaxLevel}) {
            if (bits == 21 && level != 2)
                continue; // keeps the test short; the other levels slide the same buffer at 2^15 and 2^16
            SCOPED_TRACE("window 2^" + std::to_string(bits) + ", level " + std::to_string(level));
            const std::size_t packed = roundTrip(data, opts(level, bits, false),
                                                 bits == 21 ? std::vector<std::string>{} : kAllReaders);
            const std::size_t unique = data.size() - rounds * pieceLen;
            EXPECT_GT(packed, 0u);
            if (level != 0) { // the short chains of level 0 may miss them in random data
                EXPECT_LT(packed, unique + unique / 100) << "the repeats at the largest offset were not used";
            }
        }
    }
}

// Fallback faults: incompressible data must come out as uncompressed blocks within the bound.
TEST(LzxRoundTrip, RandomDataStaysWithinTheBound) {
    for (int level : {0, 2, kMaxLevel}) {
        SCOPED_TRACE("level " + std::to_string(level));
        const Bytes data = randomBytes(level == 2 ? 3 * 1000 * 1000 : 1000 * 1000, 42);
        bool ok = false;
        const auto frames = lzxtest::compressFolder(data, opts(level), ok);
        ASSERT_TRUE(ok);
        for (const auto &f : frames)
            EXPECT_LE(f.compressed.size(), f.uncompressedSize + 24u);
        roundTrip(data, opts(level));
    }
}

// Long-match faults: runs of one byte (maximum lengths, repeat offsets, single-symbol trees).
TEST(LzxRoundTrip, LongRunsOfOneByte) {
    const Bytes data = runBytes(3 * 1000 * 1000);
    for (int level = 0; level <= kMaxLevel; ++level) {
        SCOPED_TRACE("level " + std::to_string(level));
        const std::size_t packed = roundTrip(data, opts(level));
        EXPECT_GT(packed, 0u);
        EXPECT_LT(packed, data.size() / 100);
    }
}

// E8 faults: translation at frame ends, in short last frames, and on real Windows programs.
TEST(LzxRoundTrip, E8CallsNearFrameEnds) {
    for (std::size_t last : {1, 5, 6, 9, 10, 11, 12, 13, 20}) {
        Bytes data = callBytes(2 * 32768 + last, last);
        for (std::size_t back = 1; back <= 14; ++back) {
            data[32768 - back] = 0xE8;
            data[2 * 32768 - back] = 0xE8;
        }
        for (std::size_t k = 0; k < last; k += 2)
            data[2 * 32768 + k] = 0xE8;
        SCOPED_TRACE("last frame " + std::to_string(last) + " bytes");
        roundTrip(data, opts(2), {"7z"});
        roundTrip(data, opts(0));
        roundTrip(data, opts(kMaxLevel));
    }
}

TEST(LzxRoundTrip, WindowsProgramsWithAndWithoutE8) {
    const Bytes dlls = wineDlls(2 * 1000 * 1000);
    if (dlls.empty())
        GTEST_SKIP() << "Wine's Windows DLLs are not installed";
    const std::size_t withE8 = roundTrip(dlls, opts(2, 21, true), {"cabextract"});
    const std::size_t withoutE8 = roundTrip(dlls, opts(2, 21, false));
    EXPECT_GT(withE8, 0u);
    EXPECT_LT(withE8, withoutE8) << "E8 translation should pay on x86 code";
    roundTrip(dlls, opts(0));
    roundTrip(dlls, opts(1));
    roundTrip(dlls, opts(kMaxLevel), {"cabextract"});
}

// Level faults: higher levels must not lose to lower ones on ordinary data.
TEST(LzxRoundTrip, LevelsOrderedByRatio) {
    Bytes data = textBytes(400000, 11);
    Bytes calls = callBytes(400000, 12);
    data.insert(data.end(), calls.begin(), calls.end());
    const std::size_t fast = roundTrip(data, opts(0));
    const std::size_t normal = roundTrip(data, opts(1));
    const std::size_t best = roundTrip(data, opts(2));
    const std::size_t max = roundTrip(data, opts(kMaxLevel));
    EXPECT_LE(normal, fast);
    EXPECT_LE(best, normal);
    EXPECT_LE(max, best);
}

// Parser faults in the steps that span a match, literals and a repeat, and in the second way into a
// position: copies of records that differ in a byte or two are full of them, and every reader must
// decode them.
TEST(LzxRoundTrip, RecordsThatDifferInAByte) {
    const Bytes data = recordBytes(300000, 21);
    for (int level : {2, kMaxLevel}) {
        SCOPED_TRACE("level " + std::to_string(level));
        roundTrip(data, opts(level), kAllReaders);
    }
}

// Every window size the format allows, each declared in typeCompress.
TEST(LzxRoundTrip, EveryWindowSize) {
    Bytes data = textBytes(300000, 5);
    Bytes calls = callBytes(300000, 6);
    data.insert(data.end(), calls.begin(), calls.end());
    for (unsigned bits = 15; bits <= 21; ++bits)
        for (int level : {0, 2, kMaxLevel}) {
            SCOPED_TRACE("window 2^" + std::to_string(bits) + ", level " + std::to_string(level));
            roundTrip(data, opts(level, bits), bits == 15 ? kAllReaders : std::vector<std::string>{});
        }
}

// Contract faults: bad arguments fail cleanly instead of writing a broken stream.
TEST(LzxContract, RejectsBadArguments) {
    EXPECT_EQ(lzx::createEncoder(opts(2, 14)), nullptr);
    EXPECT_EQ(lzx::createEncoder(opts(2, 22)), nullptr);
    EXPECT_EQ(lzx::createEncoder(opts(kMaxLevel + 1)), nullptr);
    EXPECT_EQ(lzx::createEncoder(opts(-1)), nullptr);

    lzx::Encoder *enc = lzx::createEncoder(opts(1));
    ASSERT_NE(enc, nullptr);
    const Bytes text = textBytes(32768, 1);
    const Bytes noise = randomBytes(32768 + 1000, 2);
    Bytes out(lzx::kMaxFrameOutput);
    std::size_t frameSize = 0;
    // Refused without effect: empty or oversized frames, missing pointers.
    EXPECT_FALSE(lzx::putFrame(enc, text.data(), 0));
    EXPECT_FALSE(lzx::putFrame(enc, text.data(), 32769));
    EXPECT_FALSE(lzx::putFrame(enc, nullptr, 100));
    EXPECT_FALSE(lzx::putFrame(nullptr, text.data(), 100));
    EXPECT_EQ(lzx::takeFrame(enc, out.data(), out.size(), &frameSize), 0u); // nothing coded yet

    ASSERT_TRUE(lzx::putFrame(enc, text.data(), 32768));
    EXPECT_EQ(lzx::takeFrame(enc, out.data(), out.size(), &frameSize), 0u); // its block may go on
    // Noise does not compress: it ends the text's block and becomes an uncompressed block.
    ASSERT_TRUE(lzx::putFrame(enc, noise.data(), 32768));
    // Coded frames must be taken before the next one goes in; a small buffer takes nothing.
    EXPECT_FALSE(lzx::putFrame(enc, noise.data() + 32768, 1000));
    EXPECT_EQ(lzx::takeFrame(enc, out.data(), lzx::kMaxFrameOutput - 1, &frameSize), 0u);
    const std::size_t textSize = lzx::takeFrame(enc, out.data(), out.size(), &frameSize);
    EXPECT_EQ(frameSize, 32768u);
    EXPECT_GT(textSize, 0u);
    EXPECT_LT(textSize, 20000u);
    EXPECT_GE(lzx::takeFrame(enc, out.data(), out.size(), &frameSize), 32768u + 12u);
    EXPECT_EQ(frameSize, 32768u);
    EXPECT_EQ(lzx::takeFrame(enc, out.data(), out.size(), &frameSize), 0u);

    ASSERT_TRUE(lzx::putFrame(enc, noise.data() + 32768, 1000)); // short: ends the stream
    EXPECT_FALSE(lzx::putFrame(enc, text.data(), 32768));        // nothing may follow it
    EXPECT_GT(lzx::takeFrame(enc, out.data(), out.size(), &frameSize), 0u);
    EXPECT_EQ(frameSize, 1000u);
    EXPECT_TRUE(lzx::finishStream(enc)); // harmless after a short frame
    EXPECT_EQ(lzx::takeFrame(enc, out.data(), out.size(), &frameSize), 0u);
    lzx::destroyEncoder(enc);
    lzx::destroyEncoder(nullptr);
    EXPECT_FALSE(lzx::finishStream(nullptr));
    EXPECT_EQ(lzx::takeFrame(nullptr, out.data(), out.size(), &frameSize), 0u);
}

// The encoder holds frames back until their block is complete: a caller that does not drain is refused
// rather than losing frames, and a stream ended by a full frame needs finishStream to give them up.
TEST(LzxContract, HeldFramesComeOutInOrder) {
    lzx::Encoder *enc = lzx::createEncoder(opts(2));
    ASSERT_NE(enc, nullptr);
    const Bytes data = textBytes(6 * 32768, 7); // similar frames: one block spans them
    std::vector<lzxtest::Frame> frames;
    for (std::size_t pos = 0; pos < data.size(); pos += 32768) {
        ASSERT_TRUE(lzx::putFrame(enc, data.data() + pos, 32768));
        ASSERT_TRUE(lzxtest::takeFrames(enc, frames));
    }
    const std::size_t heldAtEnd = 6 - frames.size();
    EXPECT_GT(heldAtEnd, 0u) << "text frames alike should share a block that stays open";
    ASSERT_TRUE(lzx::finishStream(enc));
    ASSERT_TRUE(lzxtest::takeFrames(enc, frames));
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_FALSE(lzx::putFrame(enc, data.data(), 32768)); // the stream has ended
    lzx::destroyEncoder(enc);

    const Bytes cab = lzxtest::wrapCabinet(frames, cabw::compressLzx(21));
    const std::string path = lzxtest::writeTempFile(cab, ".cab");
    for (const std::string &tool : kAllReaders) {
        Bytes decoded;
        std::string error;
        EXPECT_TRUE(lzxtest::decodeWithTool(tool, path, decoded, error)) << tool << ": " << error;
        EXPECT_TRUE(decoded == data) << tool;
    }
    Bytes decoded;
    std::string error;
    EXPECT_TRUE(lzxtest::decodeWithMspack(path, decoded, error)) << error;
    EXPECT_TRUE(decoded == data);
    std::remove(path.c_str());
    std::remove(path.substr(0, path.rfind('/')).c_str());
}

// Huffman faults: codes must be complete and within the length limit, including a lone symbol.
TEST(LzxHuffman, LimitedCompleteCodes) {
    struct Case {
        std::vector<std::uint32_t> freq;
        unsigned limit;
    };
    std::vector<Case> cases;
    std::vector<std::uint32_t> fib(40);
    fib[0] = fib[1] = 1;
    for (std::size_t i = 2; i < fib.size(); ++i)
        fib[i] = fib[i - 1] + fib[i - 2] > 100000000 ? 100000000 : fib[i - 1] + fib[i - 2];
    cases.push_back({fib, 16});
    cases.push_back({fib, 7});
    cases.push_back({std::vector<std::uint32_t>(20, 1), 7});
    std::vector<std::uint32_t> one(656, 0);
    one[300] = 5;
    cases.push_back({one, 16});
    std::vector<std::uint32_t> zero(8, 0);
    zero[0] = 9;
    cases.push_back({zero, 7});
    for (const Case &c : cases) {
        std::vector<std::uint8_t> lens(c.freq.size());
        lzx::buildCodeLengths(c.freq.data(), static_cast<unsigned>(c.freq.size()), c.limit, lens.data());
        double kraft = 0;
        for (std::size_t s = 0; s < lens.size(); ++s) {
            EXPECT_LE(lens[s], c.limit);
            if (c.freq[s] != 0) {
                EXPECT_GT(lens[s], 0u) << "used symbol " << s << " has no code";
            }
            if (lens[s] != 0)
                kraft += 1.0 / double(1u << lens[s]);
        }
        EXPECT_DOUBLE_EQ(kraft, 1.0);
    }
}
