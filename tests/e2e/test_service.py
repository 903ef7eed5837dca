"""The Debian package and its service unit: what the package holds, systemd's
verdict on the unit, and the unit's own command line run as systemd would run
it (an unprivileged user with only the unit's capabilities and environment,
in the installed player folder), inside a namespace, playing a stream."""
import asyncio
import os
import re
import shlex
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest
import websockets

from conftest import HTTP_PORT, ROOT, http_get, mcast_send, poll

GROUP, UDP_PORT = "239.1.2.9", 5000
INSTANCE = f"{GROUP}:{UDP_PORT}"
UNIT = "lib/systemd/system/quillbrook@.service"
OUTSIDER = "198.51.100.7"  # a second address on the namespace's loopback

pytestmark = pytest.mark.skipif("QB_SANITIZER_REPORTS" in os.environ,
                                reason="the package holds a Release build, without sanitizers")


@pytest.fixture(scope="module")
def package():
    deb = subprocess.run([str(ROOT / "scripts/package.sh")], check=True, capture_output=True, text=True,
                         timeout=900).stdout.strip()
    root = Path(tempfile.mkdtemp(prefix="qb-package-"))
    subprocess.run(["dpkg-deb", "-x", deb, str(root)], check=True)
    root.chmod(0o755)  # the unprivileged user must reach the binaries
    yield deb, root
    shutil.rmtree(root)


def unit_settings(root):
    settings = {}
    for line in (root / UNIT).read_text().splitlines():
        key, equals, value = line.partition("=")
        if equals and not line.startswith("#"):
            settings.setdefault(key, []).append(value)
    return settings


def test_package_holds_hardened_binaries_the_page_the_unit_and_the_readme(package):
    deb, root = package
    listing = subprocess.run(["dpkg-deb", "-c", deb], check=True, capture_output=True, text=True).stdout
    paths = {line.split()[-1].removeprefix(".") for line in listing.splitlines()}
    assert {"/usr/bin/quillbrook", "/usr/bin/quillbrook-client", "/usr/share/quillbrook/www/index.html",
            "/usr/share/quillbrook/www/hls.min.js", f"/{UNIT}", "/usr/share/doc/quillbrook/README.md"} <= paths
    depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], check=True, capture_output=True, text=True).stdout
    assert "libcivetweb1" in depends
    for binary in ("quillbrook", "quillbrook-client"):
        elf = subprocess.run(["readelf", "-dlW", "--dyn-syms", root / "usr/bin" / binary], check=True,
                             capture_output=True, text=True).stdout
        assert re.search(r"FLAGS_1\).*NOW PIE", elf) and "GNU_RELRO" in elf, f"{binary}: no full RELRO or PIE"
        assert "__stack_chk_fail" in elf and re.search(r"__\w+_chk@", elf), f"{binary}: no stack protector or fortify"
    verify = subprocess.run(["systemd-analyze", "verify", f"{root / UNIT}:quillbrook@{INSTANCE}.service"],
                            capture_output=True, text=True)
    assert (verify.returncode, verify.stdout + verify.stderr) == (0, "")


def start_as_the_unit(root, state):
    """The unit's ExecStart, as systemd expands it, run by nobody with the
    unit's capabilities, environment and working directory; /usr is the
    unpacked package's."""
    settings = unit_settings(root)

    def expand(value):
        value = value.replace("%I", INSTANCE).replace("%S", str(state)).replace("$$", "$")
        return value.replace("/usr/", f"{root}/usr/")
    (state / settings["StateDirectory"][0]).mkdir()
    shutil.chown(state / settings["StateDirectory"][0], "nobody", "nogroup")
    caps = ",".join("+" + cap.lower().removeprefix("cap_") for cap in settings["AmbientCapabilities"][0].split())
    env = dict(expand(item).split("=", 1) for item in settings["Environment"])
    env["PATH"] = "/usr/bin:/bin"
    log_path = Path(env["XDG_DATA_HOME"]) / "ombrix/quillbrook.log"  # before the start: nothing may outlive a failure
    command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--no-new-privs",
               f"--inh-caps=-all,{caps}", f"--ambient-caps={caps}", f"--bounding-set=-all,{caps}",
               *shlex.split(expand(settings["ExecStart"][0]))]
    with open(state / "service-output", "wb") as output:
        service = subprocess.Popen(command, cwd=expand(settings["WorkingDirectory"][0]), env=env,
                                   stdin=subprocess.DEVNULL, stdout=output, stderr=output, start_new_session=True)
    return service, log_path


def test_the_units_command_line_plays_a_stream_and_refuses_outside_control(package, netns, make_stream):
    _, root = package
    state = Path(tempfile.mkdtemp(prefix="qb-state-"))
    state.chmod(0o755)
    service, log_path = start_as_the_unit(root, state)
    log = lambda: log_path.read_text(errors="replace") if log_path.exists() else ""  # noqa: E731
    try:
        poll(lambda: "Entering mcast receive loop" in log() or service.poll() is not None, what="the stream to start")
        assert service.poll() is None, (state / "service-output").read_text()

        mcast_send.send_datagrams(mcast_send.datagrams_of(make_stream(5).read_bytes()), GROUP, UDP_PORT, 35e6,
                                  max_seconds=30)
        status, _, playlist = poll(lambda: (r := http_get("/hlsMcast.m3u8"))[0] == 200 and r, what="the playlist")
        segment = re.search(rb"http://[^/]+(/hlsMcast_\d+\.ts)", playlist).group(1).decode()
        status, _, body = http_get(segment)
        assert status == 200 and body[:1] == b"\x47"

        subprocess.run(["ip", "addr", "add", f"{OUTSIDER}/32", "dev", "lo"], check=True)

        async def control_from_outside():
            async with websockets.connect(f"ws://{OUTSIDER}:{HTTP_PORT}/", subprotocols=["ObQuillbrook"]):
                pass
        with pytest.raises(websockets.InvalidHandshake):
            asyncio.run(control_from_outside())
        poll(lambda: f"Websocket connection from {OUTSIDER} refused: not in QUILLBROOK_CONTROL_FROM" in log(),
             what="the refusal in the log")
        assert service.poll() is None and http_get("/hlsMcast.m3u8")[0] == 200
        assert log().count("Websocket connection received") == 1
        assert "IGMP socket error" not in log()
    finally:
        os.killpg(service.pid, 9)
        service.wait()
        shutil.rmtree(state)
