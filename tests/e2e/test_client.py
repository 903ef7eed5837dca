"""quillbrook-client against the real relay: the version, the stream, progress until the playlist answers,
Ctrl-C ending the relay; without a relay, against one that already streams and when misused, what it says
and its exit code (for a relay that goes away, see the hostile-hosts run). A relay no client takes ends."""
import os
import pty
import re
import signal

from conftest import VERSION_TEXT, client, poll, sender

GROUP, UDP_PORT = "239.255.0.3", 5004
EXIT_USAGE, EXIT_NO_RELAY, EXIT_REFUSED = 2, 3, 4


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
        second = client("239.255.0.9:5000")
        assert second.wait_exit() == EXIT_REFUSED
        assert re.fullmatch(r"quillbrook-client: the relay on 127\.0\.0\.1:8154 refused the control connection "
                            r"\(.*\); it already serves a stream for another client\n", second.output)
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


def test_misuse_no_relay_and_a_relay_without_client(relay):
    usage = client()
    assert usage.wait_exit() == EXIT_USAGE
    assert usage.output == "quillbrook-client: no stream given\nTry 'quillbrook-client --help'.\n"
    alone = client(f"{GROUP}:{UDP_PORT}")
    assert alone.wait_exit() == EXIT_NO_RELAY
    assert alone.output == ("quillbrook-client: no relay is listening on 127.0.0.1:8154 (Connection refused); "
                            "start quillbrook first\n")
    relay.start()
    assert relay.wait_exit() == 0 and relay.log_lines()[-1] == "Exiting"
