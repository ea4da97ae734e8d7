#include "tests/cabforge/cab/cab_inspect.h"

namespace cabtest {
namespace {

std::uint32_t u16(const std::string &b, std::size_t o) {
    return std::uint32_t(std::uint8_t(b[o])) | std::uint32_t(std::uint8_t(b[o + 1])) << 8;
}
std::uint32_t u32(const std::string &b, std::size_t o) {
    return u16(b, o) | u16(b, o + 2) << 16;
}

std::uint32_t sum(const std::string &b, std::size_t o, std::size_t n, std::uint32_t s) {
    for (; n >= 4; n -= 4, o += 4)
        s ^= u32(b, o);
    std::uint32_t t = 0;
    for (std::size_t i = 0; i < n; ++i)
        t = t << 8 | std::uint8_t(b[o + i]);
    return s ^ t;
}

} // namespace

CabInfo inspectCabinet(const std::string &b) {
    CabInfo info;
    auto bad = [&](const std::string &why) {
        info.problem = why;
        return info;
    };
    if (b.size() < 36 || b.compare(0, 4, "MSCF") != 0)
        return bad("no MSCF signature");
    if (u32(b, 4) || u32(b, 12) || u32(b, 20))
        return bad("reserved header field not zero");
    info.size = u32(b, 8);
    if (info.size != b.size())
        return bad("cbCabinet " + std::to_string(info.size) + " != file size " + std::to_string(b.size()));
    if (b[24] != 3 || b[25] != 1)
        return bad("version not 1.3");
    const std::uint32_t folders = u16(b, 26), files = u16(b, 28);
    info.flags = static_cast<std::uint16_t>(u16(b, 30));
    info.setId = static_cast<std::uint16_t>(u16(b, 32));
    info.cabinetIndex = static_cast<std::uint16_t>(u16(b, 34));
    if (info.flags & ~0x0004u)
        return bad("flags other than RESERVE_PRESENT set");
    std::size_t pos = 36;
    std::uint32_t resHeader = 0, resFolder = 0, resData = 0;
    if (info.flags & 4) {
        resHeader = u16(b, 36);
        resFolder = std::uint8_t(b[38]);
        resData = std::uint8_t(b[39]);
        pos = 40 + resHeader;
    }
    for (std::uint32_t i = 0; i < folders; ++i) {
        if (pos + 8 > b.size())
            return bad("folders truncated");
        CabFolder f;
        f.dataStart = u32(b, pos);
        f.blockCount = static_cast<std::uint16_t>(u16(b, pos + 4));
        f.type = static_cast<std::uint16_t>(u16(b, pos + 6));
        info.folders.push_back(f);
        pos += 8 + resFolder;
    }
    if (u32(b, 16) != pos)
        return bad("coffFiles wrong");
    for (std::uint32_t i = 0; i < files; ++i) {
        if (pos + 17 > b.size())
            return bad("files truncated");
        CabEntry e;
        e.size = u32(b, pos);
        e.offset = u32(b, pos + 4);
        e.folder = static_cast<std::uint16_t>(u16(b, pos + 8));
        e.date = static_cast<std::uint16_t>(u16(b, pos + 10));
        e.time = static_cast<std::uint16_t>(u16(b, pos + 12));
        e.attribs = static_cast<std::uint16_t>(u16(b, pos + 14));
        const std::size_t end = b.find('\0', pos + 16);
        if (end == std::string::npos)
            return bad("name not terminated");
        e.name = b.substr(pos + 16, end - pos - 16);
        if (e.name.empty() || e.name.size() > 255)
            return bad("bad name length");
        info.entries.push_back(e);
        pos = end + 1;
    }
    for (auto &f : info.folders) {
        if (f.dataStart != pos)
            return bad("folder data does not start where expected");
        for (std::uint32_t k = 0; k < f.blockCount; ++k) {
            if (pos + 8 + resData > b.size())
                return bad("data block header truncated");
            const std::uint32_t csum = u32(b, pos), cb = u16(b, pos + 4), cu = u16(b, pos + 6);
            const std::size_t payload = pos + 8 + resData;
            if (payload + cb > b.size())
                return bad("data block truncated");
            if (cu == 0 || cu > 32768 || (k + 1 < f.blockCount && cu != 32768))
                return bad("block " + std::to_string(k) + " holds " + std::to_string(cu) + " bytes");
            if (cb > 32768 + 6144)
                return bad("block payload over the readers' bound");
            if (sum(b, pos + 4, 4, sum(b, payload, cb, 0)) != csum)
                return bad("checksum mismatch in block " + std::to_string(k));
            f.uncompressed += cu;
            f.compressed += cb;
            f.blockUncomp.push_back(static_cast<std::uint16_t>(cu));
            pos = payload + cb;
        }
    }
    if (pos != b.size())
        return bad("bytes after the last block");
    for (const auto &e : info.entries) {
        if (e.folder >= info.folders.size())
            return bad("entry with bad folder index");
        if (std::uint64_t(e.offset) + e.size > info.folders[e.folder].uncompressed)
            return bad("entry " + e.name + " beyond its folder's data");
    }
    return info;
}

} // namespace cabtest
