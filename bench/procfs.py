"""What the benchmark reads from /proc, and small waiting helpers."""
import os
import sys
import time
from pathlib import Path


def log(text):
    print(text, file=sys.stderr, flush=True)


def poll(predicate, timeout, what, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)



# ---- measurements read from /proc ------------------------------------------

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


def udp_counters():
    with open("/proc/net/snmp") as f:
        lines = [line.split() for line in f if line.startswith("Udp:")]
    return dict(zip(lines[0][1:], map(int, lines[1][1:])))


def udp_socket(port):
    """(receive queue bytes, drops) of the UDP socket bound to port."""
    with open("/proc/net/udp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port:
                return int(fields[4].split(":")[1], 16), int(fields[12])
    return None


def vm_hwm_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class TextTail:
    """Counts lines with given prefixes appended to a log since the last look,
    following one rotation to a backup file."""

    def __init__(self, path, backup=None):
        self.path, self.backup = Path(path), Path(backup) if backup else None
        self.inode, self.offset = None, 0

    def read_new(self):
        try:
            info = self.path.stat()
        except FileNotFoundError:
            return ""
        text = ""
        if self.inode is not None and info.st_ino != self.inode and self.backup and self.backup.exists():
            with open(self.backup, "rb") as f:
                f.seek(self.offset)
                text += f.read().decode(errors="replace")
            self.offset = 0
        elif info.st_size < self.offset:
            self.offset = 0
        self.inode = info.st_ino
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        self.offset += len(data)
        return text + data.decode(errors="replace")
