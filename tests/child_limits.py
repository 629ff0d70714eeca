"""Limits a forked test child puts on itself before it meets a hostile input or a fault."""

import os
import resource
import signal


def limit_this_process(*, user=None, file_size=None, address_space=None):
    """Run on as ``user``, with writes cut at ``file_size`` bytes and ``address_space`` more bytes to map.

    A write past the file size limit fails with EFBIG, as on a full disk,
    instead of ending the process. The sanitizer's shadow memory reserves
    terabytes of address space, so under it no address-space cap is set.
    """
    if user is not None:
        os.setgid(user)
        os.setuid(user)
    if file_size is not None:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (file_size, resource.RLIM_INFINITY))
    if address_space is not None and "libasan" not in os.environ.get("LD_PRELOAD", ""):
        with open("/proc/self/status") as status:
            used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (used + address_space, resource.RLIM_INFINITY))
