// A fresh machine root per test, with its drive C, removed afterwards.
#include "test_root.h"

#include <memory>

#include "support/machine_root.h"

namespace {

std::unique_ptr<MachineRoot> g_root;

} // namespace

void test_root_enter()
{
    // Searchable by all: other accounts must reach the mailslots inside.
    // Drive C, which every Windows machine has: lookups there find the drive.
    g_root.reset(new MachineRoot(0755, {"drive_c"}));
}

void test_root_leave() { g_root.reset(); }

std::string test_root_path() { return g_root ? g_root->path() : std::string(); }
