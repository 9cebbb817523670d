// The eight command-line options, what each does to the run settings, and
// which values each accepts.
#pragma once

#include <string_view>

namespace corvane {

enum class ValueKind { kNone, kInteger, kDecimal, kText };

struct Option {
  const char* keyword;
  ValueKind value;                   // what the next argument must be; kNone for a flag
  void (*apply)(const char* value);  // value is null for a flag
};

// The option `word` is, compared whole and case-sensitively; null when it is none.
const Option* FindOption(std::string_view word);

// Whether `value` is wholly a value of the kind `option` takes.
bool AcceptsValue(const Option& option, std::string_view value);

}  // namespace corvane
