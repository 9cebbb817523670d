// The eight command-line options, what each does to the run settings, and
// which values each accepts.
#pragma once

#include <optional>
#include <string_view>

namespace corvane {

// kCount is an integer of 0 or more.
enum class ValueKind { kNone, kInteger, kCount, kDecimal, kText };

struct Option {
  const char* keyword;
  ValueKind value;                   // what the next argument must be; kNone for a flag
  void (*apply)(const char* value);  // value is null for a flag
};

// The option `word` is, compared whole and case-sensitively; null when it is none.
const Option* FindOption(std::string_view word);

// Whether `value` is wholly a value of the kind `option` takes.
bool AcceptsValue(const Option& option, std::string_view value);

// The option (or --help, --version) a misspelt `word` most likely meant:
// the same letters with other dashes or case, a start of exactly one
// option's name (or a name it starts with), or one within two typing
// slips; nothing when no option is that near, or two are.
struct Suggestion {
  std::string_view keyword;
  bool takes_value;
};
std::optional<Suggestion> NearestOption(std::string_view word);

// The words answered only as the only argument: asks for the usage text
// (--help, -h, and Windows' /? and -?) and for the version.
bool AsksForHelp(std::string_view word);
bool AsksForVersion(std::string_view word);

}  // namespace corvane
