#include "tests/cabforge/lzx/cab_wrap.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <mspack.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lzxtest {

namespace {

void put16(Bytes &b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(Bytes &b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

std::uint32_t cabSum(const std::uint8_t *p, std::size_t n, std::uint32_t seed) {
    std::uint32_t s = seed;
    for (; n >= 4; n -= 4, p += 4)
        s ^= std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
             std::uint32_t(p[3]) << 24;
    std::uint32_t t = 0;
    if (n == 3)
        t = std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
    if (n == 2)
        t = std::uint32_t(p[0]) << 8 | p[1];
    if (n == 1)
        t = p[0];
    return s ^ t;
}

std::string makeTempDir() {
    char templ[] = "/tmp/lzxtest-XXXXXX";
    const char *d = mkdtemp(templ);
    return d != nullptr ? std::string(d) : std::string();
}

} // namespace

bool takeFrames(lzx::Encoder *encoder, std::vector<Frame> &frames) {
    Bytes out(lzx::kMaxFrameOutput);
    std::size_t got, frameSize = 0;
    while ((got = lzx::takeFrame(encoder, out.data(), out.size(), &frameSize)) != 0) {
        if (got > lzx::kMaxFrameOutput || frameSize == 0 || frameSize > lzx::kFrameSize)
            return false;
        frames.push_back(Frame{Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got)),
                               static_cast<std::uint32_t>(frameSize)});
    }
    return true;
}

std::vector<Frame> compressFolder(const Bytes &data, const lzx::EncoderOptions &options, bool &ok) {
    std::vector<Frame> frames;
    ok = false;
    std::unique_ptr<lzx::Encoder, void (*)(lzx::Encoder *)> enc(lzx::createEncoder(options),
                                                                lzx::destroyEncoder);
    if (!enc)
        return frames;
    std::size_t put = 0;
    for (std::size_t pos = 0; pos < data.size(); pos += lzx::kFrameSize) {
        const std::size_t n = std::min(lzx::kFrameSize, data.size() - pos);
        if (!lzx::putFrame(enc.get(), data.data() + pos, n) || !takeFrames(enc.get(), frames))
            return {};
        put += n;
    }
    if (!lzx::finishStream(enc.get()) || !takeFrames(enc.get(), frames))
        return {};
    // Every frame put in must have come out, in order and with its size.
    std::size_t taken = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::size_t expected = std::min(lzx::kFrameSize, data.size() - i * lzx::kFrameSize);
        if (frames[i].uncompressedSize != expected)
            return {};
        taken += frames[i].uncompressedSize;
    }
    if (taken != put)
        return {};
    ok = true;
    return frames;
}

Bytes wrapCabinet(const std::vector<Frame> &frames, std::uint16_t typeCompress) {
    static const char kName[] = "data.bin";
    const std::size_t nameLen = sizeof kName; // with the NUL
    std::uint32_t total = 0;
    std::uint32_t dataBytes = 0;
    for (const Frame &f : frames) {
        total += f.uncompressedSize;
        dataBytes += 8 + static_cast<std::uint32_t>(f.compressed.size());
    }
    const std::uint32_t dataStart = 36 + 8 + 16 + static_cast<std::uint32_t>(nameLen);
    Bytes b;
    put32(b, 0x4643534Du); // "MSCF"
    put32(b, 0);
    put32(b, dataStart + dataBytes); // cbCabinet
    put32(b, 0);
    put32(b, 36 + 8); // coffFiles
    put32(b, 0);
    b.push_back(3); // version 1.3
    b.push_back(1);
    put16(b, 1);         // cFolders
    put16(b, 1);         // cFiles
    put16(b, 0);         // flags
    put16(b, 12345);     // setID
    put16(b, 0);         // iCabinet
    put32(b, dataStart); // CFFOLDER.coffCabStart
    put16(b, static_cast<unsigned>(frames.size()));
    put16(b, typeCompress);
    put32(b, total); // CFFILE
    put32(b, 0);
    put16(b, 0);
    put16(b, 0x58B1); // 2024-05-17
    put16(b, 0x6DAF); // 13:45:30
    put16(b, 0x20);
    b.insert(b.end(), kName, kName + nameLen);
    for (const Frame &f : frames) {
        const std::uint32_t sizes = static_cast<std::uint32_t>(f.compressed.size()) | f.uncompressedSize
                                                                                          << 16;
        std::uint8_t sizeBytes[4] = {static_cast<std::uint8_t>(sizes), static_cast<std::uint8_t>(sizes >> 8),
                                     static_cast<std::uint8_t>(sizes >> 16),
                                     static_cast<std::uint8_t>(sizes >> 24)};
        const std::uint32_t sum = cabSum(sizeBytes, 4, cabSum(f.compressed.data(), f.compressed.size(), 0));
        put32(b, sum);
        b.insert(b.end(), sizeBytes, sizeBytes + 4);
        b.insert(b.end(), f.compressed.begin(), f.compressed.end());
    }
    return b;
}

std::string writeTempFile(const Bytes &cab, const char *suffix) {
    const std::string dir = makeTempDir();
    if (dir.empty())
        return {};
    const std::string path = dir + "/test" + suffix;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return {};
    const bool ok = std::fwrite(cab.data(), 1, cab.size(), f) == cab.size();
    return std::fclose(f) == 0 && ok ? path : std::string();
}

Bytes readFile(const std::string &path) {
    Bytes out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return out;
    std::uint8_t buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + got);
    std::fclose(f);
    return out;
}

bool decodeWithMspack(const std::string &cabPath, Bytes &out, std::string &error) {
    mscab_decompressor *d = mspack_create_cab_decompressor(nullptr);
    if (d == nullptr) {
        error = "cannot create decompressor";
        return false;
    }
    bool ok = false;
    mscabd_cabinet *cab = d->open(d, cabPath.c_str());
    if (cab == nullptr || cab->files == nullptr) {
        error = "open failed, error " + std::to_string(d->last_error(d));
    } else {
        const std::string target = cabPath + ".out";
        const int rc = d->extract(d, cab->files, target.c_str());
        if (rc != MSPACK_ERR_OK) {
            error = "extract failed, error " + std::to_string(rc);
        } else {
            out = readFile(target);
            ok = true;
        }
        std::remove(target.c_str());
    }
    if (cab != nullptr)
        d->close(d, cab);
    mspack_destroy_cab_decompressor(d);
    return ok;
}

bool decodeWithTool(const std::string &tool, const std::string &cabPath, Bytes &out, std::string &error) {
    const std::string dir = makeTempDir();
    std::string cmd;
    if (tool == "cabextract") // test mode (checks and digests every file) first, then extraction
        cmd = "cabextract -t -q '" + cabPath + "' && cabextract -q -d '" + dir + "' '" + cabPath + "'";
    else if (tool == "7z")
        cmd = "7z x -y -bd -o'" + dir + "' '" + cabPath + "'";
    else if (tool == "gcab")
        cmd = "gcab -x -C '" + dir + "' '" + cabPath + "'";
    else
        return false;
    cmd += " >/dev/null 2>&1";
    const int rc = std::system(cmd.c_str());
    const std::string file = dir + "/data.bin";
    out = readFile(file);
    std::remove(file.c_str());
    rmdir(dir.c_str());
    if (rc != 0) {
        error = tool + " exited with " + std::to_string(rc);
        return false;
    }
    return true;
}

} // namespace lzxtest
