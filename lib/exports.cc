// The shared library's own translation unit: the exports live in c_api.cc, which the whole
// core archive brings in.
#include "brennic.h"
