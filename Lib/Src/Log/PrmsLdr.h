// Loaders of the log parameter file: INI form ([Prms], [Evts]) and the older
// line form (+XYZ, !IMM).
#pragma once

#include "Log/LogParams.h"

// Line form; 0 when loaded, ERROR_INVALID_DATA for an empty file. Throws
// when the file cannot be opened or read.
class LogWliParamsLoader {
public:
    virtual uint32_t load(kt::LogWliParams& params, const std::wstring& path);
};

// INI form; ERROR_INVALID_DATA when a section is missing.
class LogWliParamsLoader2 : public LogWliParamsLoader {
public:
    uint32_t load(kt::LogWliParams& params, const std::wstring& path) override;
};
