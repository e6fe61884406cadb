#include "relay/Channel.h"

#include <ntsecapi.h>

#include <cwchar>
#include <cwctype>

#include "io/security.h"
#include "threads/handle.h"

namespace kt {

namespace {

void PutU16(std::string& out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint32_t U32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

uint16_t U16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) | (static_cast<unsigned char>(s[at + 1]) << 8));
}

// Fields of a message that the system sends: the answer and its ending, a
// deferral given and what is left.
enum AnswerField : uint16_t { afAnswer = 1, afEnding };
enum TakenField : uint16_t { tfGiven = 1, tfLeft };

const wchar_t kRelayedPrefix[] = L"-relayed:";

}  // namespace

void ChannelMessage::put(uint16_t field, const std::wstring& text) {
    fields_[field].assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

void ChannelMessage::put(uint16_t field, uint32_t value) {
    std::string& f = fields_[field];
    f.clear();
    PutU32(f, value);
}

void ChannelMessage::put(uint16_t field, uint64_t value) {
    std::string& f = fields_[field];
    f.clear();
    PutU32(f, static_cast<uint32_t>(value));
    PutU32(f, static_cast<uint32_t>(value >> 32));
}

bool ChannelMessage::get(uint16_t field, std::wstring& text) const {
    auto it = fields_.find(field);
    if (it == fields_.end() || it->second.size() % sizeof(wchar_t) != 0) return false;
    text.assign(it->second.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) memcpy(&text[0], it->second.data(), it->second.size());
    return true;
}

bool ChannelMessage::get(uint16_t field, uint32_t& value) const {
    auto it = fields_.find(field);
    if (it == fields_.end() || it->second.size() != 4) return false;
    value = U32(it->second, 0);
    return true;
}

bool ChannelMessage::get(uint16_t field, uint64_t& value) const {
    auto it = fields_.find(field);
    if (it == fields_.end() || it->second.size() != 8) return false;
    value = U32(it->second, 0) | (static_cast<uint64_t>(U32(it->second, 4)) << 32);
    return true;
}

std::string ChannelMessage::frame() const {
    std::string body;
    for (const auto& f : fields_) {
        PutU16(body, f.first);
        PutU32(body, static_cast<uint32_t>(f.second.size()));
        body += f.second;
    }
    std::string out;
    out.reserve(kFrameHeader + body.size());
    PutU32(out, kChannelMagic);
    PutU16(out, type_);
    PutU16(out, 0);
    PutU32(out, static_cast<uint32_t>(body.size()));
    return out + body;
}

bool ChannelMessage::Parse(const std::string& frame, ChannelMessage& m, std::wstring* why) {
    auto bad = [&](const wchar_t* text) {
        if (why) *why = text;
        return false;
    };
    if (frame.size() < kFrameHeader) return bad(L"shorter than a header");
    if (U32(frame, 0) != kChannelMagic) return bad(L"not a frame of velmo's");
    if (frame.size() > kMaxFrame) return bad(L"larger than a frame may be");
    if (U32(frame, 8) != frame.size() - kFrameHeader) return bad(L"its length is not its size");
    ChannelMessage parsed(U16(frame, 4));
    for (size_t at = kFrameHeader; at < frame.size();) {
        if (frame.size() - at < 6) return bad(L"a field cut short");
        const uint16_t id = U16(frame, at);
        const uint32_t n = U32(frame, at + 2);
        at += 6;
        if (n > frame.size() - at) return bad(L"a field longer than its frame");
        if (!parsed.fields_.emplace(id, frame.substr(at, n)).second) return bad(L"a field given twice");
        at += n;
    }
    m = std::move(parsed);
    return true;
}

FrameReader::Status FrameReader::next(ChannelMessage& m) {
    auto bad = [&](const wchar_t* why) {
        bad_ = true;
        why_ = why;
        return frBad;
    };
    if (bad_) return frBad;
    // A wrong start is told at once, not after a frame's worth of bytes.
    if (buffer_.size() >= 4 && U32(buffer_, 0) != kChannelMagic) return bad(L"not a frame of velmo's");
    if (buffer_.size() < kFrameHeader) return frNeedMore;
    const size_t length = U32(buffer_, 8);
    if (length > kMaxFrame - kFrameHeader) return bad(L"larger than a frame may be");
    if (buffer_.size() < kFrameHeader + length) return frNeedMore;
    std::wstring why;
    if (!ChannelMessage::Parse(buffer_.substr(0, kFrameHeader + length), m, &why)) {
        bad_ = true;
        why_ = why;
        return frBad;
    }
    buffer_.erase(0, kFrameHeader + length);
    return frMessage;
}

ChannelMessage AnswerMessage(const Outcome& o) {
    ChannelMessage m(ctAnswer);
    m.put(afAnswer, static_cast<uint32_t>(o.answer));
    m.put(afEnding, static_cast<uint32_t>(o.ending));
    return m;
}

bool ReadAnswer(const ChannelMessage& m, Outcome& o) {
    uint32_t answer = 0, ending = 0;
    if (m.type() != ctAnswer || !m.get(afAnswer, answer) || !m.get(afEnding, ending) || ending > enNone) return false;
    o.answer = static_cast<int>(answer);
    o.ending = static_cast<Ending>(ending);
    return true;
}

ChannelMessage TakenMessage(bool given, int left) {
    ChannelMessage m(ctTaken);
    m.put(tfGiven, static_cast<uint32_t>(given));
    m.put(tfLeft, static_cast<uint32_t>(left));
    return m;
}

bool ReadTaken(const ChannelMessage& m, bool& given, int& left) {
    uint32_t g = 0, l = 0;
    if (m.type() != ctTaken || !m.get(tfGiven, g) || !m.get(tfLeft, l) || g > 1) return false;
    given = g != 0;
    left = static_cast<int>(l);
    return true;
}

ChannelMessage DecidedMessage(int answer) {
    ChannelMessage m(ctDecided);
    m.put(afAnswer, static_cast<uint32_t>(answer));
    return m;
}

bool ReadDecided(const ChannelMessage& m, int& answer) {
    uint32_t a = 0;
    if (m.type() != ctDecided || !m.get(afAnswer, a)) return false;
    answer = static_cast<int>(a);
    return true;
}

result MakeChannel(ChannelPipe& pipe) {
    unsigned char random[16];
    if (!RtlGenRandom(random, sizeof random)) return LastErrorResult(L"RtlGenRandom");
    wchar_t name[80];
    int n = swprintf(name, 80, L"\\\\.\\pipe\\velmo-%08X-", static_cast<unsigned>(GetCurrentProcessId()));
    for (unsigned char b : random) n += swprintf(name + n, 3, L"%02X", b);
    // SYSTEM, Administrators and this account alone; nobody else could
    // connect anyway (one instance, taken at once).
    unique_local sd = SdFromSddl(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;" + TokenUserSid(OwnToken().get()) + L")");
    SECURITY_ATTRIBUTES security{sizeof security, sd.get(), FALSE};
    pipe.asker.reset(CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                      64 * 1024, 64 * 1024, 0, sd ? &security : nullptr));
    if (!pipe.asker) return LastErrorResult(L"CreateNamedPipeW");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    pipe.run.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!pipe.run) {
        result r = LastErrorResult(L"CreateFileW");
        pipe.asker.reset();
        return r;
    }
    return {};
}

std::wstring RelayedWord(HANDLE run_end) {
    wchar_t digits[24];
    swprintf(digits, 24, L"%llX", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(run_end)));
    return kRelayedPrefix + std::wstring(digits);
}

bool ReadRelayedWord(const wchar_t* cmdline, HANDLE& run_end) {
    const wchar_t* s = cmdline ? cmdline : L"";
    // The program, by argument 0's own rule: to its closing quote, or to
    // the first blank.
    if (*s == L'"') {
        ++s;
        while (*s && *s != L'"') ++s;
        if (*s) ++s;
    } else {
        while (*s && *s != L' ' && *s != L'\t') ++s;
    }
    while (*s == L' ' || *s == L'\t') ++s;
    const size_t prefix = wcslen(kRelayedPrefix);
    if (wcsncmp(s, kRelayedPrefix, prefix) != 0) return false;
    s += prefix;
    unsigned long long value = 0;
    int digits = 0;
    for (; iswxdigit(*s) && digits < 16; ++s, ++digits)
        value = value * 16 + (*s <= L'9' ? *s - L'0' : (*s | 0x20) - L'a' + 10);
    while (*s == L' ' || *s == L'\t') ++s;
    if (digits == 0 || *s || value == 0) return false;
    run_end = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
    return true;
}

RunChannel::RunChannel(HANDLE run_end)
    : pipe_(run_end),
      ended_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      ends_box_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      replied_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    InitializeCriticalSection(&lock_);
}

RunChannel::~RunChannel() {
    SetEvent(stop_.get());
    // The reader waits on stop_ in every wait: it ends at once.
    if (thread_) WaitForSingleObject(thread_.get(), INFINITE);
    DeleteCriticalSection(&lock_);
}

bool RunChannel::IsPipe() const { return pipe_ && GetFileType(pipe_.get()) == FILE_TYPE_PIPE; }

DWORD RunChannel::Io(bool write, void* buffer, DWORD n, DWORD& done, DWORD limit_ms, HANDLE stop) {
    done = 0;
    unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return GetLastError();
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    BOOL ok = write ? WriteFile(pipe_.get(), buffer, n, nullptr, &ov) : ReadFile(pipe_.get(), buffer, n, nullptr, &ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) return GetLastError();
    HANDLE waits[] = {event.get(), stop};
    DWORD w = WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, limit_ms);
    if (w != WAIT_OBJECT_0) {
        // Given up: cancelled, and waited for, since ov lives here.
        CancelIoEx(pipe_.get(), &ov);
        GetOverlappedResult(pipe_.get(), &ov, &done, TRUE);
        return w == WAIT_TIMEOUT ? WAIT_TIMEOUT : ERROR_OPERATION_ABORTED;
    }
    return ErrorUnless(GetOverlappedResult(pipe_.get(), &ov, &done, FALSE));
}

result RunChannel::ReadQuestion(ChannelMessage& m, DWORD limit_ms) {
    const DWORD start = GetTickCount();
    char buffer[4096];
    for (;;) {
        switch (reader_.next(m)) {
            case FrameReader::frMessage:
                if (m.type() != ctQuestion) return result(ERROR_INVALID_DATA, L"the first message is no question");
                return {};
            case FrameReader::frBad:
                return result(ERROR_INVALID_DATA, reader_.why());
            case FrameReader::frNeedMore:
                break;
        }
        const DWORD spent = TicksSince(start);
        if (spent >= limit_ms) return result(WAIT_TIMEOUT, L"no question in time");
        DWORD got = 0;
        if (DWORD e = Io(false, buffer, sizeof buffer, got, limit_ms - spent, nullptr)) return result(e, L"ReadFile");
        reader_.append(buffer, got);
    }
}

result RunChannel::Watch() {
    if (!ended_ || !ends_box_ || !stop_ || !replied_) return result(ERROR_NOT_ENOUGH_MEMORY, L"CreateEventW");
    thread_.reset(CreateThread(nullptr, 0, ReaderThread, this, 0, nullptr));
    return thread_ ? result() : LastErrorResult(L"CreateThread");
}

DWORD WINAPI RunChannel::ReaderThread(LPVOID self) {
    auto* channel = static_cast<RunChannel*>(self);
    // Nothing may leave a thread procedure; a reader that fails is a
    // broken channel.
    try {
        channel->Read();
    } catch (...) {
    }
    SetEvent(channel->ended_.get());
    SetEvent(channel->ends_box_.get());
    SetEvent(channel->replied_.get());
    return 0;
}

void RunChannel::Read() {
    char buffer[4096];
    for (;;) {
        ChannelMessage m;
        FrameReader::Status s;
        while ((s = reader_.next(m)) == FrameReader::frMessage) {
            EnterCriticalSection(&lock_);
            const bool decided = m.type() == ctDecided && !has_decided_;
            if (decided) {
                decided_ = m;
                has_decided_ = true;
            } else {
                replies_.push_back(m);
            }
            LeaveCriticalSection(&lock_);
            SetEvent(decided ? ends_box_.get() : replied_.get());
        }
        if (s == FrameReader::frBad) return;
        DWORD got = 0;
        if (Io(false, buffer, sizeof buffer, got, INFINITE, stop_.get()) || got == 0) return;
        reader_.append(buffer, got);
    }
}

result RunChannel::Send(const ChannelMessage& m, DWORD limit_ms) {
    std::string frame = m.frame();
    for (size_t at = 0; at < frame.size();) {
        DWORD done = 0;
        if (DWORD e = Io(true, &frame[at], static_cast<DWORD>(frame.size() - at), done, limit_ms, stop_.get()))
            return result(e, L"WriteFile");
        at += done;
    }
    return {};
}

bool RunChannel::Decided(ChannelMessage& decided) {
    EnterCriticalSection(&lock_);
    const bool has = has_decided_;
    if (has) decided = decided_;
    LeaveCriticalSection(&lock_);
    return has;
}

bool RunChannel::Ask(const ChannelMessage& request, uint16_t reply_type, ChannelMessage& reply, DWORD limit_ms) {
    const DWORD start = GetTickCount();
    bool ended_seen = false;
    if (!Send(request, limit_ms).ok()) return false;
    for (;;) {
        EnterCriticalSection(&lock_);
        bool found = false;
        for (auto it = replies_.begin(); it != replies_.end(); ++it) {
            if (it->type() != reply_type) continue;
            reply = *it;
            replies_.erase(it);
            found = true;
            break;
        }
        LeaveCriticalSection(&lock_);
        if (found) return true;
        const DWORD spent = TicksSince(start);
        if (spent >= limit_ms || ended_seen) return false;
        // A reply that came just before the end is looked for once more.
        ended_seen = WaitForSingleObject(ended_.get(), 0) == WAIT_OBJECT_0;
        if (!ended_seen) WaitForSingleObject(replied_.get(), limit_ms - spent);
    }
}

DWORD PortChannel::Open(HANDLE port, ULONG_PTR key) {
    read_io_.owner = write_io_.owner = this;
    write_io_.write = true;
    if (!CreateIoCompletionPort(pipe_.get(), port, key, 0)) {
        closed_ = true;
        return GetLastError();
    }
    opened_ = true;
    if (!StartRead()) return ERROR_BROKEN_PIPE;
    StartWrite();
    return 0;
}

bool PortChannel::StartRead() {
    if (closed_) return false;
    read_io_.ov = OVERLAPPED{};
    // A packet comes for success at once too: no completion is skipped.
    if (!ReadFile(pipe_.get(), in_, sizeof in_, nullptr, &read_io_.ov) && GetLastError() != ERROR_IO_PENDING) {
        Fail(L"ReadFile: " + ErrorText(GetLastError()));
        return false;
    }
    reading_ = true;
    return true;
}

void PortChannel::StartWrite() {
    // Before the port is tied, a completion would go nowhere.
    if (!opened_ || closed_ || writing_ || queue_.empty()) return;
    out_ = std::move(queue_.front());
    queue_.pop_front();
    queued_ -= out_.size();
    write_io_.ov = OVERLAPPED{};
    if (!WriteFile(pipe_.get(), out_.data(), static_cast<DWORD>(out_.size()), nullptr, &write_io_.ov) &&
        GetLastError() != ERROR_IO_PENDING) {
        Fail(L"WriteFile: " + ErrorText(GetLastError()));
        return;
    }
    writing_ = true;
}

void PortChannel::Send(const ChannelMessage& m) {
    if (closed_) return;
    // A run that reads nothing of what it is sent is no run of velmo's.
    if (queued_ > kMaxQueued) {
        Fail(L"its run reads nothing of what it is sent");
        return;
    }
    queue_.push_back(m.frame());
    queued_ += queue_.back().size();
    StartWrite();
}

PortChannel::Event PortChannel::Completed(Io* io, DWORD bytes, DWORD error, std::vector<ChannelMessage>& messages) {
    messages.clear();
    if (io->write) {
        writing_ = false;
        if (error) {
            Fail(L"WriteFile: " + ErrorText(error));
        } else if (bytes < out_.size()) {
            queue_.push_front(out_.substr(bytes));
            queued_ += queue_.front().size();
        }
        StartWrite();
        return closed_ ? evClosed : evNothing;
    }
    reading_ = false;
    if (error || bytes == 0) {
        Fail(error ? ErrorText(error) : L"the run's end closed");
        return evClosed;
    }
    reader_.append(in_, bytes);
    ChannelMessage m;
    FrameReader::Status s;
    while ((s = reader_.next(m)) == FrameReader::frMessage) messages.push_back(m);
    if (s == FrameReader::frBad) {
        if (why_.empty()) why_ = reader_.why();
        Close();
        return evClosed;
    }
    return StartRead() ? evMessages : evClosed;
}

void PortChannel::Fail(const std::wstring& why) {
    // The first reason is the one; a frame cut off by the end is told.
    if (why_.empty()) why_ = why + (reader_.torn() ? L" (inside a frame)" : L"");
    Close();
}

void PortChannel::Close() {
    closed_ = true;
    if (pipe_) CancelIoEx(pipe_.get(), nullptr);
    // The run sees its channel break.
    pipe_.reset();
}

}  // namespace kt
