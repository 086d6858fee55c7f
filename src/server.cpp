// The control listener: one socket on port 8888, the containers started
// once, then the connections: read side by side, answered one at a time on
// this thread.
#include "src/server.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "logging/logging.h"
#include "src/commands.h"
#include "src/utils.h"

namespace {

// Connections accepted and not yet answered. One client that opens more
// cannot keep the others out: each new one past this closes the oldest.
constexpr std::size_t kMaxOpenConnections = 128;
// Deep enough that a burst of connections waits in the kernel rather than
// being refused and retried a second later.
constexpr int kListenBacklog = 128;
constexpr const char kAcceptFailed[] = "Accept Failed!!!";
constexpr const char kBindFailed[] = "Bind Failed!!!";
constexpr const char kListenAddressVariable[] = "SKEIN_LISTEN_ADDRESS";

[[noreturn]] void fail_setup(const char* message, int server_socket) {
    WEFT_LOG(ERROR) << message;
    if (server_socket >= 0) {
        close(server_socket);
    }
    exit_service(1);
}

// A wrong listen address is the operator's to mend, so it is said where a
// supervisor shows it (standard error) as well as in the log.
[[noreturn]] void fail_listen_address(const std::string& message, int server_socket) {
    tell_operator(message);
    fail_setup(message.c_str(), server_socket);
}

// The configured listen address, or nothing for every address (unset or
// empty). Only the dotted IPv4 form is taken: anything else ends start-up
// rather than silently listening somewhere the operator did not mean.
const char* configured_listen_address() {
    const char* value = std::getenv(kListenAddressVariable);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

std::string describe_listen_address(const char* value) {
    return std::string(kListenAddressVariable) + "=\"" + value + "\"";
}

// Whether address (network order) is one a client can reach this box at:
// an interface's own address, or a host address of the loopback network,
// all of which the box answers. A broadcast or multicast address binds too,
// but nobody can connect to it.
bool is_unicast_address_of_this_box(in_addr_t address) {
    struct ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return false;
    }
    bool found = false;
    for (const struct ifaddrs* i = interfaces; i != nullptr && !found; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const in_addr_t own = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        found = own == address;
        if (!found && (i->ifa_flags & IFF_LOOPBACK) != 0 && i->ifa_netmask != nullptr) {
            const in_addr_t mask =
                reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
            const in_addr_t host = address & ~mask;
            found = (address & mask) == (own & mask) && host != 0 && host != ~mask;
        }
    }
    freeifaddrs(interfaces);
    return found;
}

struct in_addr listen_address(const char* configured) {
    struct in_addr address;
    address.s_addr = htonl(INADDR_ANY);
    if (configured == nullptr) {
        return address;
    }
    if (inet_pton(AF_INET, configured, &address) != 1) {
        fail_listen_address(
            describe_listen_address(configured) + " is not an IPv4 address in dotted form", -1);
    }
    if (address.s_addr != htonl(INADDR_ANY) && !is_unicast_address_of_this_box(address.s_addr)) {
        fail_listen_address(
            describe_listen_address(configured) + " is not a unicast address of this box", -1);
    }
    return address;
}

[[noreturn]] void fail_bind(const char* configured, int server_socket) {
    if (configured == nullptr) {
        fail_setup(kBindFailed, server_socket);
    }
    const char* reason =
        errno == EADDRNOTAVAIL ? "not an address of this box" : std::strerror(errno);
    fail_listen_address(
        std::string(kBindFailed) + " " + describe_listen_address(configured) + ": " + reason,
        server_socket);
}

// Failures of one pending connection, or of the network beneath it, that
// leave the listening socket usable.
bool is_transient_accept_error(int error) {
    switch (error) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

// A network that stays down must not turn the retry into a busy loop.
void pause_before_retry(int error) {
    if (error != EINTR && error != ECONNABORTED) {
        struct timespec pause = {0, 100 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

int open_listening_socket() {
    const char* configured = configured_listen_address();
    const struct in_addr local_address = listen_address(configured);
    int server_socket = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (server_socket < 0) {
        fail_setup("Opening Socket Failed!!!", -1);
    }
    // A restart right after serving connections binds at once, even while
    // old connections linger in TIME_WAIT.
    int reuse = 1;
    setsockopt(server_socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr = local_address;
    address.sin_port = htons(kServicePort);
    if (bind(server_socket, reinterpret_cast<struct sockaddr*>(&address), sizeof address) < 0) {
        fail_bind(configured, server_socket);
    }
    if (listen(server_socket, kListenBacklog) < 0) {
        fail_setup("Listen Failed!!!", server_socket);
    }
    return server_socket;
}

using Clock = std::chrono::steady_clock;

// An accepted connection whose request has not come yet.
struct OpenConnection {
    int fd;
    Clock::time_point deadline;  // the idle limit
};

// The connections in the order they were accepted, which is also the order
// of their deadlines. Every one is answered exactly once, by
// handle_request: when its request has come, when it stayed silent past the
// idle limit, or when newer ones push it out (a read that finds nothing
// gets the failed-read reply).
class Intake {
  public:
    explicit Intake(int server_socket) : server_socket_(server_socket) {}

    // Waits for a request, a connection or a deadline, and deals with
    // them. Returns false when accept failed for good.
    bool serve_once() {
        watch();
        int ready = poll(watched_.data(), watched_.size(), timeout_ms());
        if (ready < 0) {
            return true;  // interrupted: look again
        }
        answer_ready();
        answer_expired();
        return (watched_[0].revents & POLLIN) == 0 || accept_new();
    }

  private:
    void watch() {
        watched_.resize(open_.size() + 1);
        watched_[0] = {server_socket_, POLLIN, 0};
        for (std::size_t i = 0; i < open_.size(); ++i) {
            watched_[i + 1] = {open_[i].fd, POLLIN, 0};
        }
    }

    int timeout_ms() const {
        if (open_.empty()) {
            return -1;
        }
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(open_.front().deadline - Clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }

    // Requests in the order their connections were accepted.
    void answer_ready() {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < open_.size(); ++i) {
            if (watched_[i + 1].revents != 0) {
                handle_request(open_[i].fd);
            } else {
                open_[kept++] = open_[i];
            }
        }
        open_.resize(kept);
    }

    void answer_expired() {
        if (open_.empty()) {
            return;
        }
        const Clock::time_point now = Clock::now();
        std::size_t expired = 0;
        while (expired < open_.size() && open_[expired].deadline <= now) {
            handle_request(open_[expired++].fd);
        }
        open_.erase(open_.begin(), open_.begin() + static_cast<std::ptrdiff_t>(expired));
    }

    void answer_oldest() {
        handle_request(open_.front().fd);
        open_.erase(open_.begin());
    }

    // One connection a round: more pending keep the socket ready for the
    // next. Its request is usually there already, and answered at once.
    bool accept_new() {
        int client = accept4(server_socket_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            return accept_failed_transiently(errno);
        }
        if (handle_request_if_ready(client)) {
            return true;
        }
        if (open_.size() == kMaxOpenConnections) {
            answer_oldest();
        }
        open_.push_back({client, Clock::now() + std::chrono::seconds(kIdleLimitSeconds)});
        return true;
    }

    static bool accept_failed_transiently(int error) {
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return true;
        }
        if (!is_transient_accept_error(error)) {
            return false;
        }
        WEFT_LOG(ERROR) << kAcceptFailed << " (" << std::strerror(error) << "), retrying";
        pause_before_retry(error);
        return true;
    }

    const int server_socket_;
    std::vector<OpenConnection> open_;  // at most kMaxOpenConnections
    std::vector<pollfd> watched_;
};

}  // namespace

void start_server() {
    int server_socket = open_listening_socket();
    start_containers_and_resume_updates();
    Intake intake(server_socket);
    while (intake.serve_once()) {
    }
    fail_setup(kAcceptFailed, server_socket);
}
