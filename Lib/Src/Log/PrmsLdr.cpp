#include "Log/PrmsLdr.h"

#include <climits>
#include <cstdlib>
#include <vector>

#include "Log/TIni.h"
#include "io/file.h"

// Reads the whole file in one call; the read's check text names its line.
uint32_t LogWliParamsLoader::load(kt::LogWliParams& params, const std::wstring& path) {
    params.reset();
    kt::file f;
    f.open(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE wli = f.handle();
    DWORD fsz = GetFileSize(wli, nullptr);
    if (fsz == 0 || fsz == INVALID_FILE_SIZE) return ERROR_INVALID_DATA;
    std::vector<char> bytes(fsz);
    char* buf = bytes.data();
    DWORD bytes_read = 0;
    // Lines end at CR or LF; a token is the first four non-space characters.
    KT_CHECK(::ReadFile(wli,buf,fsz,&bytes_read,nullptr));
    static_assert(__LINE__ == 23, "the read's check must stay on line 22");
    size_t i = 0;
    while (i < bytes_read) {
        std::string token;
        while (i < bytes_read && buf[i] != '\r' && buf[i] != '\n') {
            if (buf[i] != ' ' && token.size() < 4) token += buf[i];
            ++i;
        }
        while (i < bytes_read && (buf[i] == '\r' || buf[i] == '\n')) ++i;
        if (token.empty()) continue;
        if (token[0] == '+') {
            params.events[kt::AnsiToWide(token.substr(1))] = std::wstring();
        } else if (token.size() == 4 && token[0] == '!' && lstrcmpiA(token.c_str() + 1, "IMM") == 0) {
            params.flush_bytes = 1;
        }
    }
    return 0;
}

namespace {
// atoi: blanks, a sign, digits; clamped to 32 bits.
int32_t ToInt(const kt::Str& s) {
    long long v = std::strtoll(s.data() ? s.data() : "", nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int32_t>(v);
}

int32_t Lines(int32_t lines) {
    long long bytes = static_cast<long long>(lines) * 80;
    return bytes > INT_MAX ? INT_MAX : (bytes < INT_MIN ? INT_MIN : static_cast<int32_t>(bytes));
}

std::wstring Wide(const kt::Str& s) { return kt::AnsiToWide(s.data() ? s.data() : "", s.length()); }
}  // namespace

uint32_t LogWliParamsLoader2::load(kt::LogWliParams& params, const std::wstring& path) {
    params.reset();
    kt::TIni ini;
    ini.Ld(path, FILE_SHARE_READ);
    const kt::TIniSection* prms = ini.section("Prms");
    if (!prms) return ERROR_INVALID_DATA;

    if (const kt::TIniVal* v = prms->value("TmFrmt")) params.time_format = Wide(v->value());
    if (const kt::TIniVal* v = prms->value("PID")) params.show_pid = kt::compare_i(v->value(), "On") == 0;
    if (const kt::TIniVal* v = prms->value("TID")) params.show_tid = kt::compare_i(v->value(), "On") == 0;
    if (const kt::TIniVal* v = prms->value("StrtMd")) {
        if (kt::compare_i(v->value(), "append") == 0)
            params.start_mode = kt::smAppend;
        else if (kt::compare_i(v->value(), "ovrwrt") == 0 || kt::compare_i(v->value(), "overwrite") == 0)
            params.start_mode = kt::smOverwrite;
        else if (kt::compare_i(v->value(), "new") == 0)
            params.start_mode = kt::smNew;
    }
    const kt::TIniVal* sec = prms->value("FlshSec");
    if (!sec) sec = prms->value("flushseconds");
    if (sec) params.flush_seconds = ToInt(sec->value());
    const kt::TIniVal* lines = prms->value("FlshLns");
    if (!lines) lines = prms->value("flushlines");
    if (lines) params.flush_bytes = Lines(ToInt(lines->value()));

    const kt::TIniSection* evts = ini.section("Evts");
    if (!evts) return ERROR_INVALID_DATA;
    for (uint32_t i = 0; i < evts->count(); ++i) {
        const kt::TIniVal* v = evts->at(i);
        params.events[Wide(v->name())] = Wide(v->value());
    }
    return 0;
}
