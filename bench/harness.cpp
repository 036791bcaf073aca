#include "harness.h"

#include <fcntl.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <utility>

#include "command_queue.h"

extern char** environ;

namespace bench {

settings config;
std::vector<table_row> table;

namespace {

const char trivial_script[] = "#!/bin/sh\nexit 0\n";
int queue_id = -1;

}  // namespace

void fail(const std::string& what) {
    fprintf(stderr, "bench: %s: %s\n", what.c_str(), strerror(errno));
    exit(1);
}

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

// nanosleep overshoots a short wait by tens of microseconds; a signal aimed
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

void write_file(const std::string& path, const std::string& content, mode_t mode) {
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

// ---- the system log

log_sink::log_sink(std::string path) : path_(std::move(path)) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    unlink(address.sun_path);
    if (fd_ == -1 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1) {
        fail("bind " + path_);
    }
    reader_ = std::thread([this] { read_loop(); });
}

// The reader is joined before the descriptor goes: a sink that ends before
// the program (the notify socket's) must leave no thread on its memory.
log_sink::~log_sink() {
    stopping_ = true;
    shutdown(fd_, SHUT_RDWR);
    reader_.join();
    close(fd_);
}

void log_sink::read_loop() {
    char datagram[16384];
    for (;;) {
        const ssize_t n = recv(fd_, datagram, sizeof datagram - 1, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (stopping_) {
            return;
        }
        datagram[n] = '\0';
        ++datagrams_;
        if (strstr(datagram, "sudo") != nullptr && strstr(datagram, "COMMAND=") != nullptr) {
            ++sudo_commands_;
        }
    }
}

// ---- the queue

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

// ---- the servers

const char* name_of(server_kind kind) {
    switch (kind) {
        case server_kind::floor:
            return "floor";
        case server_kind::daemon:
            return "useraccountd";
        case server_kind::daemon_record:
            return "useraccountd-record";
    }
    return "?";
}

server::server(server_kind kind, int delay) : kind_(kind) {
    const std::string out = std::string(work_dir) + "/" + name_of(kind) + ".out";
    const std::string err = std::string(work_dir) + "/" + name_of(kind) + ".err";
    const std::string log = std::string(work_dir) + "/useraccountd.log";
    const std::string record = std::string(work_dir) + "/outcomes.log";
    const std::string conf = conf_file(delay);
    // Made before the fork: the child of a program with threads may only
    // exec.
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        env_strings.emplace_back(*e);
    }
    if (kind != server_kind::floor && !config.notify_socket.empty()) {
        env_strings.push_back("NOTIFY_SOCKET=" + config.notify_socket);
    }
    std::vector<char*> envp;
    for (std::string& e : env_strings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
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
        if (kind == server_kind::daemon_record) {
            execle(config.daemon_path.c_str(), "useraccountd", "-c", conf.c_str(), "-l",
                   log.c_str(), "-r", record.c_str(), static_cast<char*>(nullptr), envp.data());
        } else if (kind == server_kind::daemon) {
            execle(config.daemon_path.c_str(), "useraccountd", "-c", conf.c_str(), "-l",
                   log.c_str(), static_cast<char*>(nullptr), envp.data());
        } else {
            execl(config.floor_path.c_str(), "useraccount_floor", static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    wait_in_call(SYS_msgrcv, 10.0);
}

server::~server() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

long server::current_call() const {
    const std::string text = read_file("/proc/" + std::to_string(pid_) + "/syscall");
    if (text.empty() || text.compare(0, 7, "running") == 0) {
        return -1;
    }
    return strtol(text.c_str(), nullptr, 10);
}

void server::wait_in_call(long call, double limit) const {
    const double give_up = now() + limit;
    while (current_call() != call) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            errno = 0;
            fail(std::string(name_of(kind_)) + " ended before it waited (see " + work_dir + "/" +
                 name_of(kind_) + ".err)");
        }
        if (now() > give_up) {
            errno = ETIMEDOUT;
            fail(std::string(name_of(kind_)) + " never blocked in system call " +
                 std::to_string(call));
        }
        sleep_for(50e-6);
    }
}

bool server::has_child() const {
    const std::string task = "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_);
    return !read_file(task + "/children").empty();
}

void server::signal(int sig) const {
    kill(pid_, sig);
}

double server::reap(int* status) {
    while (waitpid(pid_, status, 0) == -1) {
        if (errno != EINTR) {
            fail("waitpid");
        }
    }
    pid_ = -1;
    return now();
}

int server::stop() {
    signal(SIGTERM);
    int status = 0;
    reap(&status);
    return status;
}

memory_figures server::memory() const {
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

cpu_figures server::cpu() const {
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

void print_table() {
    printf("| benchmark | figure | floor | useraccountd | ratio | goal | |\n");
    printf("|---|---|---:|---:|---:|---|---|\n");
    for (const table_row& r : table) {
        printf("| %s | %s | %s | %s | %s | %s | %s |\n", r.benchmark.c_str(), r.figure.c_str(),
               r.floor.c_str(), r.daemon.c_str(), r.ratio.c_str(), r.goal.c_str(),
               r.verdict.c_str());
    }
}

}  // namespace bench
