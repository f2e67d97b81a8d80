// The few socket calls that differ between Linux and other POSIX hosts (macOS, the BSDs):
// descriptors made non-blocking and close-on-exec, sends that never raise SIGPIPE, and a wait
// for events with a deadline. Everything else in the socket server is plain POSIX.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>

namespace devsim {

// Both ends non-blocking and close-on-exec; 0, or -1 and errno.
int make_pipe(int p[2]);
// A stream socket of the family (AF_UNIX or AF_INET), non-blocking and close-on-exec; -1 and
// errno when it fails.
int make_listener(int family);
// The next connection waiting on `listener`, non-blocking and close-on-exec, set never to raise
// SIGPIPE where the host needs that per socket; -1 and errno when none waits.
int accept_connection(int listener);
// send() that reports a closed peer as EPIPE instead of raising SIGPIPE.
ssize_t send_no_signal(int fd, const void* data, size_t n);
// Waits until an entry of `fds` has events, or until `deadline` (for ever without one); never
// returns before the deadline without an event. The count of entries with events, 0 at the
// deadline, or -1 and errno (EINTR when a signal came).
int wait_for_events(std::span<pollfd> fds,
                    std::optional<std::chrono::steady_clock::time_point> deadline);

}  // namespace devsim
