// The benchmark harness: what every benchmark of useraccountd against the
// floor (floor.cpp) shares. The same work is measured for both servers in the
// same run, and every figure is given as a ratio to the floor's. Everything
// runs as root inside the test sandbox (its own IPC namespace, /quex,
// /dev/log and /tmp); bench/run builds the programs and starts the driver.
//
// Settings    config: the servers' paths and the counts of each benchmark.
// Files       prepare_files(): /quex with the key file and a trivial account
//             script, configuration files with a pause of 0 and of 1 s.
// System log  log_sink: reads /dev/log, as a real log service would, and
//             counts sudo's entries, one per command it ran. Bound at another
//             path it stands in for a service manager's notify socket.
// Queue       open_queue(), send(), waiting_messages(), clear_queue().
// Servers     server(kind, delay): useraccountd or the floor as a child,
//             waiting for its first message; stop(signal), memory(), cpu().
// Figures     median(), maximum(), quantile(); table rows, print_table().
//
// Each benchmark lives in a file of its own, named for it, and adds its rows
// to the table: bench_drain (drain.cpp), bench_idle (idle.cpp), bench_memory
// (memory.cpp), bench_stop (stop.cpp), bench_flood (flood.cpp).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace bench {

struct settings {
    std::string daemon_path;
    std::string floor_path;
    int drain_messages = 2000;
    int sudo_drain_messages = 2000;
    int drain_rounds = 5;
    int sudo_drain_rounds = 2;
    int idle_seconds = 10;
    int memory_messages = 10000;
    int stop_trials = 300;
    int flood_seconds = 10;
    unsigned seed = 1;
    // When set, the daemon runs with $NOTIFY_SOCKET naming it, as under its
    // unit.
    std::string notify_socket;
};

extern settings config;
inline constexpr char work_dir[] = "/tmp/bench";

// "bench: WHAT: ERROR TEXT" on standard error, then exit 1.
[[noreturn]] void fail(const std::string& what);
// A line of progress on standard error; the table goes to standard output.
[[gnu::format(printf, 1, 2)]] void progress(const char* format, ...);

double now();  // CLOCK_MONOTONIC, in seconds
void spin_for(double seconds);
void sleep_for(double seconds);

void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string read_file(const std::string& path);
std::string conf_file(int delay);  // a configuration file with this pause

void prepare_files();

class log_sink {
  public:
    explicit log_sink(std::string path = "/dev/log");
    ~log_sink();
    log_sink(const log_sink&) = delete;
    log_sink& operator=(const log_sink&) = delete;
    const std::string& path() const { return path_; }
    long sudo_commands() const { return sudo_commands_.load(); }
    long datagrams() const { return datagrams_.load(); }

  private:
    void read_loop();
    std::string path_;
    int fd_ = -1;
    std::atomic<long> sudo_commands_{0};
    std::atomic<long> datagrams_{0};
    std::atomic<bool> stopping_{false};
    std::thread reader_;
};

void open_queue();
std::size_t waiting_messages();
void send(long type, const std::string& text);
void clear_queue();

// daemon_record: useraccountd with its outcome record on (-r), as the unit
// runs it.
enum class server_kind { floor, daemon, daemon_record };
const char* name_of(server_kind kind);

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

// useraccountd (with -c and -l, -r for daemon_record, and $NOTIFY_SOCKET
// when configured) or the floor, a child of this program, its standard
// output, log stream and record on files in work_dir. The constructor
// returns once the server waits for its first message.
class server {
  public:
    server(server_kind kind, int delay);
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    pid_t pid() const { return pid_; }
    // The system call the server is blocked in, or -1 while it runs.
    long current_call() const;
    void wait_in_call(long call, double limit) const;
    // Whether the server has a child: an account command runs.
    bool has_child() const;
    void signal(int sig) const;
    // Waits for the server's end; *status is its wait status. Returns now()
    // at the moment it was reaped.
    double reap(int* status);
    // SIGTERM, then the reap: the wait status.
    int stop();
    memory_figures memory() const;
    cpu_figures cpu() const;

  private:
    server_kind kind_;
    pid_t pid_ = -1;
};

double median(std::vector<double> v);
double maximum(const std::vector<double>& v);
double quantile(std::vector<double> v, double q);

struct table_row {
    std::string benchmark;
    std::string figure;
    std::string floor;
    std::string daemon;
    std::string ratio;
    std::string goal;
    std::string verdict;
};

extern std::vector<table_row> table;

std::string fixed(double v, int decimals);
std::string ratio_of(double daemon, double floor);
std::string verdict(bool met);
void print_table();

// The benchmarks.
// manager: the notify socket the daemon runs with, if any; its datagrams are
// counted.
void bench_drain(const char* label, int messages, int rounds, bool real_sudo, const log_sink& sink,
                 server_kind daemon_kind = server_kind::daemon, const log_sink* manager = nullptr);
// condition: how the runs differ from the plain idle rows, for their label.
void bench_idle(server_kind daemon_kind = server_kind::daemon, const std::string& condition = "");
void bench_memory();
void bench_stop();
void bench_flood();

}  // namespace bench
