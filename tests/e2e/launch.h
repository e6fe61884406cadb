// Start-and-find for the tests: a velmo run with its box, or a failure that
// ASSERT_TRUE prints.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "relay/Channel.h"
#include "tests/e2e/doubles.h"
#include "tests/e2e/harness.h"

namespace e2e {

// Starts the given copy of velmo.exe with args and waits for its box.
inline ::testing::AssertionResult LaunchExe(Process& p, const std::wstring& exe, const std::wstring& args,
                                            HWND& box) {
    box = nullptr;
    if (!p.StartExe(exe, args)) return ::testing::AssertionFailure() << "could not start: " << test::Narrow(args);
    box = FindBox(p.Pid(), kBoxWait);
    if (!box)
        return ::testing::AssertionFailure() << "no box within " << kBoxWait << " ms, the program " << p.State()
                                             << ": " << test::Narrow(args);
    return ::testing::AssertionSuccess();
}

// The same with the velmo.exe built beside the tests.
inline ::testing::AssertionResult Launch(Process& p, const std::wstring& args, HWND& box) {
    return LaunchExe(p, VelmoPath(), args, box);
}

// Starts a command where a SYSTEM job runs it: in a window station of its
// own that no display shows (station_launch.exe). The launcher ends with
// the command's exit code; pid_file receives the command's process id.
inline ::testing::AssertionResult StartUnseen(Process& launcher, const std::wstring& pid_file,
                                              const std::wstring& command, HANDLE output = nullptr) {
    DeleteFileW(pid_file.c_str());
    if (launcher.Start(L"\"" + ExeDir() + L"\\station_launch.exe\" \"" + pid_file + L"\" " + command, output))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "could not start the launcher: " << test::Narrow(command);
}

// The process id in the pid file, once it is written (0 after limit_ms).
inline DWORD ReadPid(const std::wstring& pid_file, DWORD limit_ms = 10000) {
    DWORD start = GetTickCount();
    do {
        kt::unique_handle f(CreateFileW(pid_file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
        char buf[16] = {};
        DWORD got = 0;
        if (f && ReadFile(f.get(), buf, 15, &got, nullptr) && got) return strtoul(buf, nullptr, 10);
        Sleep(10);
    } while (GetTickCount() - start < limit_ms);
    return 0;
}

// Plays the asking velmo for one relayed run: the channel, the word that
// names the run's end (inheritable: a child started with handles inherited
// gets it), and raw frames over the asker's end.
class FakeAsker {
public:
    FakeAsker() { made_ = kt::MakeChannel(pipe_).ok(); }
    bool made() const { return made_; }
    std::wstring Word() const { return kt::RelayedWord(pipe_.run.get()); }
    // Once the run holds its own copy of its end.
    void Started() { pipe_.run.reset(); }
    bool Write(const std::string& bytes) {
        DWORD done = 0;
        return Io(true, const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()), done) && done == bytes.size();
    }
    bool Send(const kt::ChannelMessage& m) { return Write(m.frame()); }
    // The run's next message within ms; false when none came (its end went).
    bool Read(kt::ChannelMessage& m, DWORD ms) {
        const DWORD start = GetTickCount();
        for (;;) {
            if (reader_.next(m) == kt::FrameReader::frMessage) return true;
            char buffer[4096];
            DWORD got = 0;
            const DWORD spent = GetTickCount() - start;
            if (spent >= ms || !Io(false, buffer, sizeof buffer, got, ms - spent) || !got) return false;
            reader_.append(buffer, got);
        }
    }
    // The asker goes: the run sees its channel break.
    void Close() { pipe_.asker.reset(); }

private:
    bool Io(bool write, char* buffer, DWORD n, DWORD& done, DWORD ms = 10000) {
        kt::unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        BOOL ok = write ? WriteFile(pipe_.asker.get(), buffer, n, nullptr, &ov) : ReadFile(pipe_.asker.get(), buffer, n, nullptr, &ov);
        if (!ok && GetLastError() != ERROR_IO_PENDING) return false;
        if (WaitForSingleObject(event.get(), ms) != WAIT_OBJECT_0) {
            CancelIoEx(pipe_.asker.get(), &ov);
            GetOverlappedResult(pipe_.asker.get(), &ov, &done, TRUE);
            return false;
        }
        return GetOverlappedResult(pipe_.asker.get(), &ov, &done, FALSE) != 0;
    }
    kt::ChannelPipe pipe_;
    kt::FrameReader reader_;
    bool made_ = false;
};

const wchar_t kDeferralStore[] = L"SOFTWARE\\velmo\\Deferrals\\";

// A deferral key of the test's own, gone afterwards, and its record as
// velmo keeps it under Wine (elevated: HKLM, the 64-bit view).
class DeferralKey {
public:
    explicit DeferralKey(const std::wstring& name) : name_(name + L"-" + std::to_wstring(GetCurrentProcessId())) { Remove(); }
    ~DeferralKey() { Remove(); }
    const std::wstring& name() const { return name_; }
    // Left as the store holds it; -1 without a record.
    int Left() const {
        DWORD value = 0, bytes = sizeof value, type = 0;
        if (RegGetValueW(Open().get(), nullptr, L"Left", RRF_RT_ANY, &type, &value, &bytes) != ERROR_SUCCESS) return -1;
        return type == REG_DWORD ? static_cast<int>(value) : -2;
    }
    std::wstring Text(const wchar_t* value) const {
        wchar_t text[128] = {};
        DWORD bytes = sizeof text;
        if (RegGetValueW(Open().get(), nullptr, value, RRF_RT_REG_SZ, nullptr, text, &bytes) != ERROR_SUCCESS) return L"";
        return text;
    }
    void SetLeft(DWORD left) const { Set(REG_DWORD, &left, sizeof left); }
    void SetLeftText(const wchar_t* text) const { Set(REG_SZ, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t))); }
    void SetText(const wchar_t* value, const std::wstring& text) const {
        Set(REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), value);
    }
    void Remove() const { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, (kDeferralStore + name_).c_str(), KEY_WOW64_64KEY, 0); }

private:
    void Set(DWORD type, const void* data, DWORD bytes, const wchar_t* value = L"Left") const {
        HKEY k = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kDeferralStore + name_).c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                            nullptr, &k, nullptr) != ERROR_SUCCESS)
            return;
        kt::unique_hkey key(k);
        RegSetValueExW(key.get(), value, 0, type, static_cast<const BYTE*>(data), bytes);
    }
    // The record's key in the 64-bit view; empty when there is none.
    kt::unique_hkey Open() const {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kDeferralStore + name_).c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &k) !=
            ERROR_SUCCESS)
            k = nullptr;
        return kt::unique_hkey(k);
    }
    std::wstring name_;
};

}  // namespace e2e
