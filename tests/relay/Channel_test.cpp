// The channel between an asker and its relayed runs: frames written and
// read, what another process may send instead, and the pipe's two ends.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "relay/Channel.h"
#include "threads/handle.h"

namespace {

using kt::ChannelMessage;
using kt::FrameReader;

std::string Header(uint32_t magic, uint16_t type, uint32_t length) {
    std::string h(kt::kFrameHeader, '\0');
    memcpy(&h[0], &magic, 4);
    memcpy(&h[4], &type, 2);
    memcpy(&h[8], &length, 4);
    return h;
}

TEST(Channel, MessagesComeBackAsWritten) {
    ChannelMessage m(kt::ctQuestion);
    const std::wstring text = L"Neustart \U0001F600 \u0436\n", empty;
    m.put(1, text);
    m.put(2, empty);
    m.put(3, 0xFFFFFFFFu);
    m.put(4, uint64_t{0x0123456789ABCDEFull});
    const std::string frame = m.frame();
    // Every frame whole, and the same frame read in pieces of any size.
    for (size_t piece : {frame.size(), size_t{1}, size_t{5}, size_t{13}}) {
        SCOPED_TRACE(piece);
        FrameReader reader;
        ChannelMessage got;
        FrameReader::Status s = FrameReader::frNeedMore;
        for (size_t at = 0; at < frame.size(); at += piece) {
            EXPECT_EQ(s, FrameReader::frNeedMore);
            reader.append(frame.data() + at, std::min(piece, frame.size() - at));
            s = reader.next(got);
        }
        ASSERT_EQ(s, FrameReader::frMessage);
        EXPECT_FALSE(reader.torn());
        EXPECT_EQ(got.type(), kt::ctQuestion);
        std::wstring t;
        uint32_t u = 0;
        uint64_t w = 0;
        EXPECT_TRUE(got.get(1, t));
        EXPECT_EQ(t, text);
        EXPECT_TRUE(got.get(2, t));
        EXPECT_EQ(t, empty);
        EXPECT_TRUE(got.get(3, u));
        EXPECT_EQ(u, 0xFFFFFFFFu);
        EXPECT_TRUE(got.get(4, w));
        EXPECT_EQ(w, 0x0123456789ABCDEFull);
        // A field of another kind, or none, is no value.
        EXPECT_FALSE(got.get(3, w));
        EXPECT_FALSE(got.get(4, u));
        EXPECT_FALSE(got.get(9, u));
    }
    // Two frames in one read.
    FrameReader reader;
    ChannelMessage a, b;
    const std::string two = kt::AnswerMessage({kt::enPerson, IDYES}).frame() + kt::TakenMessage(true, 2).frame();
    reader.append(two.data(), two.size());
    ASSERT_EQ(reader.next(a), FrameReader::frMessage);
    ASSERT_EQ(reader.next(b), FrameReader::frMessage);
    EXPECT_EQ(reader.next(b), FrameReader::frNeedMore);
    kt::Outcome o;
    bool given = false;
    int left = 0;
    ASSERT_TRUE(kt::ReadAnswer(a, o));
    EXPECT_EQ(o.ending, kt::enPerson);
    EXPECT_EQ(o.answer, IDYES);
    ASSERT_TRUE(kt::ReadTaken(b, given, left));
    EXPECT_TRUE(given);
    EXPECT_EQ(left, 2);
    EXPECT_FALSE(kt::ReadAnswer(b, o)) << "a message of another type";
}

// What is no frame of ours ends the reading: at once where the header
// tells, never by waiting for the bytes an oversized frame announces.
TEST(Channel, TornOversizedAndForeignFrames) {
    const std::string good = kt::AnswerMessage({kt::enCountdown, IDNO}).frame();
    std::string field_too_long = Header(kt::kChannelMagic, kt::ctAnswer, 6) + std::string("\x01\x00\xFF\x00\x00\x00", 6);
    std::string twice = kt::TakenMessage(false, 0).frame();
    // The same field id twice: the second "left" field renamed "given".
    twice[twice.size() - 10] = 1;
    const struct {
        const char* name;
        std::string bytes;
        FrameReader::Status status;
        bool torn;
        const wchar_t* why;
    } cases[] = {
        {"whole", good, FrameReader::frMessage, false, L""},
        {"torn_header", good.substr(0, 7), FrameReader::frNeedMore, true, L""},
        {"torn_fields", good.substr(0, good.size() - 1), FrameReader::frNeedMore, true, L""},
        {"oversized", Header(kt::kChannelMagic, kt::ctQuestion, kt::kMaxFrame), FrameReader::frBad, true,
         L"larger than a frame may be"},
        {"foreign", std::string("MZ\x90\x00", 4), FrameReader::frBad, true, L"not a frame of velmo's"},
        {"field_longer_than_its_frame", field_too_long, FrameReader::frBad, true, L"a field longer than its frame"},
        {"field_cut_short", Header(kt::kChannelMagic, kt::ctAnswer, 3) + "abc", FrameReader::frBad, true,
         L"a field cut short"},
        {"field_twice", twice, FrameReader::frBad, true, L"a field given twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FrameReader reader;
        reader.append(c.bytes.data(), c.bytes.size());
        ChannelMessage m;
        EXPECT_EQ(reader.next(m), c.status);
        EXPECT_EQ(reader.torn(), c.torn);
        EXPECT_EQ(reader.why(), c.why);
        // Once bad, nothing more is read from it.
        if (c.status == FrameReader::frBad) {
            reader.append(good.data(), good.size());
            EXPECT_EQ(reader.next(m), FrameReader::frBad);
        }
    }
    // An answer of an ending that does not exist is none.
    ChannelMessage odd(kt::ctAnswer);
    odd.put(1, uint32_t{IDYES});
    odd.put(2, uint32_t{7});
    kt::Outcome o;
    EXPECT_FALSE(kt::ReadAnswer(odd, o));
}

// The relayed run's one word, alone after the program.
TEST(Channel, TheRelayedWord) {
    EXPECT_EQ(kt::RelayedWord(reinterpret_cast<HANDLE>(0x1A4)), L"-relayed:1A4");
    const struct {
        const wchar_t* cmdline;
        ULONG_PTR handle;  // 0: not a relayed run
    } cases[] = {
        {L"\"C:\\Program Files\\velmo\\velmo.exe\" -relayed:1A4", 0x1A4},
        {L"velmo.exe -relayed:ff  ", 0xFF},
        {L"\"C:\\a b\\velmo.exe\"-relayed:8", 8},
        {L"velmo.exe -relayed:", 0},
        {L"velmo.exe -relayed:0", 0},
        {L"velmo.exe -relayed:12 more", 0},
        {L"velmo.exe -relayed:12x", 0},
        {L"velmo.exe -relayed:11112222333344445", 0},
        {L"velmo.exe -RELAYED:12", 0},
        {L"velmo.exe \"-relayed:12\"", 0},
        {L"velmo.exe text caption YesNo 60 -relayed:12", 0},
        {L"velmo.exe", 0},
        {L"", 0},
    };
    for (const auto& c : cases) {
        HANDLE h = nullptr;
        const bool relayed = kt::ReadRelayedWord(c.cmdline, h);
        EXPECT_EQ(relayed, c.handle != 0) << std::string(c.cmdline, c.cmdline + wcslen(c.cmdline));
        if (relayed) {
            EXPECT_EQ(reinterpret_cast<ULONG_PTR>(h), c.handle);
        }
    }
}

// Both ends in one process: the asker's through a completion port, the
// run's as a relayed run uses it.
class Pipe : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kt::MakeChannel(pipe_).ok());
        port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
        ASSERT_TRUE(port_);
        asker_ = std::make_unique<kt::PortChannel>(std::move(pipe_.asker), 7);
        run_ = std::make_unique<kt::RunChannel>(pipe_.run.release());
        ASSERT_EQ(asker_->Open(port_.get(), 42), 0u);
    }
    void TearDown() override {
        if (!asker_) return;
        asker_->Close();
        // Its operations complete before it may go.
        while (!asker_->idle() && Next(2000)) {
        }
        EXPECT_TRUE(asker_->idle());
    }
    // The asker's next packet, handled; false when none came in time.
    bool Next(DWORD ms) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED ov = nullptr;
        BOOL ok = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &ov, ms);
        if (!ov) return false;
        EXPECT_EQ(key, 42u);
        auto* io = reinterpret_cast<kt::PortChannel::Io*>(ov);
        EXPECT_EQ(io->owner, asker_.get());
        event_ = io->owner->Completed(io, bytes, ok ? 0 : GetLastError(), messages_);
        return true;
    }
    // Packets until a message comes, or the channel closes.
    bool Message(ChannelMessage& m) {
        for (int i = 0; i < 20 && Next(5000);) {
            if (!messages_.empty()) {
                m = messages_.front();
                return true;
            }
            if (event_ == kt::PortChannel::evClosed) return false;
        }
        return false;
    }
    kt::ChannelPipe pipe_;
    kt::unique_handle port_;
    std::unique_ptr<kt::PortChannel> asker_;
    std::unique_ptr<kt::RunChannel> run_;
    std::vector<ChannelMessage> messages_;
    kt::PortChannel::Event event_ = kt::PortChannel::evNothing;
};

// The question goes over, a defer click is answered, the answer comes back,
// and the run sees its asker go.
TEST_F(Pipe, AQuestionATakeAnAnswerAndTheEnd) {
    EXPECT_TRUE(run_->IsPipe());
    ChannelMessage question(kt::ctQuestion);
    question.put(1, std::wstring(70000, L'x'));  // longer than the pipe's buffer
    asker_->Send(question);
    ChannelMessage got;
    ASSERT_TRUE(run_->ReadQuestion(got, 10000).ok());
    std::wstring text;
    EXPECT_TRUE(got.get(1, text));
    EXPECT_EQ(text.size(), 70000u);
    ASSERT_TRUE(run_->Watch().ok());
    // The run's click waits for the asker's word on its own thread's reads.
    std::thread clicker([&] {
        ChannelMessage reply;
        bool given = false;
        int left = -5;
        EXPECT_TRUE(run_->Ask(ChannelMessage(kt::ctTake), kt::ctTaken, reply, 10000));
        EXPECT_TRUE(kt::ReadTaken(reply, given, left));
        EXPECT_FALSE(given);
        EXPECT_EQ(left, 0);
        EXPECT_TRUE(run_->Send(kt::AnswerMessage({kt::enPerson, IDYES}), 5000).ok());
    });
    ChannelMessage take;
    ASSERT_TRUE(Message(take));
    EXPECT_EQ(take.type(), kt::ctTake);
    asker_->Send(kt::TakenMessage(false, 0));
    ChannelMessage answer;
    ASSERT_TRUE(Message(answer));
    clicker.join();
    kt::Outcome o;
    ASSERT_TRUE(kt::ReadAnswer(answer, o));
    EXPECT_EQ(o.answer, IDYES);
    EXPECT_EQ(WaitForSingleObject(run_->ended(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    asker_->Close();
    EXPECT_EQ(WaitForSingleObject(run_->ended(), 5000), static_cast<DWORD>(WAIT_OBJECT_0)) << "the run did not see its asker go";
    // A click after that gets no word, at once.
    ChannelMessage reply;
    const DWORD start = GetTickCount();
    EXPECT_FALSE(run_->Ask(ChannelMessage(kt::ctTake), kt::ctTaken, reply, 10000));
    EXPECT_LT(kt::TicksSince(start), 5000u);
}

// A run that goes inside a frame leaves its asker a closed channel, never a
// message; an oversized question is refused by the run without a box.
TEST_F(Pipe, ATornReportAndAnOversizedQuestion) {
    std::string frame = kt::AnswerMessage({kt::enPerson, IDYES}).frame();
    frame.resize(frame.size() - 3);
    DWORD written = 0;
    OVERLAPPED ov{};
    kt::unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ov.hEvent = event.get();
    // The run's end as a raw handle: what a run, or anyone holding it, may write.
    HANDLE raw = nullptr;
    ASSERT_TRUE(kt::MakeChannel(pipe_).ok());
    kt::PortChannel asker(std::move(pipe_.asker), 9);
    ASSERT_EQ(asker.Open(port_.get(), 42), 0u);
    raw = pipe_.run.get();
    if (!WriteFile(raw, frame.data(), static_cast<DWORD>(frame.size()), nullptr, &ov)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(GetOverlappedResult(raw, &ov, &written, TRUE));
    pipe_.run.reset();
    bool closed = false;
    std::vector<ChannelMessage> seen;
    for (int i = 0; i < 10 && !closed; ++i) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED got = nullptr;
        BOOL ok = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &got, 5000);
        ASSERT_NE(got, nullptr);
        auto* io = reinterpret_cast<kt::PortChannel::Io*>(got);
        if (io->owner != &asker) continue;
        closed = io->owner->Completed(io, bytes, ok ? 0 : GetLastError(), seen) == kt::PortChannel::evClosed;
        EXPECT_TRUE(seen.empty());
    }
    EXPECT_TRUE(closed);
    EXPECT_NE(asker.why().find(L"inside a frame"), std::wstring::npos) << std::string(asker.why().begin(), asker.why().end());

    ChannelMessage huge(kt::ctQuestion);
    huge.put(1, std::wstring(kt::kMaxFrame / 2, L'x'));
    asker_->Send(huge);
    ChannelMessage m;
    const kt::result r = run_->ReadQuestion(m, 10000);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.text(), L"larger than a frame may be");
}

// A run that reads nothing of what its asker sends (its person's own
// process, made to flood it) cannot make the asker keep it all: past a
// bound its channel is closed.
TEST_F(Pipe, ARunThatReadsNothingIsCutOff) {
    for (int i = 0; i < 50000 && !asker_->closed(); ++i) asker_->Send(kt::TakenMessage(false, 0));
    EXPECT_TRUE(asker_->closed());
    EXPECT_EQ(asker_->why(), L"its run reads nothing of what it is sent");
}

}  // namespace
