// Option keywords, compared whole and case-sensitively. Each option writes its
// run setting the moment it is met, so it acts only on the paths that follow
// it. Values are checked before any option is applied: a number must be wholly
// a number, so "0,5" or "ten" is refused instead of read as 0.
#include "driver/options.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>


#include "numbers.h"
#include "platform/os.h"
#include "report.h"
#include "settings.h"

namespace corvane {
namespace {

// Every value has passed AcceptsValue before it is applied.
constexpr Option kOptions[] = {
    {"-add", ValueKind::kInteger, [](const char* v) { ADD_VALUE = *WholeInt32(v); }},
    {"-scale", ValueKind::kDecimal, [](const char* v) { SCALE_VALUE = *WholeDecimal(v); }},
    {"-padbytes", ValueKind::kCount, [](const char* v) { arg_padbytes = *WholeInt32(v); }},
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
    {"-out", ValueKind::kText,
     [](const char* v) {
       OUT_FNAME = v;
       // The "[do_stretch] " line must never land in an image stream, even one that gets no image.
       if (os::IsStandardOutput(v)) NoteDirectOutput();
     }},
    {"-check", ValueKind::kNone, [](const char*) { check_only = 1; }},
};

// The words a misspelling is compared with: every option, and the two
// words answered alone.
constexpr Suggestion kWords[] = {
    {"-add", true},  {"-scale", true}, {"-padbytes", true}, {"-force", false},  {"-stretch", false},
    {"-bzero", true}, {"-out", true},  {"-check", false},   {"--help", false}, {"--version", false},
};

// A word without its leading dashes, in lower case.
std::string Bare(std::string_view word) {
  while (word.starts_with('-')) word.remove_prefix(1);
  std::string bare(word);
  for (char& c : bare) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return bare;
}

// Edits (insert, delete, replace, swap two neighbours) from `a` to `b`.
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      const bool swapped = i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1];
      if (swapped) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The one word that passes `near`, or nothing when none or several do.
template <typename Near>
std::optional<Suggestion> OnlyOne(Near near) {
  std::optional<Suggestion> found;
  for (const Suggestion& word : kWords) {
    if (!near(Bare(word.keyword))) continue;
    if (found) return std::nullopt;
    found = word;
  }
  return found;
}

}  // namespace

std::optional<Suggestion> NearestOption(std::string_view word) {
  const std::string bare = Bare(word);
  if (bare.empty()) return std::nullopt;
  if (auto same = OnlyOne([&](const std::string& name) { return name == bare; })) return same;
  if (auto start = OnlyOne([&](const std::string& name) { return name.starts_with(bare) || bare.starts_with(name); })) {
    return start;
  }
  return OnlyOne([&](const std::string& name) { return Distance(bare, name) <= 2 && bare.size() > 2; });
}

bool AsksForHelp(std::string_view word) { return word == "--help" || word == "-h" || word == "/?" || word == "-?"; }

bool AsksForVersion(std::string_view word) { return word == "--version"; }

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
    case ValueKind::kCount:
      return WholeInt32(value).value_or(-1) >= 0;
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
