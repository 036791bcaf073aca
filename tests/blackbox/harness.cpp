#include "harness.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "command_queue.h"

extern char** environ;

namespace blackbox {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail_call(const std::string& call, int err = errno) {
    throw std::runtime_error(call + ": " + std::strerror(err));
}

// The recording account script. One file per run, /quex/runs/NNNN, renamed
// into place when complete: a header line "start_us end_us euid argc", then
// each argument followed by a NUL byte. /quex/runs/started/NNNN appears when
// a run starts. /quex/script-sleep, when present, holds seconds to sleep;
// /quex/script-exit the status the run ends with once recorded.
constexpr char script_text[] = R"script(#!/bin/bash
start=${EPOCHREALTIME/[.,]/}
runs=/quex/runs
exec 9>>"$runs/.lock"
flock 9
n=$(( $(cat "$runs/.count" 2>/dev/null || echo 0) + 1 ))
echo "$n" >"$runs/.count"
exec 9>&-
n=$(printf %04d "$n")
: >"$runs/started/$n"
if [[ -s /quex/script-sleep ]]; then
    sleep "$(</quex/script-sleep)"
fi
end=${EPOCHREALTIME/[.,]/}
{
    printf '%s %s %s %s\n' "$start" "$end" "$EUID" "$#"
    for arg; do printf '%s\0' "$arg"; done
} >"$runs/.$n"
mv "$runs/.$n" "$runs/$n"
if [[ -s /quex/script-exit ]]; then
    exit "$(</quex/script-exit)"
fi
)script";

std::string output_path(const std::vector<std::string>& argv, const char* suffix) {
    static int count = 0;
    const std::string name = argv.empty() ? "process" : fs::path(argv[0]).filename().string();
    fs::create_directories("/tmp/harness");
    return "/tmp/harness/" + std::to_string(++count) + "-" + name + suffix;
}

}  // namespace

void require_sandbox() {
    static bool checked = false;
    if (checked) {
        return;
    }
    const char* env = std::getenv("USERACCOUNT_SANDBOX");
    struct statfs quex {};
    std::string why;
    if (env == nullptr || std::string_view(env) != "1") {
        why = "USERACCOUNT_SANDBOX is not 1";
    } else if (statfs("/quex", &quex) != 0 || quex.f_type != TMPFS_MAGIC) {
        why = "/quex is not a tmpfs";
    } else if (!fs::is_empty("/quex")) {
        why = "/quex is not fresh (not empty)";
    } else if (read_file("/proc/1/comm") != "bwrap\n") {
        why = "process 1 is not bwrap (no private PID namespace)";
    }
    if (!why.empty()) {
        std::fprintf(stderr,
                     "\nREFUSING TO RUN: the black-box tests must run inside the sandbox "
                     "(tests/sandbox/run-in-sandbox), since they write /quex and bind "
                     "/dev/log: %s\n",
                     why.c_str());
        std::fflush(stderr);
        std::_Exit(1);
    }
    checked = true;
}

// ---- small helpers

bool wait_until(const std::function<bool()>& done, timeout limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return done();
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& path, std::string_view content, unsigned mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd == -1) {
        fail_call("open " + path);
    }
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n == -1) {
            const int err = errno;
            ::close(fd);
            fail_call("write " + path, err);
        }
        done += static_cast<std::size_t>(n);
    }
    ::fchmod(fd, mode);
    ::close(fd);
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::int64_t now_us() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

// ---- processes

const std::vector<std::string>& emulator() {
    static const std::vector<std::string> words BUILT_PROGRAM_EMULATOR;
    return words;
}

namespace {

// qemu reads the program with the rights of the user who runs it, and the
// sandbox shows the build tree to root only: under the emulator, a program
// runs from a copy that everyone may read.
std::string readable_copy(const std::string& path) {
    const std::string copy = "/tmp/built/" + fs::path(path).filename().string();
    if (!file_exists(copy)) {
        fs::create_directories("/tmp/built");
        write_file(copy, read_file(path), 0755);
    }
    return copy;
}

}  // namespace

std::vector<std::string> built_program(const std::string& path, const std::string& argv0) {
    if (emulator().empty()) {
        return {path};
    }
    std::vector<std::string> words = emulator();
    if (!argv0.empty()) {
        words.insert(words.end(), {"-0", argv0});
    }
    words.push_back(readable_copy(path));
    return words;
}

std::ostream& operator<<(std::ostream& os, const exit_status& s) {
    if (s.signaled) {
        return os << "killed by signal " << s.number << " (" << strsignal(s.number) << ")";
    }
    return os << "exited with " << s.number;
}

process::process(std::string program, std::vector<std::string> argv, bool stdin_null)
    : out_path_(output_path(argv, ".out")), err_path_(output_path(argv, ".err")) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    if (stdin_null) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    // A clean start whatever the test program inherited.
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int sig :
         {SIGINT, SIGHUP, SIGTERM, SIGQUIT, SIGPIPE, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    const int err = posix_spawn(&pid_, program.c_str(), &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (err != 0) {
        pid_ = -1;
        fail_call("posix_spawn " + program, err);
    }
}

process::process(process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(other.status_),
      out_path_(std::move(other.out_path_)),
      err_path_(std::move(other.err_path_)) {}

process::~process() {
    if (pid_ <= 0 || status_) {
        return;
    }
    // An orderly stop first, so that a sanitizer build checks for leaks at
    // exit in every test, not only in those that stop the daemon themselves.
    ::kill(pid_, SIGINT);
    int raw = 0;
    bool ended = wait_until([&] { return ::waitpid(pid_, &raw, WNOHANG) == pid_; }, 1s);
    if (!ended) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &raw, 0) == -1 && errno == EINTR) {
        }
    } else if (WIFEXITED(raw) && WEXITSTATUS(raw) == sanitizer_exit_code) {
        ADD_FAILURE() << "process " << pid_ << " ended with a sanitizer report (status "
                      << sanitizer_exit_code << "); see its standard error: " << err_path_;
    }
}

void process::signal(int sig) const {
    if (status_) {
        throw std::runtime_error("signal to a process that has already ended");
    }
    if (::kill(pid_, sig) != 0) {
        fail_call("kill");
    }
}

std::optional<exit_status> process::wait_exit(timeout limit) {
    if (!status_) {
        wait_until(
            [&] {
                int raw = 0;
                const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
                if (r == pid_) {
                    status_ =
                        WIFSIGNALED(raw) ? killed_by(WTERMSIG(raw)) : exited(WEXITSTATUS(raw));
                } else if (r == -1 && errno != EINTR) {
                    fail_call("waitpid");
                }
                return status_.has_value();
            },
            limit);
    }
    return status_;
}

::testing::AssertionResult wait_for_output(process& p, const std::string& text, timeout limit) {
    const auto seen = [&] { return p.out().find(text) != std::string::npos; };
    wait_until([&] { return seen() || p.wait_exit(0ms).has_value(); }, limit);
    if (seen()) {
        return ::testing::AssertionSuccess();
    }
    auto failure = ::testing::AssertionFailure() << "\"" << text << "\" not on the daemon's stdout";
    if (const auto status = p.wait_exit(0ms)) {
        failure << " (daemon " << *status << ")";
    }
    return failure << "\nstdout: " << p.out() << "\nstderr: " << p.err();
}

process run_built(const std::string& path, const std::string& argv0,
                  const std::vector<std::string>& args) {
    std::vector<std::string> argv = built_program(path, argv0);
    if (emulator().empty()) {
        argv.front() = argv0;
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return process(emulator().empty() ? path : emulator().front(), argv);
}

process start_daemon(const std::vector<std::string>& args, const std::string& argv0) {
    return run_built(daemon_path, argv0, args);
}

process run_ctl(const std::vector<std::string>& args) {
    return run_built(ctl_path, "useraccountctl", args);
}

::testing::AssertionResult plant_link_as_nobody(const std::string& target,
                                                const std::string& name) {
    if ((::mkdir("/quex/tmp", 0) == -1 && errno != EEXIST) || ::chmod("/quex/tmp", 01777) == -1) {
        return ::testing::AssertionFailure() << "/quex/tmp: " << std::strerror(errno);
    }
    process ln("/usr/bin/setpriv",
               {"setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", "/usr/bin/ln",
                "-s", target, "/quex/tmp/" + name});
    const auto status = ln.wait_exit(10s);
    if (status != exited(0)) {
        return ::testing::AssertionFailure() << "ln -s as nobody: " << ln.err();
    }
    return ::testing::AssertionSuccess();
}

// ---- system log

namespace {

constexpr std::string_view sync_marker = "<0>harness-sync ";

}  // namespace

std::ostream& operator<<(std::ostream& os, const log_entry& e) {
    return os << "{priority " << e.priority << ", ident \"" << e.ident << "\", pid " << e.pid
              << ", message \"" << e.message << "\"}";
}

// glibc writes "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE", the "[PID]" only
// with LOG_PID.
std::optional<log_entry> parse_log_entry(std::string_view datagram) {
    log_entry e;
    e.raw = std::string(datagram);
    if (datagram.size() < 3 || datagram[0] != '<') {
        return std::nullopt;
    }
    const std::size_t close = datagram.find('>');
    if (close == std::string_view::npos || close < 2) {
        return std::nullopt;
    }
    try {
        e.priority = std::stoi(std::string(datagram.substr(1, close - 1)));
    } catch (const std::exception&) {
        return std::nullopt;
    }
    std::string_view rest = datagram.substr(close + 1);
    constexpr std::size_t stamp = 16;  // "Mmm dd hh:mm:ss "
    if (rest.size() < stamp || rest[3] != ' ' || rest[6] != ' ' || rest[9] != ':' ||
        rest[15] != ' ') {
        return std::nullopt;
    }
    rest.remove_prefix(stamp);

    // "IDENT[PID]: " where the first "[digits]: " ends the ident; else "IDENT: ".
    for (std::size_t open = rest.find('['); open != std::string_view::npos;
         open = rest.find('[', open + 1)) {
        std::size_t i = open + 1;
        while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') {
            ++i;
        }
        if (i > open + 1 && rest.substr(i, 3) == "]: ") {
            e.ident = std::string(rest.substr(0, open));
            e.pid = std::stoi(std::string(rest.substr(open + 1, i - open - 1)));
            e.message = std::string(rest.substr(i + 3));
            return e;
        }
    }
    const std::size_t colon = rest.find(": ");
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    e.ident = std::string(rest.substr(0, colon));
    e.message = std::string(rest.substr(colon + 2));
    return e;
}

namespace {

// A path, or an abstract name written with a leading '@'.
socklen_t socket_address(const std::string& name, sockaddr_un& addr) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, name.c_str(), sizeof addr.sun_path - 1);
    if (!name.starts_with('@')) {
        return sizeof addr;
    }
    addr.sun_path[0] = '\0';
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
}

}  // namespace

syslog_capture::syslog_capture(std::string path) : path_(std::move(path)) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ == -1) {
        fail_call("socket");
    }
    sockaddr_un addr{};
    const socklen_t size = socket_address(path_, addr);
    const bool abstract = path_.starts_with('@');
    if (!abstract) {
        ::unlink(path_.c_str());
    }
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), size) != 0) {
        const int err = errno;
        ::close(fd_);
        fail_call("bind " + path_, err);
    }
    if (!abstract) {
        ::chmod(path_.c_str(), 0666);
    }
    reader_ = std::thread([this] { read_loop(); });
}

syslog_capture::~syslog_capture() {
    stop_ = true;
    reader_.join();
    ::close(fd_);
    if (!path_.starts_with('@')) {
        ::unlink(path_.c_str());
    }
}

void syslog_capture::read_loop() {
    std::vector<char> buffer(1 << 17);
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0) {
            continue;
        }
        const std::string_view datagram(buffer.data(), static_cast<std::size_t>(n));
        const std::lock_guard lock(mutex_);
        if (datagram.starts_with(sync_marker)) {
            ++syncs_seen_;
        } else if (auto e = parse_log_entry(datagram)) {
            entries_.push_back(std::move(*e));
        } else {
            log_entry unparsed;
            unparsed.raw = unparsed.message = std::string(datagram);
            entries_.push_back(std::move(unparsed));
        }
        changed_.notify_all();
    }
}

// Datagrams on one socket arrive in order: once our own marker is read, so
// is everything sent before it.
void syslog_capture::sync() {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        fail_call("socket");
    }
    sockaddr_un addr{};
    const socklen_t size = socket_address(path_, addr);
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = ++syncs_sent_;
    const ssize_t n = ::sendto(fd, sync_marker.data(), sync_marker.size(), 0,
                               reinterpret_cast<const sockaddr*>(&addr), size);
    const int err = errno;
    ::close(fd);
    if (n == -1) {
        fail_call("sendto " + path_, err);
    }
    if (!changed_.wait_for(lock, 10s, [&] { return syncs_seen_ >= ticket; })) {
        throw std::runtime_error("syslog_capture: own marker not received within 10 s");
    }
}

std::vector<log_entry> syslog_capture::entries() {
    sync();
    const std::lock_guard lock(mutex_);
    return entries_;
}

std::optional<log_entry> syslog_capture::wait_for_entry(
    const std::function<bool(const log_entry&)>& match, timeout limit) {
    std::unique_lock lock(mutex_);
    std::optional<log_entry> found;
    changed_.wait_for(lock, limit, [&] {
        for (const auto& e : entries_) {
            if (match(e)) {
                found = e;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::optional<log_entry> syslog_capture::wait_for_entry(std::string_view substring, timeout limit) {
    return wait_for_entry(
        [&](const log_entry& e) { return e.message.find(substring) != std::string::npos; }, limit);
}

// ---- command queue

command_queue::command_queue() {
    const char* call = "open_command_queue";
    id_ = open_command_queue(&call);
    if (id_ == -1) {
        fail_call(call);
    }
}

int command_queue::send(long type, std::string_view text, bool nowait) const {
    // Room for the type and any length of text, aligned for the long.
    std::vector<long> buffer(1 + (text.size() + sizeof(long) - 1) / sizeof(long) + 1);
    buffer[0] = type;
    std::memcpy(buffer.data() + 1, text.data(), text.size());
    if (::msgsnd(id_, buffer.data(), text.size(), nowait ? IPC_NOWAIT : 0) == 0) {
        return 0;
    }
    return errno;
}

std::size_t command_queue::waiting() const {
    msqid_ds ds{};
    if (::msgctl(id_, IPC_STAT, &ds) != 0) {
        fail_call("msgctl IPC_STAT");
    }
    return ds.msg_qnum;
}

unsigned command_queue::mode() const {
    msqid_ds ds{};
    if (::msgctl(id_, IPC_STAT, &ds) != 0) {
        fail_call("msgctl IPC_STAT");
    }
    return ds.msg_perm.mode & 07777u;
}

bool command_queue::exists() {
    const key_t key = ::ftok(queue_key_file, queue_project_id);
    return key != -1 && ::msgget(key, 0) != -1;
}

void command_queue::remove() const {
    if (::msgctl(id_, IPC_RMID, nullptr) != 0) {
        fail_call("msgctl IPC_RMID");
    }
}

void command_queue::remove_existing() {
    const key_t key = ::ftok(queue_key_file, queue_project_id);
    if (key == -1) {
        return;
    }
    const int id = ::msgget(key, 0);
    if (id != -1) {
        ::msgctl(id, IPC_RMID, nullptr);
    }
}

// ---- the fixture

void sandbox_test::SetUp() {
    require_sandbox();
    fs::create_directories("/quex/etc/useraccount");
    fs::create_directories("/quex/sbin");
    fs::create_directories(std::string(runs_dir) + "/started");
    write_file(queue_key_file, "{\"purpose\": \"key file of the useraccountd command queue\"}\n");
    write_file(account_script, script_text, 0755);
    ::unlink("/quex/script-sleep");
    command_queue::remove_existing();
    system_log_.emplace();
}

std::vector<script_run> sandbox_test::runs() const {
    std::vector<fs::path> files;
    for (const auto& f : fs::directory_iterator(runs_dir)) {
        const std::string name = f.path().filename().string();
        if (f.is_regular_file() && !name.starts_with(".")) {
            files.push_back(f.path());
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<script_run> result;
    for (const auto& f : files) {
        const std::string content = read_file(f.string());
        const std::size_t eol = content.find('\n');
        if (eol == std::string::npos) {
            throw std::runtime_error("malformed run file " + f.string());
        }
        script_run run;
        run.number = std::stoi(f.filename().string());
        std::size_t argc = 0;
        std::istringstream header(content.substr(0, eol));
        header >> run.start_us >> run.end_us >> run.euid >> argc;
        std::size_t pos = eol + 1;
        while (pos < content.size()) {
            const std::size_t nul = content.find('\0', pos);
            if (nul == std::string::npos) {
                throw std::runtime_error("malformed run file " + f.string());
            }
            run.args.push_back(content.substr(pos, nul - pos));
            pos = nul + 1;
        }
        if (run.args.size() != argc) {
            throw std::runtime_error("run file " + f.string() +
                                     ": argument count differs from header");
        }
        result.push_back(std::move(run));
    }
    return result;
}

std::size_t sandbox_test::runs_started() const {
    const auto it = fs::directory_iterator(std::string(runs_dir) + "/started");
    return static_cast<std::size_t>(std::distance(fs::begin(it), fs::end(it)));
}

bool sandbox_test::wait_for_runs(std::size_t n, timeout limit) const {
    return wait_until([&] { return runs().size() >= n; }, limit);
}

void sandbox_test::set_script_exit(int status) const {
    if (status == 0) {
        ::unlink("/quex/script-exit");
    } else {
        write_file("/quex/script-exit", std::to_string(status) + "\n");
    }
}

void sandbox_test::set_script_sleep(double seconds) const {
    if (seconds <= 0) {
        ::unlink("/quex/script-sleep");
    } else {
        write_file("/quex/script-sleep", std::to_string(seconds) + "\n");
    }
}

std::string sandbox_test::write_conf(std::string_view content) const {
    write_file(conf_path, content);
    return conf_path;
}

}  // namespace blackbox
