// A fresh folder under %TEMP% per test, removed with everything in it.
#pragma once
#include <string>

namespace qs::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Value of an environment variable set by tools/peer_run.py, or fallback.
std::string EnvOr(const char* name, const std::string& fallback);

// How many times a repetition-heavy test repeats: full, or reduced where
// QS_REDUCED_COUNTS=1 (the i686 lane sets it: under emulation each round
// costs many times more, and the full count already runs on x86_64).
int Repetitions(int full, int reduced);

}  // namespace qs::test
