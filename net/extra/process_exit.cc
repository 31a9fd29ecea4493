#include <cstdlib>

#include "net/extra/utilities.h"

namespace brennic {
namespace {

constexpr int kFatalExitStatus = 3;

} // namespace

void fatal_exit() { std::exit(kFatalExitStatus); }

} // namespace brennic
