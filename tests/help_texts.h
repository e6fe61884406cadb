// The help texts exactly as the user must see them.
#pragma once

#include <windows.h>

#include <string>

// Whether this process's user interface language selects the Russian texts.
inline bool RussianUi() { return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_RUSSIAN; }

inline std::wstring JoinLines(std::initializer_list<const wchar_t*> lines, bool final_lf) {
    std::wstring s;
    bool first = true;
    for (const wchar_t* l : lines) {
        if (!first) s += L'\n';
        s += l;
        first = false;
    }
    if (final_lf) s += L'\n';
    return s;
}

inline std::wstring EnglishHelp() {
    return JoinLines(
        {L"Start:",
         L"velmo.exe [-esc:<ESC character>] <message text> <caption> <flags> [<timeout>]",
         L"<message text> - text to be displayed",
         L"<caption> - caption text for message box",
         L"<flags> - options, separated with '|' pipe character:",
         L"- Icon:",
         L"Information - icon with 'i' character",
         L"Question - question mark icon ",
         L"Warning - exclamation mark icon",
         L"Error - STOP icon",
         L"- Buttons:",
         L"Ok - only 'OK' button - default value",
         L"OkCancel - two buttons 'OK' and 'Cancel'",
         L"RetryCancel - two buttons 'Retry', 'Cancel'",
         L"YesNo - two buttons 'Yes', 'No'",
         L"YesNoCancel - three buttons 'Yes', 'No', and 'Cancel'",
         L"AbortRetryIgnore - three buttons 'Abort', 'Retry', and 'Ignore'",
         L"CancelTryContinue - three buttons 'Cancel', 'Retry', 'Continue'",
         L"NoButtons - no buttons (only when countdown timer is used)",
         L"- Default button (optional):",
         L"DefButton1 - first button (default)",
         L"DefButton2, DefButton3 - second, third button",
         L"TopMost, SystemModal, TaskModal, Right, RtlReading - window options",
         L"ReportTimeout - 32000 if nobody answers",
         L"Button1=, Button2=, Button3=<text> - button labels",
         L"Guard - no answer for 1 s when shown",
         L"Texts=<file> - the words from a UTF-8 file, in the user's language",
         L"Session=All|Console - run as SYSTEM: ask every active session, or the console's",
         L"Defer=<key>:<times>, DeferUntil=YYYY-MM-DD[Thh:mm[Z|+hh:mm|-hh:mm]] - button 2 defers, that often or until then",
         L"DeferInterval=<minutes> - no prompt again that soon after a Later",
         L"Run - a notice while the command after <timeout> runs; the command's exit code",
         L"CloseApps=<exe name, path or folder\\>[,...] - apps to close on button 1 ({apps} names them)",
         L"CloseWait=<seconds> (60), ForceClose - end what still runs, Reopen - start them again after Run",
         L"Returned code:",
         L"1 (IDOK) - 'OK' button was clicked",
         L"2 (IDCANCEL) - 'Cancel' button was clicked",
         L"3 (IDABORT) - 'Abort' button was clicked",
         L"4 (IDRETRY) - 'Retry' button was clicked",
         L"5 (IDIGNORE) - 'Ignore' button was clicked",
         L"6 (IDYES) - 'Yes' button was clicked",
         L"7 (IDNO) - 'No' button was clicked",
         L"10 (IDTRYAGAIN) - 'TryAgain' button was clicked",
         L"11 (IDCONTINUE) - 'Continue' button was clicked",
         L"32000 - nobody answered (ReportTimeout)",
         L"<timeout> - countdown timer in seconds to automatically click default button (optional)",
         L"Sample for a bat file:",
         L"velmo.exe \\\"Connection will be closed.",
         L"Do you want to proceed?\\\" \\\"Please confirm\\\" \\\"Question|YesNo\\\" 60",
         L"if errorlevel 7 goto End",
         L"if errorlevel 6 goto Begin"},
        true);
}

inline const wchar_t* EnglishHelpCaption() { return L"velmo help - Message Box with countdown timer"; }

inline std::wstring RussianHelp() {
    return JoinLines(
        {L"Запуск:",
         L"velmo.exe [-esc:<упр. символ>] <текст сообщения> <заголовок> <флаги> [<ожидание>]",
         L"<текст сообщения> - текст для отображения в окне",
         L"<заголовок> - заголовок окна сообщения",
         L"<флаги> - комбинация следующих флагов, разделенных символом вертикальной черты '|':",
         L"- Изображение значка:",
         L"Information - значок с символом i",
         L"Question - значок с вопросительным знаком",
         L"Warning - значок с восклицательным знаком",
         L"Error - значок со знаком STOP",
         L"- Отображаемые кнопки:",
         L"Ok - кнопка \"ОК\" - значение по умолчанию",
         L"OkCancel - кнопки \"ОК\", \"Отменить\"",
         L"RetryCancel - кнопки \"Повторить\", \"Отменить\"",
         L"YesNo - кнопки \"Да\", \"Нет\"",
         L"YesNoCancel - кнопки \"Да\", \"Нет\", \"Отменить\"",
         L"AbortRetryIgnore - кнопки \"Прервать\", \"Повтор\", \"Пропустить\"",
         L"CancelTryContinue - кнопки \"Отменить\", \"Повторить\", \"Продолжить\"",
         L"NoButtons - без кнопок (только с таймером)",
         L"- Кнопка, выбранная по умолчанию:",
         L"DefButton1, DefButton2, DefButton3 - 1, 2, 3",
         L"TopMost, SystemModal, TaskModal, Right, RtlReading - параметры окна",
         L"ReportTimeout - 32000, если нет ответа",
         L"Button1=, Button2=, Button3=<текст> - надписи",
         L"Guard - 1 с без ответа после показа окна",
         L"Texts=<файл> - тексты из файла UTF-8 на языке пользователя",
         L"Session=All|Console - от SYSTEM: спросить все активные сеансы или только консоль",
         L"Defer=<ключ>:<раз>, DeferUntil=ГГГГ-ММ-ДД[Tчч:мм[Z|+чч:мм|-чч:мм]] - кнопка 2 откладывает, столько раз или до срока",
         L"DeferInterval=<минуты> - не спрашивать снова так скоро после «Позже»",
         L"Run - окно, пока работает команда после <ожидание>; код возврата команды",
         L"CloseApps=<имя exe, путь или папка\\>[,...] - приложения, закрываемые по кнопке 1 ({apps} их называет)",
         L"CloseWait=<секунды> (60), ForceClose - завершить оставшиеся, Reopen - запустить их снова после Run",
         L"Код возврата:",
         L"1 (IDOK) - была нажата кнопка \"OK\"",
         L"2 (IDCANCEL) - была нажата кнопка \"Отменить\"",
         L"3 (IDABORT) - была нажата кнопка \"Прервать\"",
         L"4 (IDRETRY) - была нажата кнопка \"Повтор\"",
         L"5 (IDIGNORE) - была нажата кнопка \"Пропустить\"",
         L"6 (IDYES) - была нажата кнопка \"Да\"",
         L"7 (IDNO) - была нажата кнопка \"Нет\"",
         L"10 (IDTRYAGAIN) - была нажата кнопка \"Повторить\"",
         L"11 (IDCONTINUE) - была нажата кнопка \"Продолжить\"",
         L"32000 - нет ответа (ReportTimeout)",
         L"<ожидание> - время ожидания выбора пользователя, в секундах",
         L"Пример (фрагмент командного файла):",
         L"velmo.exe \"Доступ к базе данных будет закрыт. Продолжить?\" \"Подтвердите запуск\" \"Question|YesNo\" 60",
         L"if errorlevel 7 goto End",
         L"if errorlevel 6 goto Begin",
         L"Узнать больше README.md"},
        false);
}

inline const wchar_t* RussianHelpCaption() {
    return L"Справка velmo - окно сообщения с таймером обратного отсчёта";
}
