#include "gen/BTmErr.h"

#include "lib/kt.h"

using kt::RegisterError;
using namespace kt;

namespace {
const wchar_t txtInvldDtFrmt[] = L"Ошибка в формате (не найден символ, разделяющий компоненты даты).";
const wchar_t txtInvldTmFrmt[] = L"Ошибка в формате (не найден символ, разделяющий компоненты времени).";
const wchar_t txtWrongYear[] = L"Ошибка в номере года.";
const wchar_t txtWrongMonth[] = L"Ошибка в числе месяцев.";
const wchar_t txtWrongDay[] = L"Ошибка в числе дней.";
const wchar_t txtWrongHour[] = L"Ошибка в числе часов.";
const wchar_t txtWrongMinute[] = L"Ошибка в числе минут.";
const wchar_t txtWrongSecond[] = L"Ошибка в числе секунд.";
const wchar_t txtWrongMSec[] = L"Ошибка в числе миллисекунд.";
bool g_registered = false;
}  // namespace

// The check texts name their lines (26 to 34); the asserts keep them there.
void kt::RegisterTimeErrors() {
    if (g_registered) return;
    // In table order; a failure leaves the flag clear.
    static_assert(__LINE__ == 25, "the nine checks must start on line 26");
    KT_CHECK(::RegisterError(dtrInvalidDateFormat,txtInvldDtFrmt));
    KT_CHECK(::RegisterError(dtrInvalidTimeFormat,txtInvldTmFrmt));
    KT_CHECK(::RegisterError(dtrWrongYear,txtWrongYear));
    KT_CHECK(::RegisterError(dtrWrongMonth,txtWrongMonth));
    KT_CHECK(::RegisterError(dtrWrongDay,txtWrongDay));
    KT_CHECK(::RegisterError(dtrWrongHour,txtWrongHour));
    KT_CHECK(::RegisterError(dtrWrongMinute,txtWrongMinute));
    KT_CHECK(::RegisterError(dtrWrongSec,txtWrongSecond));
    KT_CHECK(::RegisterError(dtrWrongMSec,txtWrongMSec));
    static_assert(__LINE__ == 35, "the nine checks must end on line 34");
    g_registered = true;
}
