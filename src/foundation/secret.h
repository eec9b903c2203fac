// Protection of stored verification codes with the machine-bound data
// protection API: any account on this machine can read them back, a copy of
// the database on another machine cannot.
#pragma once
#include <string>

namespace qs {

// plain → single-line Base64 of the protected blob. False (out untouched) on failure.
bool ProtectSecret(const std::string& plain, std::string& out);
// Base64 of a protected blob → the exact bytes that were protected. False
// (out untouched) when the text is not Base64 or not a blob of this machine.
bool UnprotectSecret(const std::string& stored, std::string& out);

}  // namespace qs
