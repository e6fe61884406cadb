// The console twin's output: the answer as a word on stdout, the help as
// text on stderr.
#pragma once

#include <windows.h>

#include <string>

// The stable English name of an exit code ("Yes", "Timeout"...); null for a
// code that is no answer (87, 0).
const char* AnswerName(int code);

// The text as a file or pipe takes it: line feeds as CR LF, in code page cp.
std::string RedirectedText(const std::wstring& text, UINT cp);

// Writes text to h: to a console with its wide-character output (any
// language shows right), else in the console's output code page (the OEM
// code page without a console), as for, type and more expect it. 0 or the
// error.
DWORD WriteText(HANDLE h, const std::wstring& text);
