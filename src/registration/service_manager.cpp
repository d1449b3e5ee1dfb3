#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "registration.h"

namespace {

// One datagram to the service manager, sent without waiting: where the
// socket is full, missing or unread, the message is lost, never a renewal.
void notify(const std::string &socket_path, const std::string &message)
{
	sockaddr_un address{};
	if (socket_path.size() >= sizeof address.sun_path)
		return;
	address.sun_family = AF_UNIX;
	socket_path.copy(address.sun_path, socket_path.size());
	if (address.sun_path[0] == '@') // an abstract socket
		address.sun_path[0] = '\0';
	const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd == -1)
		return;
	const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_path.size());
	sendto(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
	       reinterpret_cast<const sockaddr *>(&address), length);
	close(fd);
}

std::string local_time(long seconds)
{
	const auto when = static_cast<time_t>(seconds);
	tm parts{};
	char text[64] = "";
	if (localtime_r(&when, &parts) != nullptr)
		std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &parts);
	return text;
}

} // namespace

std::string take_notify_socket()
{
	const char *path = std::getenv("NOTIFY_SOCKET");
	std::string socket_path = path != nullptr ? path : "";
	unsetenv("NOTIFY_SOCKET");
	return socket_path;
}

// What systemctl status shows on the unit's Status line: while the tool runs,
// since when, and after a successful run, when the next one is due. With the
// first, systemd learns the daemon's PID while the starter may still run: a
// daemon whose tool fails at once can end before that, and systemd, had it to
// guess the PID once the starter has gone, would find none and take the
// failure for a clean stop that it need not restart. Without a service manager
// there is no one to tell, and the time zone is not even loaded.
void notify_running(const std::string &socket_path, long since, long registered)
{
	if (socket_path.empty())
		return;
	notify(socket_path, "MAINPID=" + std::to_string(getpid()) + "\nSTATUS=Running the tool since " +
				    local_time(since) +
				    (registered == 0 ? "" : "; last registered at " + local_time(registered)));
}

void notify_registered(const std::string &socket_path, long registered, long due)
{
	if (!socket_path.empty())
		notify(socket_path,
		       "STATUS=Registered at " + local_time(registered) + "; next run due at " + local_time(due));
}
