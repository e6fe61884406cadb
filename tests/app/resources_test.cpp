// The resources that velmo.exe itself carries.
#include <gtest/gtest.h>

#include <windows.h>

#include "tests/help_texts.h"

namespace {

class VelmoExe : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        exe_ = path;
        exe_ = exe_.substr(0, exe_.find_last_of(L'\\')) + L"\\velmo.exe";
        module_ = LoadLibraryExW(exe_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }
    std::string Resource(LPCWSTR type, LPCWSTR name, WORD lang) {
        HRSRC r = FindResourceExW(module_, type, name, lang);
        if (!r) return std::string();
        auto* p = static_cast<const char*>(LockResource(LoadResource(module_, r)));
        return std::string(p, SizeofResource(module_, r));
    }
    std::wstring String(UINT id, WORD lang) {
        std::string block = Resource(MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(id / 16 + 1), lang);
        if (block.empty()) return L"<missing>";
        auto* p = reinterpret_cast<const WCHAR*>(block.data());
        for (UINT i = 0; i < id % 16; ++i) p += 1 + *p;
        return std::wstring(p + 1, *p);
    }
    std::wstring exe_;
    HMODULE module_ = nullptr;
};

const WORD kEn = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const WORD kRu = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);

TEST_F(VelmoExe, CarriesBothStringTables) {
    EXPECT_EQ(String(1001, kEn), EnglishHelp());
    EXPECT_EQ(String(1002, kEn), EnglishHelpCaption());
    EXPECT_EQ(String(1001, kRu), RussianHelp());
    EXPECT_EQ(String(1002, kRu), RussianHelpCaption());
    EXPECT_EQ(String(1003, kEn), L"Another person chose to go on. These apps close now; each asks you to save what is not "
                                 L"saved:\n{apps}");
    EXPECT_EQ(String(1003, kRu), L"\u0414\u0440\u0443\u0433\u043E\u0439 \u043F\u043E\u043B\u044C\u0437\u043E\u0432\u0430\u0442\u0435\u043B\u044C "
                                 L"\u0440\u0435\u0448\u0438\u043B \u043F\u0440\u043E\u0434\u043E\u043B\u0436\u0438\u0442\u044C. "
                                 L"\u042D\u0442\u0438 \u043F\u0440\u0438\u043B\u043E\u0436\u0435\u043D\u0438\u044F "
                                 L"\u0441\u0435\u0439\u0447\u0430\u0441 \u0437\u0430\u043A\u0440\u043E\u044E\u0442\u0441\u044F; "
                                 L"\u043A\u0430\u0436\u0434\u043E\u0435 \u043F\u0440\u0435\u0434\u043B\u043E\u0436\u0438\u0442 "
                                 L"\u0441\u043E\u0445\u0440\u0430\u043D\u0438\u0442\u044C "
                                 L"\u043D\u0435\u0441\u043E\u0445\u0440\u0430\u043D\u0451\u043D\u043D\u043E\u0435:\n{apps}");
    EXPECT_EQ(String(1004, kEn), L"");
}

// Both twins: asInvoker, common controls 6, their own name and this tree's
// architecture, per-monitor DPI awareness (and the older element), and
// Windows 7 to 10/11 as supported systems; no code page of its own.
TEST_F(VelmoExe, BothTwinsCarryTheManifest) {
#ifdef _WIN64
    const char* arch = "amd64";
#else
    const char* arch = "x86";
#endif
    for (const char* name : {"velmo", "velmoc"}) {
        SCOPED_TRACE(name);
        std::wstring exe = exe_.substr(0, exe_.find_last_of(L'\\') + 1) + std::wstring(name, name + strlen(name)) +
                           L".exe";
        HMODULE m = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(m, nullptr);
        HRSRC r = FindResourceExW(m, MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1), kEn);
        std::string manifest = r ? std::string(static_cast<const char*>(LockResource(LoadResource(m, r))),
                                               SizeofResource(m, r))
                                 : std::string();
        FreeLibrary(m);
        const std::string wants[] = {
            "level=\"asInvoker\"",
            "uiAccess=\"false\"",
            "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
            std::string("name=\"") + name + "\" version=\"1.8.0.0\" processorArchitecture=\"" + arch + "\"",
            "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>",
            "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2, "
            "PerMonitor</dpiAwareness>",
            "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>",  // 7
            "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>",  // 8
            "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>",  // 8.1
            "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",  // 10 and 11
        };
        for (const std::string& w : wants) EXPECT_NE(manifest.find(w), std::string::npos) << w << "\n" << manifest;
        EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos);
    }
}

// Reads one version resource through the version API's own parser.
struct Version {
    VS_FIXEDFILEINFO fixed{};
    std::wstring description, comments, internal, original, file_version, trademarks;
    DWORD translation = 0;
};

Version ReadVersion(const std::string& raw) {
    Version v;
    std::vector<char> copy(raw.begin(), raw.end());
    copy.resize(raw.size() * 2 + 64);
    void* p = nullptr;
    UINT len = 0;
    if (VerQueryValueW(copy.data(), L"\\", &p, &len) && len >= sizeof v.fixed) v.fixed = *static_cast<VS_FIXEDFILEINFO*>(p);
    auto str = [&](const wchar_t* key) {
        std::wstring q = std::wstring(L"\\StringFileInfo\\041904b0\\") + key;
        void* s = nullptr;
        UINT n = 0;
        return VerQueryValueW(copy.data(), q.c_str(), &s, &n) && n ? std::wstring(static_cast<wchar_t*>(s)) : L"";
    };
    v.description = str(L"FileDescription");
    v.comments = str(L"Comments");
    v.internal = str(L"InternalName");
    v.original = str(L"OriginalFilename");
    v.file_version = str(L"FileVersion");
    v.trademarks = str(L"LegalTrademarks");
    if (VerQueryValueW(copy.data(), L"\\VarFileInfo\\Translation", &p, &len) && len >= 4) v.translation = *static_cast<DWORD*>(p);
    return v;
}

TEST_F(VelmoExe, CarriesItsVersionInBothLanguages) {
    struct Want {
        WORD lang;
        const wchar_t* description;
        const wchar_t* comments;
        DWORD translation;
    } wants[] = {
        {kEn, L"Message Box with timer", L"Popup MessageBox with countdown timer", MAKELONG(0x0409, 1200)},
        {kRu, L"Окно сообщения с таймером", L"Всплывающее окно сообщения с таймером обратного отсчета",
         MAKELONG(0x0419, 1200)},
    };
    for (const Want& w : wants) {
        SCOPED_TRACE(w.lang);
        std::string raw = Resource(MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(1), w.lang);
        ASSERT_FALSE(raw.empty());
        Version v = ReadVersion(raw);
        EXPECT_EQ(v.fixed.dwFileVersionMS, 0x00010008u);
        EXPECT_EQ(v.fixed.dwFileVersionLS, 0x00000000u);
        EXPECT_EQ(v.fixed.dwProductVersionMS, 0x00010008u);
        EXPECT_EQ(v.fixed.dwProductVersionLS, 0x00000000u);
        EXPECT_EQ(v.fixed.dwFileOS, 0x40004u);
        EXPECT_EQ(v.fixed.dwFileType, 1u);
        EXPECT_EQ(v.fixed.dwFileFlags, 0u);
        EXPECT_EQ(v.description, w.description);
        EXPECT_EQ(v.comments, w.comments);
        EXPECT_EQ(v.internal, L"velmo");
        EXPECT_EQ(v.original, L"velmo.exe");
        EXPECT_EQ(v.file_version, L"1, 8, 0, 0");
        EXPECT_EQ(v.trademarks, L"");
        EXPECT_EQ(v.translation, w.translation);
    }
}

}  // namespace
