// libFuzzer target for the checks that read a downloaded document or program before anything
// else does: the XML byte check and the program image checks (kind and product version). Besides
// memory errors (ASan/UBSan), it checks that a file's bytes are never read outside the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tarnbeam/feed/portable/xml_guard.h"
#include "tarnbeam/retrieval/portable/program_image.h"

namespace {

struct Bytes {
    const std::uint8_t *data;
    std::size_t size;
};

bool ReadAt(void *context, std::uint64_t offset, void *buffer, std::size_t size) {
    const Bytes &b = *static_cast<const Bytes *>(context);
    if (offset > b.size || size > b.size - offset)
        std::abort(); // the checks must keep their reads inside the file
    std::memcpy(buffer, b.data + offset, size);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    xmlguard::checkDocument(data, size);
    Bytes bytes = {data, size};
    const download::ImageSource source = {ReadAt, &bytes, size};
    download::imageMatchesKind(source, download::ProgramKind::kExe);
    download::imageMatchesKind(source, download::ProgramKind::kMsi);
    download::ProductVersion version;
    download::readProductVersion(source, version);
    return 0;
}
