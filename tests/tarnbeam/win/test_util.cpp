#include "tests/tarnbeam/win/test_util.h"
#include "tarnbeam/app/win_handles.h"

#include <shellapi.h>

#include <cstdio>

ScratchFolder::ScratchFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static unsigned counter = 0;
    wchar_t name[64];
    swprintf(name, 64, L"tbtest-%lu-%u\\", GetCurrentProcessId(), ++counter);
    m_path = std::wstring(temp) + name;
    CreateDirectoryW(m_path.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() {
    WIN32_FIND_DATAW found;
    FindHandle find(FindFirstFileW((m_path + L"*").c_str(), &found));
    if (find) {
        do {
            DeleteFileW((m_path + found.cFileName).c_str());
        } while (FindNextFileW(find.get(), &found));
    }
    RemoveDirectoryW(m_path.c_str());
}

std::wstring ScratchFolder::Write(const std::wstring &name, const std::string &utf8) const {
    const std::wstring full = m_path + name;
    KernelHandle file(CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(file.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    return full;
}
