// Apart from the rest: the kernel's struct tcp_info, which has the count,
// clashes with the C library's, which does not.
#include "socketprogress.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

int64_t BytesAcked(int fd)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return -1;
    return static_cast<int64_t>(info.tcpi_bytes_acked);
}
