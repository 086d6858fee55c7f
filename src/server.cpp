// The control listener: one socket on port 8888, the containers started
// once, then one connection after another on this thread.
#include "src/server.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "logging/logging.h"
#include "src/commands.h"
#include "src/utils.h"

namespace {

constexpr int kListenBacklog = 5;
constexpr const char kStartContainersCommand[] = "bash start_containers.sh";
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

// Linux copies the receive and send timeouts of a listening socket into
// every socket it accepts: set once here, the idle limit holds for each
// connection without two system calls per request. The receive timeout
// also bounds accept's wait, which start_server simply renews.
void set_idle_limit(int server_socket) {
    struct timeval idle_limit = {kIdleLimitSeconds, 0};
    setsockopt(server_socket, SOL_SOCKET, SO_RCVTIMEO, &idle_limit, sizeof idle_limit);
    setsockopt(server_socket, SOL_SOCKET, SO_SNDTIMEO, &idle_limit, sizeof idle_limit);
}

int open_listening_socket() {
    const char* configured = configured_listen_address();
    const struct in_addr local_address = listen_address(configured);
    int server_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
    // Before listen: a connection that completed in between would have no
    // idle limit and could hold the control API for good.
    set_idle_limit(server_socket);
    if (listen(server_socket, kListenBacklog) < 0) {
        fail_setup("Listen Failed!!!", server_socket);
    }
    return server_socket;
}

}  // namespace

void start_server() {
    int server_socket = open_listening_socket();
    execute_command(strdup(kStartContainersCommand));
    resume_pending_updates();

    struct sockaddr_in peer;
    socklen_t peer_length = sizeof peer;
    for (;;) {
        int client_socket = accept4(server_socket, reinterpret_cast<struct sockaddr*>(&peer),
                                    &peer_length, SOCK_CLOEXEC);
        if (client_socket >= 0) {
            handle_request(client_socket);
            continue;
        }
        int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            // The idle limit of the listening socket ended one wait for a
            // connection: nobody called for that long, nothing failed.
            continue;
        }
        if (!is_transient_accept_error(error)) {
            break;
        }
        WEFT_LOG(ERROR) << kAcceptFailed << " (" << std::strerror(error) << "), retrying";
        pause_before_retry(error);
    }
    fail_setup(kAcceptFailed, server_socket);
}
