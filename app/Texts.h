// The box's words from the texts file that Texts= names, in the language of
// the person who sees the box.
#pragma once

#include <vector>

#include "app/CmdLine.h"
#include "gen/Texts.h"

// Reads the texts file into p.texts_content and checks every section, since
// the person asked may get any of them: its labels by the rules of
// Button1=, and a text and a caption from it, [*] or the command line. A
// failure is a bad command line (87) whose text names the file and the
// line. (A relayed run gets its person's words from its asker: the person
// may not be able to read the file.)
kt::result LoadTexts(MsgBoxParams& p);

// Puts the words of the section for language in place of the command
// line's, key by key: the section's, else [*]'s, else the command line's
// own. The command line's escapes work in the values. The section chosen
// in *choice.
kt::result ApplyTexts(MsgBoxParams& p, const std::wstring& language, kt::SectionChoice* choice = nullptr);
