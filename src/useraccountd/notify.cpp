#include "notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

int notify_fd = -1;
sockaddr_un notify_address{};
socklen_t notify_address_size = 0;
bool connected = false;
std::string notify_socket_name;
bool failure_logged = false;

unsigned long long commands_served = 0;
unsigned long long commands_failed = 0;
std::string current_status;
// READY=1 goes with the next state: the first one, and the first after a
// reload.
bool ready_due = true;

long long monotonic_usec() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

// A path, or an abstract name written with a leading '@'; anything else
// (empty, relative, too long) is no address.
bool set_address(const std::string& name) {
    if ((!name.starts_with('/') && !name.starts_with('@')) || name.size() < 2 ||
        name.size() >= sizeof notify_address.sun_path) {
        return false;
    }
    notify_address.sun_family = AF_UNIX;
    std::memcpy(notify_address.sun_path, name.data(), name.size());
    if (name.starts_with('@')) {
        notify_address.sun_path[0] = '\0';
    }
    // An abstract name is exactly its bytes; a path is ended by its zero byte.
    notify_address_size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                                 (name.starts_with('/') ? 1 : 0));
    return true;
}

// Connected once, a datagram costs no lookup of the socket's name.
bool send_once(const std::string& text) {
    if (!connected) {
        if (connect(notify_fd, reinterpret_cast<const sockaddr*>(&notify_address),
                    notify_address_size) == -1) {
            return false;
        }
        connected = true;
    }
    return send(notify_fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0;
}

// A manager that reads its socket slowly may leave it full for a moment; the
// daemon waits a little for room, but never hangs on a manager that is stuck.
void send_notification(const std::string& text) {
    if (notify_fd == -1) {
        return;
    }
    const long long give_up = monotonic_usec() + 2'000'000;
    bool connected_again = false;
    for (;;) {
        if (send_once(text)) {
            return;
        }
        if (errno == EINTR) {
            continue;
        }
        // A manager that made its socket anew is found by its name again.
        if (errno == ECONNREFUSED && connected && !connected_again) {
            connected = false;
            connected_again = true;
            continue;
        }
        if (errno != EAGAIN || monotonic_usec() >= give_up) {
            break;
        }
        const timespec room_wait{0, 1'000'000};
        nanosleep(&room_wait, nullptr);
    }
    // Once: a manager that is gone would otherwise fill the log.
    if (!failure_logged) {
        failure_logged = true;
        syslog(LOG_ERR, "Can not notify the service manager: %s, error: %s",
               notify_socket_name.c_str(), strerror(errno));
    }
}

std::string counts_text() {
    return "; served " + std::to_string(commands_served) + ", failed " +
           std::to_string(commands_failed);
}

std::string status_text(daemon_state now, int pause_seconds) {
    switch (now) {
        case daemon_state::in_command:
            return "Running an account command" + counts_text();
        case daemon_state::pausing:
            return "Pausing " + std::to_string(pause_seconds) + " s" + counts_text();
        case daemon_state::stopping:
            return "Stopping" + counts_text();
        case daemon_state::waiting:
        case daemon_state::reloading:
            break;
    }
    return "Waiting for a command" + counts_text();
}

}  // namespace

void notify_open() {
    const char* name = getenv("NOTIFY_SOCKET");
    if (name == nullptr) {
        return;
    }
    notify_socket_name = name;
    unsetenv("NOTIFY_SOCKET");
    if (!set_address(notify_socket_name)) {
        errno = EAFNOSUPPORT;
    } else {
        notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    if (notify_fd == -1 && !notify_socket_name.empty()) {
        failure_logged = true;
        syslog(LOG_ERR, "Can not notify the service manager: %s, error: %s",
               notify_socket_name.c_str(), strerror(errno));
    }
}

void notify_state(daemon_state now, int pause_seconds) {
    if (notify_fd == -1) {
        return;
    }
    if (now == daemon_state::reloading) {
        ready_due = true;
        send_notification("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(monotonic_usec()));
        return;
    }
    std::string text = status_text(now, pause_seconds);
    std::string message = now == daemon_state::stopping ? "STOPPING=1\n"
                          : ready_due                   ? "READY=1\n"
                                                        : "";
    ready_due = false;
    if (text != current_status) {
        current_status = std::move(text);
        message += "STATUS=" + current_status;
    } else if (!message.empty()) {
        message.pop_back();  // no STATUS= line: the manager keeps the last
    }
    if (!message.empty()) {
        send_notification(message);
    }
}

void notify_command_ended(const command_result& result) {
    ++commands_served;
    if (failed(result)) {
        ++commands_failed;
    }
}
