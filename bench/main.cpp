// The benchmark driver: runs the benchmarks that are asked for (all of them
// by default) inside the test sandbox and prints one table. Each benchmark
// lives in a file named for it; harness.h says what they share.
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

using namespace bench;

namespace {

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: useraccount_bench --daemon PATH --floor PATH\n"
            "       [--only drain|sudo|idle|notify|memory|stop|record|flood]...\n"
            "       [--drain N] [--drain-rounds R] [--sudo-drain N] [--sudo-drain-rounds R]\n"
            "       [--idle-seconds S] [--memory-messages N] [--stop-trials N] [--seed N]\n"
            "       [--flood-seconds S]\n");
    exit(2);
}

}  // namespace

int main(int argc, char* argv[]) {
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            usage();
        }
        const std::string value = argv[++i];
        if (arg == "--daemon") {
            config.daemon_path = value;
        } else if (arg == "--floor") {
            config.floor_path = value;
        } else if (arg == "--only") {
            only.push_back(value);
        } else if (arg == "--drain") {
            config.drain_messages = std::stoi(value);
        } else if (arg == "--drain-rounds") {
            config.drain_rounds = std::stoi(value);
        } else if (arg == "--sudo-drain") {
            config.sudo_drain_messages = std::stoi(value);
        } else if (arg == "--sudo-drain-rounds") {
            config.sudo_drain_rounds = std::stoi(value);
        } else if (arg == "--idle-seconds") {
            config.idle_seconds = std::stoi(value);
        } else if (arg == "--memory-messages") {
            config.memory_messages = std::stoi(value);
        } else if (arg == "--stop-trials") {
            config.stop_trials = std::stoi(value);
        } else if (arg == "--flood-seconds") {
            config.flood_seconds = std::stoi(value);
        } else if (arg == "--seed") {
            config.seed = static_cast<unsigned>(std::stoul(value));
        } else {
            usage();
        }
    }
    if (config.daemon_path.empty() || config.floor_path.empty()) {
        usage();
    }
    if (getenv("USERACCOUNT_SANDBOX") == nullptr) {
        errno = EPERM;
        fail("runs only inside the test sandbox (tests/sandbox/run-in-sandbox)");
    }
    const auto wanted = [&](const char* name) {
        return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
    };

    // A mount namespace of our own, before any thread exists, for the drain
    // that binds sudo to /usr/bin/true.
    if (unshare(CLONE_NEWNS) == -1 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1) {
        fail("private mount namespace");
    }
    signal(SIGPIPE, SIG_IGN);
    prepare_files();
    open_queue();
    const log_sink sink;

    if (wanted("drain")) {
        progress("drain, sudo bound to /usr/bin/true\n");
        bench_drain("(sudo = /usr/bin/true)", config.drain_messages, config.drain_rounds, false,
                    sink);
    }
    if (wanted("sudo")) {
        progress("drain, real sudo + bash + trivial script\n");
        bench_drain("(real sudo, bash, trivial script)", config.sudo_drain_messages,
                    config.sudo_drain_rounds, true, sink);
    }
    if (wanted("idle")) {
        progress("idle\n");
        bench_idle();
    }
    if (wanted("notify")) {
        const log_sink manager(std::string(work_dir) + "/notify");
        config.notify_socket = manager.path();
        progress("drain and idle, $NOTIFY_SOCKET set\n");
        bench_drain("(sudo = /usr/bin/true, $NOTIFY_SOCKET set)", config.drain_messages,
                    config.drain_rounds, false, sink, server_kind::daemon, &manager);
        bench_idle(server_kind::daemon, ", $NOTIFY_SOCKET set");
        config.notify_socket.clear();
    }
    // The same, with the outcome record on and $NOTIFY_SOCKET set, as the
    // packaged unit runs it.
    if (wanted("record")) {
        const log_sink manager(std::string(work_dir) + "/notify");
        config.notify_socket = manager.path();
        progress("drain with the outcome record and $NOTIFY_SOCKET, sudo bound to /usr/bin/true\n");
        bench_drain("(sudo = /usr/bin/true), record on, $NOTIFY_SOCKET set", config.drain_messages,
                    config.drain_rounds, false, sink, server_kind::daemon_record, &manager);
        progress("idle with the outcome record\n");
        bench_idle(server_kind::daemon_record, ", $NOTIFY_SOCKET set");
        config.notify_socket.clear();
    }
    if (wanted("flood")) {
        progress("a flood of long messages with the outcome record\n");
        bench_flood();
    }
    if (wanted("memory")) {
        progress("memory\n");
        bench_memory();
    }
    if (wanted("stop")) {
        progress("stop latency\n");
        bench_stop();
    }
    print_table();
    return 0;
}
