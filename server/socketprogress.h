#pragma once

#include <cstdint>

// The bytes the peer of TCP socket `fd` has acknowledged since the
// connection began: they grow while the peer takes what is sent, whatever
// the send buffer holds. -1 when the kernel cannot say.
int64_t BytesAcked(int fd);
