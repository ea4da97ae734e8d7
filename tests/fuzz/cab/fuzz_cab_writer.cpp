// Round-trip fuzz target for the cabinet writer. The first input bytes choose the compression
// types, LZX level and window, E8 translation and reserve areas; the rest describe a set of files
// (sizes and contents drawn from the input). The set is written through in-memory callbacks,
// decoded with libmspack's cabinet reader over an in-memory mspack_system, and compared byte for byte.
#include "tests/cabforge/cab/cab_inspect.h"
#include "tests/cabforge/cab/mem_callbacks.h"

#include <mspack.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace cabtest;

namespace {

// ---- In-memory mspack_system ----

struct MemSystem {
    mspack_system sys;
    const std::string *cabinet;
    std::map<std::string, std::string> outputs;
};

struct MemHandle {
    MemSystem *owner;
    const std::string *in;
    std::string *out;
    std::size_t pos;
};

mspack_file *msOpen(mspack_system *self, const char *name, int mode) {
    auto *s = reinterpret_cast<MemSystem *>(self);
    auto *h = new MemHandle{s, nullptr, nullptr, 0};
    if (mode == MSPACK_SYS_OPEN_READ && std::strcmp(name, "cab") == 0) {
        h->in = s->cabinet;
    } else if (mode == MSPACK_SYS_OPEN_WRITE) {
        h->out = &s->outputs[name];
        h->out->clear();
    } else {
        delete h;
        return nullptr;
    }
    return reinterpret_cast<mspack_file *>(h);
}

void msClose(mspack_file *f) {
    delete reinterpret_cast<MemHandle *>(f);
}

int msRead(mspack_file *f, void *buf, int bytes) {
    auto *h = reinterpret_cast<MemHandle *>(f);
    if (!h->in || bytes < 0)
        return -1;
    std::size_t n = h->pos < h->in->size() ? h->in->size() - h->pos : 0;
    if (n > static_cast<std::size_t>(bytes))
        n = static_cast<std::size_t>(bytes);
    std::memcpy(buf, h->in->data() + h->pos, n);
    h->pos += n;
    return static_cast<int>(n);
}

int msWrite(mspack_file *f, void *buf, int bytes) {
    auto *h = reinterpret_cast<MemHandle *>(f);
    if (!h->out || bytes < 0)
        return -1;
    h->out->append(static_cast<const char *>(buf), static_cast<std::size_t>(bytes));
    return bytes;
}

int msSeek(mspack_file *f, off_t offset, int mode) {
    auto *h = reinterpret_cast<MemHandle *>(f);
    const std::size_t size = h->in ? h->in->size() : h->out->size();
    off_t base = mode == MSPACK_SYS_SEEK_START ? 0
                 : mode == MSPACK_SYS_SEEK_CUR ? static_cast<off_t>(h->pos)
                                               : static_cast<off_t>(size);
    if (base + offset < 0 || static_cast<std::size_t>(base + offset) > size)
        return -1;
    h->pos = static_cast<std::size_t>(base + offset);
    return 0;
}

off_t msTell(mspack_file *f) {
    return static_cast<off_t>(reinterpret_cast<MemHandle *>(f)->pos);
}
void msMessage(mspack_file *, const char *, ...) {}
void *msAlloc(mspack_system *, size_t n) {
    return std::malloc(n);
}
void msFree(void *p) {
    std::free(p);
}
void msCopy(void *src, void *dst, size_t n) {
    std::memmove(dst, src, n);
}

// ---- Input reader ----

struct Input {
    const std::uint8_t *p;
    std::size_t n, pos = 0;
    std::uint8_t byte() { return pos < n ? p[pos++] : 0; }
    std::uint32_t u16() { return byte() | std::uint32_t(byte()) << 8; }
};

std::string makeContent(Input &in, std::size_t size, unsigned mode) {
    std::string s;
    s.reserve(size);
    switch (mode) {
    case 0: { // bytes straight from the input, cycled
        const std::size_t take = in.n - in.pos < 64 ? in.n - in.pos : 64;
        std::string seg(reinterpret_cast<const char *>(in.p + in.pos), take);
        in.pos += take;
        if (seg.empty())
            seg = "x";
        while (s.size() < size)
            s += seg;
        break;
    }
    case 1: // one byte repeated
        s.assign(size, static_cast<char>(in.byte()));
        break;
    case 2: { // incompressible
        std::uint32_t x = in.u16() * 2654435761u + 1;
        while (s.size() < size) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            s += static_cast<char>(x >> 24);
        }
        break;
    }
    default: { // x86-like: call opcodes with operands, some near frame edges
        std::uint32_t x = in.u16() + 7;
        while (s.size() < size) {
            x = x * 1103515245u + 12345u;
            if ((x >> 16) % 5 == 0) {
                s += '\xE8';
                for (int k = 0; k < 4 && s.size() < size; ++k)
                    s += static_cast<char>((x >> (8 * k)) & ((x & 0x100) ? 0xFF : 0x03));
            } else {
                s += static_cast<char>("\x8B\x45\xFC\x89\x04\x24\x00\x48"[(x >> 20) & 7]);
            }
        }
        break;
    }
    }
    s.resize(size);
    return s;
}

std::uint16_t typeFor(unsigned choice, unsigned window) {
    switch (choice) {
    case 0:
        return cabw::kCompressNone;
    case 1:
        return cabw::kCompressMszip;
    case 2:
        return cabw::kCompressLzx21;
    default:
        return cabw::compressLzx(window);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in{data, size};
    const unsigned fileCount = in.byte() % 12;
    const unsigned typeByte = in.byte();
    const unsigned options = in.byte();
    const unsigned window = 15 + (typeByte >> 4) % 7;
    const bool mixed = typeByte & 0x08;

    MemFs fs;
    cabw::CabinetParams params{};
    params.setId = 12345;
    params.lzxLevel = (options & 3) % (cabw::kLzxLevelMax + 1);
    params.lzxNoE8 = options & 4;
    if (options & 8) {
        params.reserveHeader = in.byte();
        params.reserveFolder = in.byte();
        params.reserveData = in.byte();
    }
    std::strcpy(params.cabinetName, "cab");

    struct PlannedFile {
        std::string source, name, content;
        std::uint16_t type;
    };
    std::vector<PlannedFile> planned;
    std::size_t total = 0;
    for (unsigned i = 0; i < fileCount; ++i) {
        const unsigned sel = in.byte();
        std::size_t len = in.u16();
        switch (sel & 3) {
        case 0:
            len %= 16;
            break; // tiny: E8 and one-symbol edges
        case 1:
            len = 32768 * ((sel >> 2) % 4) + len % 64 - 32;
            break; // around block edges
        case 2:
            break; // up to 64 KiB
        default:
            len *= 4;
            break; // up to 256 KiB
        }
        if (len > (1u << 30))
            len = 0;
        if (total + len > (1u << 19))
            len = 0;
        total += len;
        PlannedFile s;
        s.source = "src/" + std::to_string(i);
        s.name = (sel & 0x80) ? "d\\f\xC3\xBC" + std::to_string(i) : "f" + std::to_string(i);
        s.content = makeContent(in, len, (sel >> 4) & 3);
        s.type = typeFor(mixed ? (in.byte() & 3) : (typeByte & 3), window);
        fs.files[s.source].data = s.content;
        planned.push_back(s);
    }

    cabw::ErrorRecord error;
    cabw::Handle h = cabw::create(&error, memCallbacks(), params, &fs);
    if (!h)
        std::abort();
    bool ok = cabw::flushFolder(h, memNextCabinet, memStatus);
    for (const PlannedFile &s : planned)
        ok = ok && cabw::addFile(h, s.source.c_str(), s.name.c_str(), false, memNextCabinet, memStatus,
                                 memOpenInfo, s.type);
    ok = ok && cabw::flushCabinet(h, true, memNextCabinet, memStatus);
    if (!cabw::destroy(h) || !ok || fs.countFiles("tmp/") != 0 || !fs.fds.empty() || fs.liveBlocks != 0)
        std::abort();
    if (planned.empty()) {
        if (fs.files.count("cab"))
            std::abort(); // an empty build writes no cabinet
        return 0;
    }
    const std::string &cab = fs.files["cab"].data;
    const CabInfo info = inspectCabinet(cab);
    if (!info.problem.empty() || info.entries.size() != planned.size())
        std::abort();

    MemSystem ms{};
    ms.sys = {msOpen, msClose, msRead, msWrite, msSeek, msTell, msMessage, msAlloc, msFree, msCopy, nullptr};
    ms.cabinet = &cab;
    mscab_decompressor *cabd = mspack_create_cab_decompressor(&ms.sys);
    if (!cabd)
        std::abort();
    mscabd_cabinet *c = cabd->open(cabd, "cab");
    if (!c)
        std::abort();
    std::size_t i = 0;
    for (mscabd_file *f = c->files; f; f = f->next, ++i) {
        if (i >= planned.size() || planned[i].name != f->filename || f->length != planned[i].content.size())
            std::abort();
        const std::string out = "out" + std::to_string(i);
        if (cabd->extract(cabd, f, out.c_str()) != MSPACK_ERR_OK)
            std::abort();
        if (ms.outputs[out] != planned[i].content)
            std::abort();
    }
    if (i != planned.size())
        std::abort();
    cabd->close(cabd, c);
    mspack_destroy_cab_decompressor(cabd);
    return 0;
}
