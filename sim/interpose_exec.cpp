// interpose_exec.cpp - the interposer's exec guard (exec_guard.h): every
// program a process of a simulated run starts must take the interposer, and
// gets the world's name back with it when its environment lost them.
//
// Only the preloaded library carries it: a test program that links the
// interposer runs no simulated command, and what it starts is its own
// business.
#include "exec_guard.h"
#include "world.h"

namespace bbusim {
namespace {

constexpr const char *kVariables[] = {kEnvWorld, nullptr};
constexpr ExecGuardConfig kConfig{Preloaded::simulator, kVariables};

__attribute__((constructor)) void prepare_exec_guard()
{
    exec_guard_prepare();
}

}  // namespace

const ExecGuardConfig *exec_guard_config()
{
    return &kConfig;
}

}  // namespace bbusim
