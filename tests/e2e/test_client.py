"""quillbrook-client against the real relay: it prints the version, starts the
stream, shows progress until the playlist answers, and ends the relay on
Ctrl-C; without a relay, against a relay that already streams, and when the
relay goes away, it says so and exits with its own code."""
import os
import pty
import re
import signal

from conftest import VERSION_TEXT, client, poll, sender

GROUP, UDP_PORT = "239.255.0.3", 5004
EXIT_USAGE, EXIT_NO_RELAY, EXIT_REFUSED, EXIT_RELAY_CLOSED = 2, 3, 4, 5


def test_client_starts_the_stream_shows_progress_and_ends_the_relay_on_ctrl_c(relay, make_stream):
    relay.start()
    controller, terminal = pty.openpty()
    os.set_blocking(controller, False)
    seen = []

    def screen(text):
        try:
            seen.append(os.read(controller, 4096).decode(errors="replace"))
        except BlockingIOError:
            pass
        return text in "".join(seen)

    try:
        c = client(f"{GROUP}:{UDP_PORT}:0x1E1", stdout=terminal)
        poll(lambda: screen(f"connected to 127.0.0.1:8154: {VERSION_TEXT}\r\n"), what="the version")
        relay.wait_log(f"mcastAddr={GROUP}, port={UDP_PORT}, vidPid(passed-in)=1e1\n")
        # On a terminal the waiting line is rewritten in place, once a second.
        poll(lambda: screen("") and len(set(re.findall(r"\rwaiting for first segments \((\d+) s\)\x1b\[K",
                                                          "".join(seen)))) >= 2, what="the line to be rewritten")
        source = sender(make_stream(12, 0x1E1), GROUP, UDP_PORT, "--realtime")
        poll(lambda: screen("playlist: http://127.0.0.1:8154/hlsMcast.m3u8\r\n"), timeout=20, what="the playlist")
        poll(lambda: screen(" segments available ("), what="progress")
        c.proc.send_signal(signal.SIGINT)
        assert c.wait_exit() == 0
        poll(lambda: screen("control connection closed; the relay has ended"), what="the last words")
        assert relay.wait_exit() == 0
        assert relay.log_lines()[-2:] == ["Websocket got 2 bytes of close", "Websocket exited, so are we"]
        source.stop()
    finally:
        os.close(controller)
        os.close(terminal)


def test_refused_and_abandoned_clients_say_why(relay):
    first = client(f"{GROUP}:{UDP_PORT}")
    assert first.wait_exit() == EXIT_NO_RELAY
    assert first.output == ("quillbrook-client: no relay is listening on 127.0.0.1:8154 (Connection refused); "
                            "start quillbrook first\n")

    relay.start()
    first = client(f"{GROUP}:{UDP_PORT}")
    relay.wait_log("Websocket received mcast stream info")
    second = client("239.255.0.9:5000")
    assert second.wait_exit() == EXIT_REFUSED
    assert re.fullmatch(r"quillbrook-client: the relay on 127\.0\.0\.1:8154 refused the control connection \(.*\); "
                        r"it already serves a stream for another client\n", second.output)
    (relay.workdir / "stop").touch()
    assert relay.wait_exit() == 0
    assert first.wait_exit() == EXIT_RELAY_CLOSED
    assert first.output.endswith("quillbrook-client: the relay closed the control connection; it has stopped\n")


def test_usage_is_explained(netns):
    bad = client()
    assert bad.wait_exit() == EXIT_USAGE
    assert bad.output == "quillbrook-client: no stream given\nTry 'quillbrook-client --help'.\n"
    usage = client("--help")
    assert usage.wait_exit() == 0
    assert usage.output.startswith("Usage: quillbrook-client [--host HOST] [--port PORT] GROUP:PORT[:PID]\n")
