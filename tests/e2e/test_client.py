"""quillbrook-client against the real relay: it prints the version, starts
the stream, shows progress until the playlist answers, and ends the relay on
Ctrl-C; without a relay, against a relay that already streams, and when the
relay goes away, it says so and exits non-zero."""
import os
import pty
import re
import signal
import subprocess
import threading

import pytest

from conftest import BUILD, ROOT, VERSION_TEXT, poll

CLIENT_BINARY = BUILD / "client" / "quillbrook-client"
GROUP = "239.255.0.3"
UDP_PORT = 5004
DESCRIPTION = f"{GROUP}:{UDP_PORT}"
EXIT_NO_RELAY, EXIT_REFUSED, EXIT_RELAY_CLOSED, EXIT_USAGE = 3, 4, 5, 2


class Client:
    """The client binary with its output collected as it arrives."""

    def __init__(self, *args, stdout=None):
        self.proc = subprocess.Popen([str(CLIENT_BINARY), *args], stdin=subprocess.DEVNULL,
                                     stdout=stdout or subprocess.PIPE, stderr=subprocess.PIPE)
        self._chunks = []
        self._readers = [threading.Thread(target=self._collect, args=(stream,), daemon=True)
                         for stream in (self.proc.stdout, self.proc.stderr) if stream]
        for reader in self._readers:
            reader.start()

    def _collect(self, stream):
        for chunk in iter(lambda: stream.read1(4096), b""):
            self._chunks.append(chunk.decode(errors="replace"))

    @property
    def output(self):
        return "".join(self._chunks)

    def wait_output(self, text, timeout=10.0):
        return poll(lambda: text in self.output, timeout, what=f"client output {text!r}")

    def wait_exit(self, timeout=10.0):
        poll(lambda: self.proc.poll() is not None, timeout, what="client to exit")
        for reader in self._readers:
            reader.join(timeout)
        return self.proc.returncode

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def clients():
    started = []
    yield lambda *args, **kw: started.append(Client(*args, **kw)) or started[-1]
    for client in started:
        client.stop()


@pytest.fixture(scope="session")
def test_stream(tmp_path_factory):
    path = tmp_path_factory.mktemp("client-stream") / "stream.ts"
    subprocess.run([str(ROOT / "tools/make_test_stream.sh"), str(path), "12"], check=True)
    return path


@pytest.fixture
def sender(test_stream):
    proc = subprocess.Popen(["/usr/bin/python3", str(ROOT / "tools/mcast_send.py"), str(test_stream), GROUP,
                             str(UDP_PORT), "--realtime", "--loop", "--max-seconds", "60"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    yield proc
    proc.kill()
    proc.wait()


def test_client_starts_the_stream_shows_progress_and_ends_the_relay_on_ctrl_c(relay, clients, sender):
    relay.start()
    client = clients(DESCRIPTION)
    client.wait_output(f"connected to 127.0.0.1:8154: {VERSION_TEXT}\n")
    relay.wait_log(f"Websocket received mcast stream info: mcastAddr={GROUP}, port={UDP_PORT}, "
                   "vidPid(default)=100\n")
    client.wait_output("waiting for first segments")
    client.wait_output("playlist: http://127.0.0.1:8154/hlsMcast.m3u8\n", timeout=20)
    client.wait_output(" segments available (")

    client.proc.send_signal(signal.SIGINT)
    assert client.wait_exit() == 0, client.output
    assert relay.wait_exit() == 0
    assert client.output.endswith("control connection closed; the relay has ended\n")
    lines = relay.log_lines()
    assert lines[-2:] == ["Websocket got 2 bytes of close", "Websocket exited, so are we"]


def test_client_sends_the_video_pid_in_hex(relay, clients):
    relay.start()
    client = clients(f"{GROUP}:{UDP_PORT}:0x1E1")
    relay.wait_log(f"Websocket received mcast stream info: mcastAddr={GROUP}, port={UDP_PORT}, "
                   "vidPid(passed-in)=1e1\n")
    client.proc.send_signal(signal.SIGTERM)
    assert client.wait_exit() == 0, client.output
    assert relay.wait_exit() == 0


def test_progress_is_one_rewritten_line_on_a_terminal(relay, clients):
    relay.start()
    controller, terminal = pty.openpty()
    try:
        client = clients(DESCRIPTION, stdout=terminal)
        seen = []

        def read_terminal():
            seen.append(os.read(controller, 4096).decode(errors="replace"))
            return len(set(re.findall(r"\rwaiting for first segments \((\d+) s\)\x1b\[K", "".join(seen)))) >= 2

        poll(read_terminal, timeout=10, what="the progress line to be rewritten")
        client.proc.send_signal(signal.SIGINT)
        assert client.wait_exit() == 0
        assert relay.wait_exit() == 0
    finally:
        os.close(controller)
        os.close(terminal)


def test_no_relay_listening(netns, clients):
    client = clients(DESCRIPTION)
    assert client.wait_exit() == EXIT_NO_RELAY
    assert client.output == ("quillbrook-client: no relay is listening on 127.0.0.1:8154 (Connection refused); "
                             "start quillbrook first\n")


def test_second_client_is_refused_once_a_stream_runs(relay, clients):
    relay.start()
    first = clients(DESCRIPTION)
    first.wait_output("described stream")
    relay.wait_log("Websocket received mcast stream info")

    second = clients("239.255.0.9:5000")
    assert second.wait_exit() == EXIT_REFUSED
    assert "quillbrook-client: the relay on 127.0.0.1:8154 refused the control connection (" in second.output
    assert second.output.endswith("); it already serves a stream for another client\n")
    relay.wait_log("ERROR: Websocket connection received, but one already exists\n")
    assert relay.proc.poll() is None

    first.proc.send_signal(signal.SIGINT)
    assert first.wait_exit() == 0
    assert relay.wait_exit() == 0


def test_relay_going_away_ends_the_client_with_a_message(relay, clients):
    relay.start()
    client = clients(DESCRIPTION)
    client.wait_output("described stream")
    (relay.workdir / "stop").touch()
    assert relay.wait_exit() == 0
    assert client.wait_exit() == EXIT_RELAY_CLOSED
    assert client.output.endswith("quillbrook-client: the relay closed the control connection; it has stopped\n")


@pytest.mark.parametrize("args, message", [
    ([], "no stream given"),
    (["239.255.0.1"], "expected GROUP:PORT or GROUP:PORT:PID, got \"239.255.0.1\""),
    (["192.168.1.1:5000"], "\"192.168.1.1\" is not an IPv4 multicast group (224.0.0.0 to 239.255.255.255)"),
])
def test_bad_arguments_are_explained(clients, args, message):
    client = clients(*args)
    assert client.wait_exit() == EXIT_USAGE
    assert client.output == f"quillbrook-client: {message}\nTry 'quillbrook-client --help'.\n"


def test_help_explains_usage(clients):
    client = clients("--help")
    assert client.wait_exit() == 0
    for text in ("Usage: quillbrook-client [--host HOST] [--port PORT] GROUP:PORT[:PID]", "--host HOST",
                 "--port PORT", "Ctrl-C", "Exit codes:"):
        assert text in client.output
