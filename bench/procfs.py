"""What the benchmarks read from /proc, and waiting with a deadline."""
import os
import sys
import time


def log(text):
    print(text, file=sys.stderr, flush=True)


def poll(predicate, timeout, what, interval=0.05):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)
    return value


def cpu_seconds(pid):
    """User plus system time of all the process's threads, in seconds, at
    nanosecond resolution (/proc/PID/stat counts in 10 ms ticks)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total / 1e9


def udp_datagrams_read():
    """Datagrams that programs in this namespace have read from UDP sockets."""
    with open("/proc/net/snmp") as f:
        names, values = [line.split() for line in f if line.startswith("Udp:")][:2]
    return int(values[names.index("InDatagrams")])


def udp_socket(port):
    """(receive queue bytes, drops) of the UDP socket bound to port, or None."""
    with open("/proc/net/udp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port:
                return int(fields[4].split(":")[1], 16), int(fields[12])
    return None


def vm_hwm_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
