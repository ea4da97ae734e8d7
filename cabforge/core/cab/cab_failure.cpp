// The failure line of a cabinet build: the writer's error record and the entry at fault in words.
#include "cabforge/core/cab/cab_flow.h"

#include <cerrno>
#include <cstring>

namespace cabflow {

namespace {

std::string crtReason(int err) {
    return err > 0 ? std::strerror(err) : "failed";
}

std::string englishNameProblem(cabw::NameProblem problem) {
    return cabw::describeNameProblem(problem);
}

std::string text(std::string (*fn)(int), int err) {
    return fn ? fn(err) : std::to_string(err);
}

// A bad name by elimination of what the writer checks: the length, the rule, then the encoding.
std::string badName(const Entry &entry, const FailureTexts &texts) {
    const cabw::NameProblem problem = cabw::nameProblem(entry.name);
    if (entry.name.size() > cabw::kMaxNameBytes)
        return formatText(texts.nameTooLong, {entry.source, entry.name, std::to_string(entry.name.size()),
                                              std::to_string(cabw::kMaxNameBytes)});
    if (problem != cabw::NameProblem::None)
        return formatText(texts.nameUnsafe,
                          {entry.source, entry.name, texts.nameProblem ? texts.nameProblem(problem) : ""});
    return formatText(texts.nameNotUtf8, {entry.source, entry.name});
}

std::string sourceFailure(const Failure &failure, const Entry &entry, const FailureTexts &texts) {
    const int err = failure.error.errnoType;
    if (err == kErrnoSizeChanged)
        return formatText(texts.sourceChanged, {entry.source, std::to_string(failure.entrySize)});
    if (err == kErrnoReplaced)
        return formatText(texts.sourceReplaced, {entry.source});
    if (err == ENOENT)
        return formatText(texts.sourceGone, {entry.source});
    return formatText(texts.sourceUnreadable, {entry.source, text(texts.reason, err)});
}

std::string limitFailure(const Failure &failure, const std::string &at, const std::string &cabinet,
                         const FailureTexts &texts) {
    switch (failure.limit) {
    case Limit::Files:
        return formatText(texts.tooManyFiles, {at, std::to_string(cabw::kMaxFiles)});
    case Limit::FolderBytes:
        return formatText(texts.folderTooLarge, {at, std::to_string(cabw::kMaxFolderBytes)});
    case Limit::None:
    case Limit::CabinetBytes:
        break;
    }
    return formatText(texts.cabinetTooLarge, {cabinet});
}

} // namespace

std::string formatText(const std::string &text, const std::vector<std::string> &values) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        if (close != std::string::npos && close > i + 1 && close - i <= 3) {
            const std::string digits = text.substr(i + 1, close - i - 1);
            if (digits.find_first_not_of("0123456789") == std::string::npos) {
                const std::size_t n = static_cast<std::size_t>(std::stoul(digits));
                if (n >= 1 && n <= values.size()) {
                    out += values[n - 1];
                    i = close;
                    continue;
                }
            }
        }
        out += text[i];
    }
    return out;
}

FailureTexts englishFailureTexts() {
    FailureTexts t;
    t.sourceGone = "%1%: no longer exists (removed while the cabinet was being written)";
    t.sourceChanged = "%1%: changed size while the cabinet was being written (listed with %2% bytes)";
    t.sourceReplaced =
        "%1%: is no longer the file that was listed (replaced while the cabinet was being written)";
    t.sourceUnreadable = "%1%: cannot read: %2%";
    t.tempUnwritable = "%1%: cannot write a temporary file: %2%";
    t.cabinetUnwritable = "%1%: cannot write: %2%";
    t.outOfMemory = "%1%: out of memory";
    t.cabinetTooLarge = "%1%: the cabinet would exceed the format's size limit";
    t.tooManyFiles = "%1%: more than the %2% files a cabinet can hold";
    t.folderTooLarge = "%1%: more than the %2% bytes a cabinet folder can hold";
    t.nameTooLong = "%1%: its name in the cabinet, %2%, is %3% bytes, more than the %4% a cabinet allows";
    t.nameNotUtf8 = "%1%: name is not valid UTF-8";
    t.nameUnsafe = "%1%: its name in the cabinet, %2%, is not a safe name: %3%";
    t.cancelled = "%1%: stopped by the user";
    t.nothingToPack = "%1%: nothing to pack: none of the files exists any longer";
    t.writerFailed = "%1%: the cabinet writer failed (error %2%)";
    t.reason = crtReason;
    t.nameProblem = englishNameProblem;
    return t;
}

std::string describeFailure(const Failure &failure, const std::vector<Entry> &entries,
                            const FailurePaths &paths, const FailureTexts &texts) {
    if (failure.nothingToPack)
        return formatText(texts.nothingToPack, {paths.cabinet});
    const bool atEntry = failure.entry < entries.size();
    const std::string &at = atEntry ? entries[failure.entry].source : paths.cabinet;
    const int err = failure.error.errnoType;
    switch (failure.error.code) {
    case cabw::kErrOpenSource:
    case cabw::kErrReadSource:
        if (atEntry)
            return sourceFailure(failure, entries[failure.entry], texts);
        break;
    case cabw::kErrTempFile:
        return formatText(texts.tempUnwritable, {paths.tempFolder, text(texts.reason, err)});
    case cabw::kErrCabinetFile:
        return formatText(texts.cabinetUnwritable, {paths.cabinet, text(texts.reason, err)});
    case cabw::kErrOutOfMemory:
        return formatText(texts.outOfMemory, {paths.cabinet});
    case cabw::kErrFormatLimit:
        return limitFailure(failure, at, paths.cabinet, texts);
    case cabw::kErrBadName:
        if (atEntry)
            return badName(entries[failure.entry], texts);
        break;
    case cabw::kErrUserAbort:
        return formatText(texts.cancelled, {at});
    default:
        break;
    }
    return formatText(texts.writerFailed, {paths.cabinet, std::to_string(failure.error.code)});
}

} // namespace cabflow
