// Storage and start values of the run settings.
#include "settings.h"

namespace corvane {

std::int32_t ADD_VALUE = 0;
double SCALE_VALUE = 1.0;
std::int32_t BZERO_NEW = 0;
int set_bzero = 0;
int do_stretch = 0;
int force = 0;
int check_only = 0;
std::int32_t arg_padbytes = 0;
std::optional<std::string> OUT_FNAME;

void ResetRunSettings() {
  ADD_VALUE = 0;
  SCALE_VALUE = 1.0;
  BZERO_NEW = 0;
  set_bzero = 0;
  do_stretch = 0;
  force = 0;
  check_only = 0;
  arg_padbytes = 0;
  OUT_FNAME.reset();
}

}  // namespace corvane
