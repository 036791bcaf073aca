// Benchmarks of useraccountd against the floor (floor.cpp): the same work
// measured for both in the same run, every figure given as a ratio to the
// floor's. Runs as root inside the test sandbox (its own IPC namespace,
// /quex, /dev/log and /tmp); bench/run builds everything and starts it.
//
//   drain     time to serve N type-1 messages sent while the server waits,
//             pause 0: once with sudo bound to /usr/bin/true in a private
//             mount namespace (what is left is the server's own work plus
//             sh), once through the real sudo, bash and a trivial script
//   idle      CPU time and context switches of a server waiting on an empty
//             queue
//   memory    resident memory after start and after batches of 10,000
//             messages of mixed types and sizes up to the text limit
//   stop      SIGINT at random moments to exit: waiting, pausing, and while
//             a burst drains into the next wait; and `useraccountctl stop`
//             of a waiting and of a pausing daemon, from the tool's start
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "account_command.h"
#include "command_queue.h"

namespace {

struct settings {
    std::string daemon_path;
    std::string floor_path;
    std::string ctl_path;  // optional: the useraccountctl stop rows
    int drain_messages = 2000;
    int sudo_drain_messages = 2000;
    int drain_rounds = 5;
    int sudo_drain_rounds = 2;
    int idle_seconds = 10;
    int memory_messages = 10000;
    int stop_trials = 300;
    unsigned seed = 1;
};

settings config;
const char work_dir[] = "/tmp/bench";
const char trivial_script[] = "#!/bin/sh\nexit 0\n";

[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "bench: %s: %s\n", what.c_str(), strerror(errno));
    exit(1);
}

void progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void progress(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fflush(stderr);
}

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// nanosleep overshoots a short wait by tens of microseconds; a SIGINT aimed
// into a burst that drains in about that time needs a finer aim.
void spin_for(double seconds) {
    const double until = now() + seconds;
    while (now() < until) {
    }
}

void sleep_for(double seconds) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>((seconds - static_cast<double>(t.tv_sec)) * 1e9);
    while (nanosleep(&t, &t) == -1 && errno == EINTR) {
    }
}

void write_file(const std::string& path, const std::string& content, mode_t mode = 0644) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd == -1 ||
        write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        fail("write " + path);
    }
    fchmod(fd, mode);
    close(fd);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string conf_file(int delay) {
    return std::string(work_dir) + "/delay" + std::to_string(delay) + ".conf";
}

// ---- what the sandbox must hold: /quex, the configuration, a /dev/log

void prepare_files() {
    for (const char* dir :
         {"/quex", "/quex/etc", "/quex/etc/useraccount", "/quex/sbin", work_dir}) {
        if (mkdir(dir, 0755) == -1 && errno != EEXIST) {
            fail(std::string("mkdir ") + dir);
        }
    }
    write_file(queue_key_file, "{}\n");
    write_file("/quex/sbin/useraccount.sh", trivial_script, 0755);
    write_file(conf_file(0), "0\n");
    write_file(conf_file(1), "1\n");
}

// Reads /dev/log so that syslog() and sudo's logging cost what they cost on a
// real system; counts sudo's entries, one per command it ran.
class log_sink {
  public:
    log_sink() {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, "/dev/log");
        unlink(address.sun_path);
        if (fd_ == -1 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1) {
            fail("bind /dev/log");
        }
        reader_ = std::thread([this] { read_loop(); });
    }
    ~log_sink() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        reader_.detach();
    }
    long sudo_commands() const { return sudo_commands_.load(); }

  private:
    void read_loop() {
        char datagram[16384];
        for (;;) {
            const ssize_t n = recv(fd_, datagram, sizeof datagram - 1, 0);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            datagram[n] = '\0';
            if (strstr(datagram, "sudo") != nullptr && strstr(datagram, "COMMAND=") != nullptr) {
                ++sudo_commands_;
            }
        }
    }
    int fd_ = -1;
    std::atomic<long> sudo_commands_{0};
    std::thread reader_;
};

// ---- the queue

int queue_id = -1;

void open_queue() {
    const char* failed_call = nullptr;
    queue_id = open_command_queue(&failed_call);
    if (queue_id == -1) {
        fail(failed_call);
    }
}

std::size_t waiting_messages() {
    msqid_ds state{};
    if (msgctl(queue_id, IPC_STAT, &state) == -1) {
        fail("msgctl IPC_STAT");
    }
    return state.msg_qnum;
}

void send(long type, const std::string& text) {
    static queue_message msg;
    msg.mtype = type;
    memcpy(msg.mtext, text.data(), text.size());
    while (msgsnd(queue_id, &msg, text.size(), 0) == -1) {
        if (errno != EINTR) {
            fail("msgsnd");
        }
    }
}

void clear_queue() {
    static queue_message msg;
    while (msgrcv(queue_id, &msg, max_text_size, 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
    }
}

// ---- the servers: useraccountd and the floor, children of this program

enum class server_kind { floor, daemon };

const char* name_of(server_kind kind) {
    return kind == server_kind::floor ? "floor" : "useraccountd";
}

struct memory_figures {
    long rss_kib = 0;
    long hwm_kib = 0;
    long anon_kib = 0;
    long file_kib = 0;
    long pss_kib = 0;  // shared pages counted in part, /proc/PID/smaps_rollup
};

struct cpu_figures {
    long ticks = 0;        // utime + stime, /proc/PID/stat
    long long run_ns = 0;  // time on a CPU, /proc/PID/schedstat
    long switches = 0;     // voluntary + nonvoluntary
};

class server {
  public:
    server(server_kind kind, int delay) : kind_(kind) {
        const std::string out = std::string(work_dir) + "/" + name_of(kind) + ".out";
        const std::string err = std::string(work_dir) + "/" + name_of(kind) + ".err";
        const std::string log = std::string(work_dir) + "/useraccountd.log";
        const std::string conf = conf_file(delay);
        pid_ = fork();
        if (pid_ == -1) {
            fail("fork");
        }
        if (pid_ == 0) {
            const int in_fd = open("/dev/null", O_RDONLY);
            const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (in_fd == -1 || out_fd == -1 || err_fd == -1 || dup2(in_fd, 0) == -1 ||
                dup2(out_fd, 1) == -1 || dup2(err_fd, 2) == -1) {
                _exit(126);
            }
            if (kind != server_kind::floor) {
                execl(config.daemon_path.c_str(), "useraccountd", "-c", conf.c_str(), "-l",
                      log.c_str(), static_cast<char*>(nullptr));
            } else {
                execl(config.floor_path.c_str(), "useraccount_floor", static_cast<char*>(nullptr));
            }
            _exit(127);
        }
        wait_in_call(SYS_msgrcv, 10.0);
    }
    ~server() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    pid_t pid() const { return pid_; }

    // The system call the server is blocked in, or -1 while it runs.
    long current_call() const {
        const std::string text = read_file("/proc/" + std::to_string(pid_) + "/syscall");
        if (text.empty() || text.compare(0, 7, "running") == 0) {
            return -1;
        }
        return strtol(text.c_str(), nullptr, 10);
    }

    void wait_in_call(long call, double limit) const {
        const double give_up = now() + limit;
        while (current_call() != call) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                errno = 0;
                fail(std::string(name_of(kind_)) + " ended before it waited (see " + work_dir +
                     "/" + name_of(kind_) + ".err)");
            }
            if (now() > give_up) {
                errno = ETIMEDOUT;
                fail(std::string(name_of(kind_)) + " never blocked in system call " +
                     std::to_string(call));
            }
            sleep_for(50e-6);
        }
    }

    // useraccountctl stop --pid, then the exit reaped: seconds from the
    // tool's start until both it and the daemon have ended. *tool_status is
    // the tool's wait status.
    double stop_with_ctl(int* status, int* tool_status) {
        const double start = now();
        const std::string pid = std::to_string(pid_);
        const pid_t tool = fork();
        if (tool == -1) {
            fail("fork");
        }
        if (tool == 0) {
            execl(config.ctl_path.c_str(), "useraccountctl", "stop", "--pid", pid.c_str(),
                  "--timeout", "10", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (const pid_t child : {pid_, tool}) {
            while (waitpid(child, child == pid_ ? status : tool_status, 0) == -1) {
                if (errno != EINTR) {
                    fail("waitpid");
                }
            }
        }
        const double seconds = now() - start;
        pid_ = -1;
        return seconds;
    }

    // SIGINT, then the exit reaped: seconds from the kill to the reaped end.
    double stop(int* status) {
        const double start = now();
        kill(pid_, SIGINT);
        while (waitpid(pid_, status, 0) == -1) {
            if (errno != EINTR) {
                fail("waitpid");
            }
        }
        const double seconds = now() - start;
        pid_ = -1;
        return seconds;
    }

    memory_figures memory() const {
        memory_figures m;
        std::istringstream status(read_file("/proc/" + std::to_string(pid_) + "/status"));
        std::string key;
        long value = 0;
        std::string unit;
        while (status >> key) {
            if (key == "VmRSS:" || key == "VmHWM:" || key == "RssAnon:" || key == "RssFile:") {
                status >> value >> unit;
                (key == "VmRSS:"     ? m.rss_kib
                 : key == "VmHWM:"   ? m.hwm_kib
                 : key == "RssAnon:" ? m.anon_kib
                                     : m.file_kib) = value;
            }
            status.ignore(1 << 16, '\n');
        }
        std::istringstream rollup(read_file("/proc/" + std::to_string(pid_) + "/smaps_rollup"));
        while (rollup >> key) {
            if (key == "Pss:") {
                rollup >> m.pss_kib;
            }
            rollup.ignore(1 << 16, '\n');
        }
        return m;
    }

    cpu_figures cpu() const {
        cpu_figures c;
        const std::string proc = "/proc/" + std::to_string(pid_);
        const std::string stat = read_file(proc + "/stat");
        // The fields after the command name, which may hold blanks.
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14 || i == 15) {
                c.ticks += std::stol(field);
            }
        }
        std::istringstream schedstat(read_file(proc + "/schedstat"));
        schedstat >> c.run_ns;
        std::istringstream status(read_file(proc + "/status"));
        std::string key;
        while (status >> key) {
            if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
                long value = 0;
                status >> value;
                c.switches += value;
            }
            status.ignore(1 << 16, '\n');
        }
        return c;
    }

  private:
    server_kind kind_;
    pid_t pid_ = -1;
};

// ---- figures

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? NAN : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double maximum(const std::vector<double>& v) {
    return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

double quantile(std::vector<double> v, double q) {
    if (v.empty()) {
        return NAN;
    }
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

struct table_row {
    std::string benchmark;
    std::string figure;
    std::string floor;
    std::string daemon;
    std::string ratio;
    std::string goal;
    std::string verdict;
};

std::vector<table_row> table;

std::string fixed(double v, int decimals) {
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string ratio_of(double daemon, double floor) {
    if (floor == 0 && daemon == 0) {
        return "both 0";
    }
    if (floor == 0) {
        return "floor 0";
    }
    return fixed(daemon / floor, 3);
}

std::string verdict(bool met) {
    return met ? "met" : "MISSED";
}

// ---- drain

struct drain_run {
    double seconds = 0;
    double own_cpu_us = 0;  // the server process alone, not its children
    long sudo_commands = 0;
};

drain_run drain_once(server_kind kind, const std::vector<std::string>& texts,
                     const log_sink& sink) {
    clear_queue();
    server s(kind, 0);
    const long commands_before = sink.sudo_commands();
    const cpu_figures cpu_before = s.cpu();
    std::atomic<bool> all_sent{false};
    const double start = now();
    std::thread sender([&] {
        for (const std::string& text : texts) {
            send(1, text);
        }
        // Taken only once the last command has ended: its taking ends the run.
        send(2, "end");
        all_sent = true;
    });
    while (!(all_sent.load() && waiting_messages() == 0)) {
        sleep_for(200e-6);
    }
    const double seconds = now() - start;
    const cpu_figures cpu_after = s.cpu();
    sender.join();
    int status = 0;
    s.stop(&status);
    sleep_for(0.05);  // the last of sudo's entries on their way to the sink
    return {seconds, static_cast<double>(cpu_after.run_ns - cpu_before.run_ns) / 1000.0,
            sink.sudo_commands() - commands_before};
}

void bind_sudo_to_true(bool bound) {
    if (bound) {
        if (mount("/usr/bin/true", "/usr/bin/sudo", nullptr, MS_BIND, nullptr) == -1) {
            fail("mount --bind /usr/bin/true /usr/bin/sudo");
        }
    } else if (umount2("/usr/bin/sudo", 0) == -1) {
        fail("umount /usr/bin/sudo");
    }
}

void bench_drain(const char* label, int messages, int rounds, bool real_sudo,
                 const log_sink& sink) {
    std::vector<std::string> texts;
    for (int i = 0; i < messages; ++i) {
        char text[64];
        snprintf(text, sizeof text, "add user%05d 'Bench User %d'", i, i);
        texts.emplace_back(text);
    }
    if (!real_sudo) {
        bind_sudo_to_true(true);
    }
    std::vector<double> floor_s;
    std::vector<double> daemon_s;
    std::vector<double> round_ratios;
    std::vector<double> floor_cpu_us;
    std::vector<double> daemon_cpu_us;
    long commands_expected = 0;
    long commands_seen = 0;
    for (int round = 0; round < rounds; ++round) {
        // Alternate the order, so neither side always runs on a warmer machine.
        const bool floor_first = round % 2 == 0;
        drain_run floor_run;
        drain_run daemon_run;
        for (int side = 0; side < 2; ++side) {
            const bool floor_now = (side == 0) == floor_first;
            const drain_run run =
                drain_once(floor_now ? server_kind::floor : server_kind::daemon, texts, sink);
            (floor_now ? floor_run : daemon_run) = run;
            progress("  %s round %d %s: %.3f s\n", label, round + 1,
                     floor_now ? "floor" : "useraccountd", run.seconds);
        }
        floor_s.push_back(floor_run.seconds);
        daemon_s.push_back(daemon_run.seconds);
        round_ratios.push_back(daemon_run.seconds / floor_run.seconds);
        floor_cpu_us.push_back(floor_run.own_cpu_us / messages);
        daemon_cpu_us.push_back(daemon_run.own_cpu_us / messages);
        if (real_sudo) {
            commands_expected += 2L * messages;
            commands_seen += floor_run.sudo_commands + daemon_run.sudo_commands;
        }
    }
    if (!real_sudo) {
        bind_sudo_to_true(false);
    }
    const double f = median(floor_s);
    const double d = median(daemon_s);
    const std::string what = std::string("drain ") + label + ", N=" + std::to_string(messages) +
                             ", " + std::to_string(rounds) + " rounds";
    table.push_back({what, "time to drain, median (s)", fixed(f, 3), fixed(d, 3), ratio_of(d, f),
                     "<= 1.03", verdict(d / f <= 1.03)});
    table.push_back({what, "per message (ms)", fixed(f * 1000 / messages, 3),
                     fixed(d * 1000 / messages, 3), ratio_of(d, f), "", ""});
    table.push_back({what, "ratio per round (min .. max)", "", "",
                     fixed(*std::min_element(round_ratios.begin(), round_ratios.end()), 3) +
                         " .. " + fixed(maximum(round_ratios), 3),
                     "", ""});
    const double fc = median(floor_cpu_us);
    const double dc = median(daemon_cpu_us);
    table.push_back({what, "server's own CPU per message, median (us)", fixed(fc, 1), fixed(dc, 1),
                     ratio_of(dc, fc), "", ""});
    // The server runs one command at a time, so its own extra CPU lies on
    // the critical path; this ratio is what the rounds would show without
    // the noise of a shared machine.
    const double implied = 1 + (dc - fc) * messages / 1e6 / f;
    table.push_back({what,
                     "ratio implied by the extra own CPU: 1 + (d - f) / floor time per message", "",
                     "", fixed(implied, 4), "<= 1.03", verdict(implied <= 1.03)});
    if (real_sudo) {
        table.push_back({what, "commands sudo logged / sent", "", "",
                         std::to_string(commands_seen) + " / " + std::to_string(commands_expected),
                         "all", verdict(commands_seen == commands_expected)});
    }
}

// ---- idle

struct idle_run {
    double cpu_ms = 0;  // from ticks
    double run_us = 0;  // from schedstat
    long switches = 0;
};

idle_run idle_once(server_kind kind, bool after_reload) {
    clear_queue();
    server s(kind, 0);
    if (after_reload) {
        // A reload arms the wake-up timer; it must be stopped again once the
        // loop has acted, or the idle daemon keeps waking.
        kill(s.pid(), SIGHUP);
        sleep_for(0.1);
        s.wait_in_call(SYS_msgrcv, 5.0);
    }
    sleep_for(0.2);
    const cpu_figures before = s.cpu();
    sleep_for(config.idle_seconds);
    const cpu_figures after = s.cpu();
    int status = 0;
    s.stop(&status);
    const double ms_per_tick = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    return {static_cast<double>(after.ticks - before.ticks) * ms_per_tick,
            static_cast<double>(after.run_ns - before.run_ns) / 1000.0,
            after.switches - before.switches};
}

void bench_idle() {
    const idle_run f = idle_once(server_kind::floor, false);
    progress("  idle floor done\n");
    const idle_run d = idle_once(server_kind::daemon, false);
    progress("  idle useraccountd done\n");
    const idle_run r = idle_once(server_kind::daemon, true);
    progress("  idle useraccountd after a reload done\n");
    const std::string what = "idle " + std::to_string(config.idle_seconds) + " s, empty queue";
    table.push_back({what, "CPU time, utime+stime (ms)", fixed(f.cpu_ms, 0), fixed(d.cpu_ms, 0),
                     ratio_of(d.cpu_ms, f.cpu_ms), "0", verdict(d.cpu_ms == 0)});
    table.push_back({what, "time on CPU, schedstat (us)", fixed(f.run_us, 1), fixed(d.run_us, 1),
                     ratio_of(d.run_us, f.run_us), "0", verdict(d.run_us == 0)});
    table.push_back({what, "context switches", std::to_string(f.switches),
                     std::to_string(d.switches),
                     ratio_of(static_cast<double>(d.switches), static_cast<double>(f.switches)),
                     "0", verdict(d.switches == 0)});
    const std::string what_reload = what + ", after a SIGHUP";
    table.push_back({what_reload, "CPU time, utime+stime (ms)", fixed(f.cpu_ms, 0),
                     fixed(r.cpu_ms, 0), ratio_of(r.cpu_ms, f.cpu_ms), "0",
                     verdict(r.cpu_ms == 0)});
    table.push_back({what_reload, "time on CPU, schedstat (us)", fixed(f.run_us, 1),
                     fixed(r.run_us, 1), ratio_of(r.run_us, f.run_us), "0",
                     verdict(r.run_us == 0)});
    table.push_back({what_reload, "context switches", std::to_string(f.switches),
                     std::to_string(r.switches),
                     ratio_of(static_cast<double>(r.switches), static_cast<double>(f.switches)),
                     "0", verdict(r.switches == 0)});
}

// ---- memory

// Mixed types and sizes up to the text limit; one in a hundred is an account
// command (through the real sudo), the rest are only received and echoed.
std::vector<std::pair<long, std::string>> mixed_messages(int count, std::mt19937& random) {
    static const char alphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 \t\n'\"\\$`;|&<>()*?~#";
    std::uniform_int_distribution<std::size_t> size_of(0, max_text_size);
    std::uniform_int_distribution<std::size_t> letter(0, sizeof alphabet - 2);
    std::uniform_int_distribution<long> other_type(2, 9);
    std::vector<std::pair<long, std::string>> messages;
    for (int i = 0; i < count; ++i) {
        const std::size_t size = i % 97 == 0 ? max_text_size : size_of(random);
        if (i % 100 == 0) {
            std::vector<std::string> words;
            std::string text;
            for (;;) {
                std::string word(1 + letter(random) % 40, ' ');
                for (char& c : word) {
                    c = alphabet[letter(random)];
                }
                words.push_back(word);
                std::string longer = join_words(words);
                if (longer.size() > size) {
                    break;
                }
                text = std::move(longer);
            }
            messages.emplace_back(1, text);
        } else {
            std::string text(size, ' ');
            for (char& c : text) {
                c = alphabet[letter(random)];
            }
            messages.emplace_back(other_type(random), text);
        }
    }
    return messages;
}

struct memory_run {
    memory_figures start;
    std::vector<memory_figures> after_batch;
};

memory_run memory_once(server_kind kind, const std::vector<std::pair<long, std::string>>& messages,
                       int batches) {
    clear_queue();
    server s(kind, 0);
    memory_run run;
    sleep_for(0.2);
    run.start = s.memory();
    for (int batch = 0; batch < batches; ++batch) {
        std::atomic<bool> all_sent{false};
        std::thread sender([&] {
            for (const auto& [type, text] : messages) {
                send(type, text);
            }
            send(2, "end");
            all_sent = true;
        });
        while (!(all_sent.load() && waiting_messages() == 0)) {
            sleep_for(1e-3);
        }
        sender.join();
        s.wait_in_call(SYS_msgrcv, 10.0);
        sleep_for(0.2);
        run.after_batch.push_back(s.memory());
    }
    int status = 0;
    s.stop(&status);
    return run;
}

void bench_memory() {
    std::mt19937 random(config.seed);
    const auto messages = mixed_messages(config.memory_messages, random);
    const int batches = 2;
    const memory_run f = memory_once(server_kind::floor, messages, batches);
    progress("  memory floor done\n");
    const memory_run d = memory_once(server_kind::daemon, messages, batches);
    progress("  memory useraccountd done\n");
    const std::string what = "memory, " + std::to_string(batches) + " batches of " +
                             std::to_string(config.memory_messages) + " mixed messages";
    const double limit_kib = 2.5 * 1024;
    const auto row = [&](const std::string& figure, long floor_kib, long daemon_kib, bool goal) {
        table.push_back({what, figure + " (KiB)", std::to_string(floor_kib),
                         std::to_string(daemon_kib),
                         ratio_of(static_cast<double>(daemon_kib), static_cast<double>(floor_kib)),
                         goal ? "<= 2560" : "",
                         goal ? verdict(static_cast<double>(daemon_kib) <= limit_kib) : ""});
    };
    row("VmRSS after start", f.start.rss_kib, d.start.rss_kib, true);
    row("  of which RssAnon", f.start.anon_kib, d.start.anon_kib, false);
    row("  of which RssFile", f.start.file_kib, d.start.file_kib, false);
    row("  Pss after start", f.start.pss_kib, d.start.pss_kib, false);
    for (int batch = 0; batch < batches; ++batch) {
        const std::string after = "after " + std::to_string((batch + 1) * config.memory_messages);
        row("VmRSS " + after, f.after_batch[static_cast<std::size_t>(batch)].rss_kib,
            d.after_batch[static_cast<std::size_t>(batch)].rss_kib, true);
        row("VmHWM " + after, f.after_batch[static_cast<std::size_t>(batch)].hwm_kib,
            d.after_batch[static_cast<std::size_t>(batch)].hwm_kib, true);
    }
    row("  RssAnon at the end", f.after_batch.back().anon_kib, d.after_batch.back().anon_kib,
        false);
    row("  RssFile at the end", f.after_batch.back().file_kib, d.after_batch.back().file_kib,
        false);
    row("  Pss at the end", f.after_batch.back().pss_kib, d.after_batch.back().pss_kib, false);
    const auto growth_rows = [&](const char* figure, long memory_figures::*value) {
        const auto first = [&](const memory_run& run) {
            return run.after_batch.front().*value - run.start.*value;
        };
        const auto later = [&](const memory_run& run) {
            return run.after_batch.back().*value - run.after_batch.front().*value;
        };
        table.push_back({what, std::string(figure) + " growth, start to after batch 1 (KiB)",
                         std::to_string(first(f)), std::to_string(first(d)), "", "0",
                         verdict(first(d) <= 0)});
        table.push_back({what, std::string(figure) + " growth, batch 1 to after the last (KiB)",
                         std::to_string(later(f)), std::to_string(later(d)), "", "0",
                         verdict(later(d) <= 0)});
    };
    growth_rows("VmRSS", &memory_figures::rss_kib);
    growth_rows("RssAnon", &memory_figures::anon_kib);
}

// ---- stop latency

enum class moment { waiting, pausing, burst };

const char* name_of(moment m) {
    return m == moment::waiting   ? "waiting"
           : m == moment::pausing ? "pausing"
                                  : "burst into a wait";
}

struct stop_trial {
    double seconds = 0;
    long call_at_kill = -1;
    bool clean = false;  // exited 0 (useraccountd) or by SIGINT (floor)
};

const int burst_messages = 16;

// How long a burst takes to drain, so that SIGINTs can be spread over it and
// a little past its end, where the loop turns back into the wait.
double burst_duration() {
    clear_queue();
    server s(server_kind::daemon, 0);
    std::vector<double> seconds;
    for (int i = 0; i < 9; ++i) {
        const double start = now();
        for (int m = 0; m < burst_messages; ++m) {
            send(2, "burst");
        }
        while (waiting_messages() != 0) {
        }
        seconds.push_back(now() - start);
        s.wait_in_call(SYS_msgrcv, 5.0);
    }
    int status = 0;
    s.stop(&status);
    return median(seconds);
}

stop_trial stop_once(server_kind kind, moment when, std::mt19937& random, double burst_window = 0) {
    clear_queue();
    server s(kind, when == moment::pausing ? 1 : 0);
    std::uniform_real_distribution<double> jitter(0, 1);
    switch (when) {
        case moment::waiting:
            sleep_for(jitter(random) * 5e-3);
            break;
        case moment::pausing:
            send(2, "pause");
            s.wait_in_call(SYS_clock_nanosleep, 5.0);
            sleep_for(jitter(random) * 20e-3);
            break;
        case moment::burst:
            // A few messages drain in well under a millisecond; a SIGINT that
            // lands as the last one is done meets the loop just before it
            // waits again.
            for (int i = 0; i < burst_messages; ++i) {
                send(2, "burst");
            }
            spin_for(jitter(random) * burst_window);
            break;
    }
    stop_trial trial;
    trial.call_at_kill = s.current_call();
    int status = 0;
    trial.seconds = s.stop(&status);
    trial.clean = kind == server_kind::daemon ? WIFEXITED(status) && WEXITSTATUS(status) == 0
                                              : WIFSIGNALED(status) && WTERMSIG(status) == SIGINT;
    return trial;
}

// useraccountctl stop of a daemon that waits for a message or pauses: the
// tool reads the daemon's state, sends one SIGINT and waits for the end.
void bench_ctl_stop(std::mt19937& random, int trials) {
    std::uniform_real_distribution<double> jitter(0, 1);
    for (const moment when : {moment::waiting, moment::pausing}) {
        std::vector<double> ms;
        int clean = 0;
        for (int i = 0; i < trials; ++i) {
            clear_queue();
            server s(server_kind::daemon, when == moment::pausing ? 1 : 0);
            if (when == moment::pausing) {
                send(2, "pause");
                s.wait_in_call(SYS_clock_nanosleep, 5.0);
            }
            sleep_for(jitter(random) * 5e-3);
            int status = 0;
            int tool_status = 0;
            ms.push_back(s.stop_with_ctl(&status, &tool_status) * 1000);
            const bool exited_0 = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            const bool tool_0 = WIFEXITED(tool_status) && WEXITSTATUS(tool_status) == 0;
            clean += exited_0 && tool_0 ? 1 : 0;
        }
        progress("  useraccountctl stop %s done\n", name_of(when));
        const std::string what = std::string("stop, useraccountctl stop ") + name_of(when) + ", " +
                                 std::to_string(trials) + " trials";
        table.push_back({what, "tool start to both ended, median / max (ms)", "",
                         fixed(median(ms), 2) + " / " + fixed(maximum(ms), 2), "", "max < 50",
                         verdict(maximum(ms) < 50)});
        table.push_back({what, "daemon and tool ended with status 0", "",
                         std::to_string(clean) + " / " + std::to_string(trials), "", "all",
                         verdict(clean == trials)});
    }
}

void bench_stop() {
    std::mt19937 random(config.seed + 1);
    const int per_moment = std::max(1, config.stop_trials / 3);
    std::vector<double> floor_ms;
    for (int i = 0; i < per_moment; ++i) {
        floor_ms.push_back(stop_once(server_kind::floor, moment::waiting, random).seconds * 1000);
    }
    progress("  stop floor done\n");
    const double burst_window = 1.5 * burst_duration();
    std::vector<double> all_ms;
    int unclean = 0;
    int in_receive = 0;
    int in_pause = 0;
    int running = 0;
    for (const moment when : {moment::waiting, moment::pausing, moment::burst}) {
        std::vector<double> ms;
        for (int i = 0; i < per_moment; ++i) {
            const stop_trial trial = stop_once(server_kind::daemon, when, random, burst_window);
            ms.push_back(trial.seconds * 1000);
            unclean += trial.clean ? 0 : 1;
            in_receive += trial.call_at_kill == SYS_msgrcv ? 1 : 0;
            in_pause += trial.call_at_kill == SYS_clock_nanosleep ? 1 : 0;
            running += trial.call_at_kill == -1 ? 1 : 0;
        }
        all_ms.insert(all_ms.end(), ms.begin(), ms.end());
        progress("  stop useraccountd %s done\n", name_of(when));
        const std::string what = std::string("stop, SIGINT ") + name_of(when) + ", " +
                                 std::to_string(per_moment) + " trials";
        table.push_back({what, "to exit, median (ms)", fixed(median(floor_ms), 2),
                         fixed(median(ms), 2), ratio_of(median(ms), median(floor_ms)), "", ""});
        table.push_back({what, "to exit, max (ms)", fixed(maximum(floor_ms), 2),
                         fixed(maximum(ms), 2), ratio_of(maximum(ms), maximum(floor_ms)), "< 50",
                         verdict(maximum(ms) < 50)});
    }
    const std::string what = "stop, all " + std::to_string(all_ms.size()) + " trials";
    table.push_back({what, "to exit, median / p99 / max (ms)",
                     fixed(median(floor_ms), 2) + " / " + fixed(quantile(floor_ms, 0.99), 2) +
                         " / " + fixed(maximum(floor_ms), 2),
                     fixed(median(all_ms), 2) + " / " + fixed(quantile(all_ms, 0.99), 2) + " / " +
                         fixed(maximum(all_ms), 2),
                     ratio_of(maximum(all_ms), maximum(floor_ms)), "max < 50",
                     verdict(maximum(all_ms) < 50)});
    const auto over_1ms =
        std::count_if(all_ms.begin(), all_ms.end(), [](double ms) { return ms >= 1.0; });
    table.push_back({what, "trials over 1 ms (a busy machine, or the wake-up timer's first tick)",
                     "", "", std::to_string(over_1ms), "", ""});
    table.push_back(
        {what, "burst of " + std::to_string(burst_messages) + " drains in (us); SIGINT spread over",
         "", fixed(burst_window / 1.5 * 1e6, 0), fixed(burst_window * 1e6, 0), "", ""});
    table.push_back({what, "where SIGINT landed: receive / pause / running", "", "",
                     std::to_string(in_receive) + " / " + std::to_string(in_pause) + " / " +
                         std::to_string(running),
                     "", ""});
    table.push_back({what, "ended with status 0 (floor: by SIGINT)", "", "",
                     std::to_string(static_cast<int>(all_ms.size()) - unclean) + " / " +
                         std::to_string(all_ms.size()),
                     "all", verdict(unclean == 0)});
    if (!config.ctl_path.empty()) {
        bench_ctl_stop(random, std::max(1, per_moment / 2));
    }
}

void print_table() {
    printf("| benchmark | figure | floor | useraccountd | ratio | goal | |\n");
    printf("|---|---|---:|---:|---:|---|---|\n");
    for (const table_row& r : table) {
        printf("| %s | %s | %s | %s | %s | %s | %s |\n", r.benchmark.c_str(), r.figure.c_str(),
               r.floor.c_str(), r.daemon.c_str(), r.ratio.c_str(), r.goal.c_str(),
               r.verdict.c_str());
    }
}

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: useraccount_bench --daemon PATH --floor PATH [--ctl PATH]\n"
            "       [--only drain|sudo|idle|memory|stop]...\n"
            "       [--drain N] [--drain-rounds R] [--sudo-drain N] [--sudo-drain-rounds R]\n"
            "       [--idle-seconds S] [--memory-messages N] [--stop-trials N] [--seed N]\n");
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
        } else if (arg == "--ctl") {
            config.ctl_path = value;
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
