// Identifiers made by the system: 32 lowercase hex digits.
#pragma once
#include <string>

namespace qs {

std::string NewId();
// 2n lowercase hex digits from a weak generator; never for secrets.
std::string RandomHex(int n);

}  // namespace qs
