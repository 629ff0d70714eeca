"""Limits a forked test child puts on itself before it meets a hostile input or a fault."""

import ctypes
import os
import resource
import signal

# Linux capabilities that let root read, write and search a file whatever its modes say.
CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH = 1, 2
_PR_CAPBSET_DROP = 24
_CAPABILITY_VERSION_3 = 0x20080522


class _CapabilityHeader(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]


class _CapabilitySets(ctypes.Structure):
    _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32), ("inheritable", ctypes.c_uint32)]


def limit_this_process(*, bound_by_file_modes=False, file_size=None, address_space=None):
    """Go on bound by file modes even as root, with writes cut at ``file_size`` bytes and ``address_space`` more to map.

    A write past the file size limit fails with EFBIG, as on a full disk,
    instead of ending the process. The sanitizer's shadow memory reserves
    terabytes of address space, so under it no address-space cap is set.
    """
    if bound_by_file_modes and os.geteuid() == 0:
        _drop_file_mode_overrides()
    if file_size is not None:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (file_size, resource.RLIM_INFINITY))
    if address_space is not None and "libasan" not in os.environ.get("LD_PRELOAD", ""):
        with open("/proc/self/status") as status:
            used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (used + address_space, resource.RLIM_INFINITY))


def _drop_file_mode_overrides():
    """Let root meet file modes as an ordinary user does, here and in anything it starts.

    Only the two overriding capabilities go, from the effective, permitted,
    inheritable and bounding sets: the process stays root, the owner of what
    root made (the project's venv, the temporary folders, whatever their
    modes and those of their parents), and cannot take the two back. Changing
    to another user instead would lock the child out of whatever a private
    checkout or temporary folder keeps from others. ``access`` judges root by
    its permitted set, so the checks the code makes see the same modes.
    """
    libc = ctypes.CDLL(None, use_errno=True)
    dropped = (1 << CAP_DAC_OVERRIDE) | (1 << CAP_DAC_READ_SEARCH)
    for capability in (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH):
        if libc.prctl(_PR_CAPBSET_DROP, capability, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "cannot drop a capability from the bounding set")
    header = _CapabilityHeader(_CAPABILITY_VERSION_3, 0)
    sets = (_CapabilitySets * 2)()
    if libc.capget(ctypes.byref(header), sets) != 0:
        raise OSError(ctypes.get_errno(), "cannot read this process's capabilities")
    for name in ("effective", "permitted", "inheritable"):
        setattr(sets[0], name, getattr(sets[0], name) & ~dropped)
    if libc.capset(ctypes.byref(header), sets) != 0:
        raise OSError(ctypes.get_errno(), "cannot drop this process's capabilities")
