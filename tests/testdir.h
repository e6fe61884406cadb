// A fresh directory per test under the build tree, removed afterwards.
#pragma once

#include <windows.h>

#include <string>

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
        HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return "<missing>";
        std::string s(GetFileSize(h, nullptr), '\0');
        DWORD got = 0;
        if (!s.empty()) ReadFile(h, &s[0], static_cast<DWORD>(s.size()), &got, nullptr);
        CloseHandle(h);
        s.resize(got);
        return s;
    }
    static void Write(const std::wstring& file, const std::string& bytes) {
        HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD put = 0;
        if (!bytes.empty()) WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
        CloseHandle(h);
    }

private:
    static void Remove(const std::wstring& dir) {
        WIN32_FIND_DATAW fd;
        HANDLE f = FindFirstFileW((dir + L"\\*").c_str(), &fd);
        if (f != INVALID_HANDLE_VALUE) {
            do {
                std::wstring n = fd.cFileName;
                if (n == L"." || n == L"..") continue;
                std::wstring full = dir + L"\\" + n;
                if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    Remove(full);
                } else {
                    SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW(full.c_str());
                }
            } while (FindNextFileW(f, &fd));
            FindClose(f);
        }
        RemoveDirectoryW(dir.c_str());
    }
    std::wstring path_;
};
