// A fresh directory per test under the build tree, removed afterwards.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "lib/owner.h"

class TestDir {
public:
    explicit TestDir(const std::wstring& name) {
        wchar_t exe[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring p(exe);
        path_ = p.substr(0, p.find_last_of(L'\\')) + L"\\testdata-" + name + L"-" +
                std::to_wstring(GetCurrentProcessId());
        Remove(path_);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TestDir() { Remove(path_); }
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

    static std::string Read(const std::wstring& file) {
        kt::unique_handle h = Open(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        if (!h) return "<missing>";
        std::string s(GetFileSize(h.get(), nullptr), '\0');
        DWORD got = 0;
        if (!s.empty()) ReadFile(h.get(), &s[0], static_cast<DWORD>(s.size()), &got, nullptr);
        s.resize(got);
        return s;
    }
    static void Write(const std::wstring& file, const std::string& bytes) {
        kt::unique_handle h = Open(file, GENERIC_WRITE, 0, CREATE_ALWAYS);
        DWORD put = 0;
        if (!bytes.empty()) WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
    }
    // The entries that match a pattern like dir\*.log, without "." and "..".
    static std::vector<WIN32_FIND_DATAW> List(const std::wstring& pattern) {
        std::vector<WIN32_FIND_DATAW> found;
        WIN32_FIND_DATAW fd;
        kt::unique_find f(FindFirstFileW(pattern.c_str(), &fd));
        if (!f) return found;
        do {
            std::wstring n = fd.cFileName;
            if (n != L"." && n != L"..") found.push_back(fd);
        } while (FindNextFileW(f.get(), &fd));
        return found;
    }
    // The file opened with this access and sharing (a lock when share keeps
    // others out); empty when it cannot be opened.
    static kt::unique_handle Open(const std::wstring& file, DWORD access, DWORD share,
                                  DWORD disposition = OPEN_EXISTING) {
        return kt::unique_handle(CreateFileW(file.c_str(), access, share, nullptr, disposition, 0, nullptr));
    }

private:
    static void Remove(const std::wstring& dir) {
        for (const WIN32_FIND_DATAW& fd : List(dir + L"\\*")) {
            std::wstring full = dir + L"\\" + fd.cFileName;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                Remove(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        }
        RemoveDirectoryW(dir.c_str());
    }
    std::wstring path_;
};
