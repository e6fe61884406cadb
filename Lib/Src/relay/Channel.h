// The one channel between an asking velmo and each of its relayed runs: a
// pipe whose run's end the run inherits (and nothing else), named on its
// command line by one word. The asker tells the run what its box needs; the
// run reports back what its person did. Nothing of the asker's command
// line or environment reaches the person's process.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "lib/owner.h"
#include "relay/Answer.h"

namespace kt {

// Frames on the pipe: a header (magic, type, length of the fields) and the
// fields, each an id, a length and its bytes; little-endian.
const uint32_t kChannelMagic = 0x314D4C56;  // "VLM1"
const size_t kFrameHeader = 12;
// Far above any box's words (a texts file is at most 64 KB): what is larger
// is no frame of ours.
const size_t kMaxFrame = 512 * 1024;
// What the asker keeps for a run that does not read it, at most.
const size_t kMaxQueued = 1024 * 1024;

enum ChannelType : uint16_t {
    ctQuestion = 1,  // asker -> run: the box, in its person's words
    ctAnswer,        // run -> asker: how the box ended
    ctTake,          // run -> asker: its person chose the defer button
    ctTaken,         // asker -> run: whether they got a deferral
    ctDecided,       // asker -> run: the answer that counts (its apps close on button 1's)
    ctClosed,        // run -> asker: how its person's apps closed
};

class ChannelMessage {
public:
    ChannelMessage() = default;
    explicit ChannelMessage(uint16_t type) : type_(type) {}
    uint16_t type() const { return type_; }

    void put(uint16_t field, const std::wstring& text);
    void put(uint16_t field, uint32_t value);
    void put(uint16_t field, uint64_t value);
    // false when the field is missing or is not of that kind (the message
    // came from another process: nothing is taken on trust).
    bool get(uint16_t field, std::wstring& text) const;
    bool get(uint16_t field, uint32_t& value) const;
    bool get(uint16_t field, uint64_t& value) const;
    bool has(uint16_t field) const { return fields_.count(field) != 0; }

    // The bytes on the pipe.
    std::string frame() const;
    // The message in one whole frame; false (why says so) for anything else.
    static bool Parse(const std::string& frame, ChannelMessage& m, std::wstring* why = nullptr);

private:
    uint16_t type_ = 0;
    std::map<uint16_t, std::string> fields_;
};

// Frames from bytes as they arrive, in pieces.
class FrameReader {
public:
    enum Status { frNeedMore, frMessage, frBad };
    void append(const char* bytes, size_t n) { buffer_.append(bytes, n); }
    // The next whole message; frBad ends the reading (a wrong magic, a frame
    // larger than kMaxFrame, fields that do not add up): why says which.
    Status next(ChannelMessage& m);
    // Bytes of a frame that has not come whole: the pipe ended inside it.
    bool torn() const { return !buffer_.empty(); }
    const std::wstring& why() const { return why_; }

private:
    std::string buffer_;
    std::wstring why_;
    bool bad_ = false;
};

// The outcome of a run's box, and the asker's answer to a defer click.
ChannelMessage AnswerMessage(const Outcome& o);
bool ReadAnswer(const ChannelMessage& m, Outcome& o);
ChannelMessage TakenMessage(bool given, int left);
// The asker's decision: the answer that counts for everyone.
ChannelMessage DecidedMessage(int answer);
bool ReadDecided(const ChannelMessage& m, int& answer);
bool ReadTaken(const ChannelMessage& m, bool& given, int& left);

// A channel's two ends: the asker's, and the run's, which the run inherits.
// Both overlapped, so that a reader never holds up a writer.
struct ChannelPipe {
    unique_handle asker;
    unique_handle run;
};
// A new pipe of a name nobody can guess, that only this process could
// connect to (one instance, connected at once, no remote client).
result MakeChannel(ChannelPipe& pipe);

// The relayed run's command line word: "-relayed:<handle in hex>", alone
// after the program; and its reading (false for any other command line).
std::wstring RelayedWord(HANDLE run_end);
bool ReadRelayedWord(const wchar_t* cmdline, HANDLE& run_end);

// The relayed run's end: the question read with a bound; then a thread of
// its own reads what else comes (the answer to a defer click) and sets
// ended() once the pipe breaks (the asker is gone or ended this run).
class RunChannel {
public:
    explicit RunChannel(HANDLE run_end);
    RunChannel(const RunChannel&) = delete;
    RunChannel& operator=(const RunChannel&) = delete;
    ~RunChannel();

    // Whether the handle is a pipe's end at all.
    bool IsPipe() const;
    result ReadQuestion(ChannelMessage& m, DWORD limit_ms);
    // Starts the reader; ended() is set once the pipe breaks; ends_box()
    // too, and when the asker's decision came (Decided).
    result Watch();
    HANDLE ended() const { return ended_.get(); }
    HANDLE ends_box() const { return ends_box_.get(); }
    // The asker's decision, once it came; false before.
    bool Decided(ChannelMessage& decided);
    result Send(const ChannelMessage& m, DWORD limit_ms);
    // Sends request and waits for a message of reply_type (or the pipe's end,
    // or limit_ms); false without one.
    bool Ask(const ChannelMessage& request, uint16_t reply_type, ChannelMessage& reply, DWORD limit_ms);

private:
    static DWORD WINAPI ReaderThread(LPVOID self);
    void Read();
    // One overlapped operation waited for, cut short by stop (may be null)
    // or limit_ms: 0 with the bytes, or the error.
    DWORD Io(bool write, void* buffer, DWORD n, DWORD& done, DWORD limit_ms, HANDLE stop);

    unique_handle pipe_, ended_, ends_box_, stop_, replied_, thread_;
    ChannelMessage decided_;  // under lock_
    bool has_decided_ = false;
    FrameReader reader_;
    CRITICAL_SECTION lock_;
    std::deque<ChannelMessage> replies_;  // under lock_
};

// The asker's end, read and written through a completion port: every
// operation completes as a packet (the port's key, an Io of this channel).
class PortChannel {
public:
    struct Io {
        OVERLAPPED ov;
        PortChannel* owner;
        bool write;
    };
    enum Event { evNothing, evMessages, evClosed };

    PortChannel(unique_handle asker_end, size_t tag) : pipe_(std::move(asker_end)), tag_(tag) {}
    PortChannel(const PortChannel&) = delete;
    PortChannel& operator=(const PortChannel&) = delete;
    size_t tag() const { return tag_; }

    // Ties the pipe to the port and starts reading; 0 or the error.
    DWORD Open(HANDLE port, ULONG_PTR key);
    // Queued; written one after the other, from Open on.
    void Send(const ChannelMessage& m);
    // A completed operation of this channel: the messages it brought, or
    // its close (the run's end went, a bad frame, or Close).
    Event Completed(Io* io, DWORD bytes, DWORD error, std::vector<ChannelMessage>& messages);
    // Cancels what is under way: the packets still come.
    void Close();
    bool closed() const { return closed_; }
    // Nothing under way: the owner may go.
    bool idle() const { return !reading_ && !writing_; }
    const std::wstring& why() const { return why_; }

private:
    bool StartRead();
    void StartWrite();
    void Fail(const std::wstring& why);

    unique_handle pipe_;
    size_t tag_;
    Io read_io_{}, write_io_{};
    char in_[4096];
    std::string out_;
    std::deque<std::string> queue_;
    size_t queued_ = 0;  // bytes in queue_
    FrameReader reader_;
    bool opened_ = false, reading_ = false, writing_ = false, closed_ = false;
    std::wstring why_;
};

}  // namespace kt
