// Option keywords, compared whole and case-sensitively. Each option writes its
// run setting the moment it is met, so it acts only on the paths that follow
// it. Values are checked before any option is applied: a number must be wholly
// a number, so "0,5" or "ten" is refused instead of read as 0.
#include "driver/options.h"


#include "numbers.h"
#include "report.h"
#include "settings.h"

namespace corvane {
namespace {

// Every value has passed AcceptsValue before it is applied.
constexpr Option kOptions[] = {
    {"-add", ValueKind::kInteger, [](const char* v) { ADD_VALUE = *WholeInt32(v); }},
    {"-scale", ValueKind::kDecimal, [](const char* v) { SCALE_VALUE = *WholeDecimal(v); }},
    {"-padbytes", ValueKind::kInteger, [](const char* v) { arg_padbytes = *WholeInt32(v); }},
    {"-force", ValueKind::kNone, [](const char*) { force = 1; }},
    {"-stretch", ValueKind::kNone,
     [](const char*) {
       do_stretch = 1;
       AnnounceStretch();
     }},
    {"-bzero", ValueKind::kInteger,
     [](const char* v) {
       BZERO_NEW = *WholeInt32(v);
       set_bzero = 1;
     }},
    {"-out", ValueKind::kText, [](const char* v) { OUT_FNAME = v; }},
    {"-check", ValueKind::kNone, [](const char*) { check_only = 1; }},
};

}  // namespace

const Option* FindOption(std::string_view word) {
  for (const Option& option : kOptions) {
    if (word == option.keyword) return &option;
  }
  return nullptr;
}

bool AcceptsValue(const Option& option, std::string_view value) {
  switch (option.value) {
    case ValueKind::kInteger:
      return WholeInt32(value).has_value();
    case ValueKind::kDecimal:
      return WholeDecimal(value).has_value();
    case ValueKind::kText:
      return !value.empty();
    case ValueKind::kNone:
      break;
  }
  return true;
}

}  // namespace corvane
