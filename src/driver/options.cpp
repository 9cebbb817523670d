// Option keywords, compared whole and case-sensitively. Each option writes its
// run setting the moment it is met, so it acts only on the paths that follow it.
#include "driver/options.h"

#include <cstdio>
#include <cstring>

#include "driver/numbers.h"
#include "settings.h"
#include "report.h"

namespace corvane {
namespace {

struct Option {
  const char* keyword;
  bool takes_value;                    // the next argument is its value, whatever it holds
  void (*apply)(const char* value);    // value is null for a flag
};

constexpr Option kOptions[] = {
    {"-add", true, [](const char* v) { ADD_VALUE = ParseInt32(v); }},
    {"-scale", true, [](const char* v) { SCALE_VALUE = ParseDouble(v); }},
    {"-padbytes", true, [](const char* v) { arg_padbytes = ParseInt32(v); }},
    {"-force", false, [](const char*) { force = 1; }},
    {"-stretch", false,
     [](const char*) {
       do_stretch = 1;
       AnnounceStretch();
     }},
    {"-bzero", true,
     [](const char* v) {
       BZERO_NEW = ParseInt32(v);
       set_bzero = 1;
     }},
    {"-out", true, [](const char* v) { OUT_FNAME = v; }},
    {"-check", false, [](const char*) { check_only = 1; }},
};

}  // namespace

int ApplyOption(int argc, char** argv, int i) {
  for (const Option& option : kOptions) {
    if (std::strcmp(argv[i], option.keyword) != 0) continue;
    if (!option.takes_value) {
      option.apply(nullptr);
      return 1;
    }
    if (i + 1 >= argc) {
      // Nothing left to consume: the setting keeps its value and the run goes on.
      Report("Option %s has no value; ignored\n", option.keyword);
      return 1;
    }
    option.apply(argv[i + 1]);
    return 2;
  }
  return 0;
}

int OptionLength(int argc, char** argv, int i) {
  for (const Option& option : kOptions) {
    if (std::strcmp(argv[i], option.keyword) == 0) return option.takes_value && i + 1 < argc ? 2 : 1;
  }
  return 0;
}

}  // namespace corvane
