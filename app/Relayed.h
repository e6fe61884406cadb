// A relayed run: velmo started by an asking velmo on a person's desktop, with
// its end of their channel as its only word. It is sent its person's words,
// shows them, and reports how its box ended; it reads nothing of its own
// command line, environment or files.
#pragma once

#include "app/CmdLine.h"
#include "relay/Channel.h"

// The fields of a question.
enum QuestionField : uint16_t {
    qfText = 1,
    qfCaption,
    qfFlags,
    qfTimeout,
    qfNoButtons,
    qfGuard,
    qfLocked,     // the button greyed for good; absent: none
    qfDeferral,   // the defer button; absent: none
    qfUntil,      // when it greys by itself (UTC, FILETIME units)
    qfNotice,
    qfApps,       // CloseApps='s value: the apps its person is asked to close; absent: none
    qfCloseWait,
    qfLabel = 0x10,     // + the button's index
    qfNoneLeft = 0x20,  // + the button's index
};

// What a relayed run is sent: the box in its person's words (remaining: the
// countdown's seconds left; 0 for none).
kt::ChannelMessage QuestionMessage(const MsgBoxParams& p, uint32_t remaining);
// And back, checked as anything from another process: false for a message
// that is no whole question of a box that can be shown.
bool ReadQuestion(const kt::ChannelMessage& m, MsgBoxParams& p);

// The relayed run on channel_end: its exit code (the answer; nothing reads
// it). A channel that breaks ends its box, and that is nobody's answer.
int RunRelayed(HANDLE channel_end);
