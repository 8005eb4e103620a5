#!/usr/bin/env bash
# Start cost of a short child (/bin/true) from a small and from a large
# parent: the process runner (vek_execProcess, output to /dev/null) against
# fork and exec (the same redirection and new session done by hand), and
# posix_spawn for reference, measured side by side in one process at each
# resident size. A launcher hosting a Java VM holds gigabytes; fork copies its
# page tables, so its cost grows with the parent while the runner's must not.
#
#   bash bench/runner_start.sh [resident MB ...]     (default: 16 2048)
#
# Builds the native preset's library (RelWithDebInfo) and a small benchmark
# program against it. RUNS (default 200) children per method and round, best
# of ROUNDS (default 5) rounds, per-child cost in milliseconds.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(16 2048)
jdk=/usr/lib/jvm/java-17-openjdk-amd64

cmake --preset native >/dev/null
cmake --build --preset native --target VekUtil >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/runner_start.cpp" <<'EOF'
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_runner.h"
#include "vek_sysinfo.h"

extern char** environ;

namespace {

char program[] = "/bin/true";
char* const arguments[] = {program, nullptr};

bool by_runner() {
  static vek_list_t* args = [] {
    vek_list_t* list = vek_listCreate(1);
    vek_listAdd(list, program);
    return list;
  }();
  vek_process_t proc{};
  proc.name = program;
  proc.exe = program;
  proc.args = args;
  proc.redirect = VEK_REDIRECT_NONE;
  vek_process_result_t result{};
  bool ok = vek_execProcess(&proc, &result) && result.exit_code == 0;
  free(proc.handle);
  return ok;
}

bool by_fork_and_exec() {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    setsid();
    execv(program, arguments);
    _exit(1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool by_posix_spawn() {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  int failed = posix_spawn(&pid, program, &actions, &attributes, arguments, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  int status = 0;
  return failed == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Milliseconds per child, best of the rounds.
double per_child_ms(const std::function<bool()>& start, int runs, int rounds) {
  double best = 1e30;
  for (int round = 0; round < rounds; ++round) {
    auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i)
      if (!start()) {
        std::fprintf(stderr, "a child failed\n");
        std::exit(1);
      }
    std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - begin;
    best = std::min(best, took.count() / runs);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  vek_lifecycleInit();
  size_t wanted = static_cast<size_t>(std::atol(argc > 1 ? argv[1] : "16")) << 20;
  int runs = std::atoi(std::getenv("RUNS") ? std::getenv("RUNS") : "200");
  int rounds = std::atoi(std::getenv("ROUNDS") ? std::getenv("ROUNDS") : "5");
  size_t resident = vek_getMemoryUsedByProcess(getpid());
  if (wanted > resident) {
    size_t ballast = wanted - resident;
    auto* block = static_cast<char*>(std::malloc(ballast));
    if (block == nullptr) return 2;
    std::memset(block, 0x5a, ballast);  // resident, not only reserved
    static char* volatile kept = block;
    (void)kept;
  }
  double mb = static_cast<double>(vek_getMemoryUsedByProcess(getpid())) / (1 << 20);
  double runner = per_child_ms(by_runner, runs, rounds);
  double forked = per_child_ms(by_fork_and_exec, runs, rounds);
  double spawned = per_child_ms(by_posix_spawn, runs, rounds);
  std::printf("%9.0f MB %14.3f %14.3f %14.3f %12.1fx\n", mb, runner, forked, spawned, forked / runner);
  return 0;
}
EOF

g++ -O2 -std=c++20 -Wall -Wextra -D_FILE_OFFSET_BITS=64 -Isrc/native/VekUtil/include -I"$jdk/include" \
  -I"$jdk/include/linux" "$work/runner_start.cpp" build/native/lib/libVekUtil.a -lpthread -ldl \
  -o "$work/runner_start"

echo "start cost per child of /bin/true, ms (best of ${ROUNDS:-5} rounds of ${RUNS:-200} children)"
printf "%12s %14s %14s %14s %13s\n" "resident" "runner" "fork+exec" "posix_spawn" "fork/runner"
for mb in "${sizes[@]}"; do
  "$work/runner_start" "$mb"
done
