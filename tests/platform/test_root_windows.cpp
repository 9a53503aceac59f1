// On Windows the tests run against the real machine: nothing to set up.
#include "test_root.h"

void test_root_enter() {}
void test_root_leave() {}
std::string test_root_path() { return std::string(); }
