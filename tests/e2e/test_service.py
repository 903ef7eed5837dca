"""The Debian package and its service unit: what the package holds, systemd's
verdict on the unit, and the unit's own command line run as systemd would run
it (an unprivileged user with only the unit's capabilities and environment,
in the installed player folder), inside a namespace, playing a stream."""
import os
import re
import shlex
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest
import wire
from conftest import HTTP_PORT, PLAYLIST, ROOT, Process, client, http_get, poll

GROUP, UDP_PORT = "239.1.2.9", 5000
INSTANCE = f"{GROUP}:{UDP_PORT}"
UNIT = "lib/systemd/system/quillbrook@.service"
OUTSIDER = "198.51.100.7"  # a second address on the namespace's loopback
EXIT_FORBIDDEN = 6

pytestmark = pytest.mark.skipif("QB_SANITIZER_REPORTS" in os.environ,
                                reason="the package holds a Release build, without sanitizers")


def output(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True, timeout=900).stdout


@pytest.fixture(scope="module")
def package():
    deb = output(ROOT / "scripts/package.sh").strip()
    # Outside pytest's own temporary folders, which only root may enter: nobody must reach these.
    root, state = (Path(tempfile.mkdtemp(prefix=f"qb-{name}-")) for name in ("package", "state"))
    root.chmod(0o755)
    state.chmod(0o755)
    output("dpkg-deb", "-x", deb, root)
    yield deb, root, state
    shutil.rmtree(root)
    shutil.rmtree(state)


def test_package_holds_hardened_binaries_the_page_the_unit_and_the_readme(package):
    deb, root, _ = package
    paths = {line.split()[-1].removeprefix(".") for line in output("dpkg-deb", "-c", deb).splitlines()}
    assert {"/usr/bin/quillbrook", "/usr/bin/quillbrook-client", "/usr/share/quillbrook/www/index.html",
            "/usr/share/quillbrook/www/hls.min.js", f"/{UNIT}", "/usr/share/doc/quillbrook/README.md"} <= paths
    for binary in ("quillbrook", "quillbrook-client"):
        elf = output("readelf", "-dlW", "--dyn-syms", root / "usr/bin" / binary)
        assert re.search(r"FLAGS_1\).*NOW PIE", elf) and "GNU_RELRO" in elf, f"{binary}: no full RELRO or PIE"
        assert "__stack_chk_fail" in elf and re.search(r"__\w+_chk@", elf), f"{binary}: no stack protector or fortify"
    verify = subprocess.run(["systemd-analyze", "verify", f"{root / UNIT}:quillbrook@{INSTANCE}.service"],
                            capture_output=True, text=True)
    assert (verify.returncode, verify.stdout + verify.stderr) == (0, "")


def test_the_units_command_line_plays_a_stream_and_refuses_outside_control(package, netns, make_stream):
    """The unit's ExecStart, as systemd expands it, run by nobody with the unit's
    capabilities, environment and working directory; /usr is the unpacked package's."""
    _, root, state = package
    lines = [line.partition("=") for line in (root / UNIT).read_text().splitlines() if not line.startswith("#")]
    settings = {key: [v for k, _, v in lines if k == key] for key, equals, _ in lines if equals}

    def expand(value):
        value = value.replace("%I", INSTANCE).replace("%S", str(state)).replace("$$", "$")
        return value.replace("/usr/", f"{root}/usr/")
    (state / settings["StateDirectory"][0]).mkdir()
    shutil.chown(state / settings["StateDirectory"][0], "nobody", "nogroup")
    caps = ",".join("+" + cap.lower().removeprefix("cap_") for cap in settings["AmbientCapabilities"][0].split())
    env = dict(expand(item).split("=", 1) for item in settings["Environment"])
    service = Process(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--no-new-privs",
                       f"--inh-caps=-all,{caps}", f"--ambient-caps={caps}", f"--bounding-set=-all,{caps}",
                       *shlex.split(expand(settings["ExecStart"][0]))],
                      Path(env["XDG_DATA_HOME"]) / "ombrix/quillbrook.log", cwd=expand(settings["WorkingDirectory"][0]),
                      env={**env, "PATH": "/usr/bin:/bin"}, start_new_session=True)
    try:
        poll(lambda: "Entering mcast receive loop" in service.log() or service.proc.poll() is not None,
             what="the stream to start")
        assert service.proc.poll() is None, service.output
        wire.send_datagrams(wire.datagrams_of(make_stream(12).read_bytes()), GROUP, UDP_PORT, 35e6, max_seconds=30)
        poll(lambda: http_get(PLAYLIST)[0] == 200, what="the playlist")

        subprocess.run(["ip", "addr", "add", f"{OUTSIDER}/32", "dev", "lo"], check=True)

        outsider = client("--host", OUTSIDER, INSTANCE)
        assert outsider.wait_exit() == EXIT_FORBIDDEN
        assert outsider.output == (f"quillbrook-client: the relay on {OUTSIDER}:{HTTP_PORT} refused the control "
                                   "connection (status 403); it takes control only from the hosts in its "
                                   "QUILLBROOK_CONTROL_FROM\n")
        service.wait_log(f"Websocket connection from {OUTSIDER} refused: not in QUILLBROOK_CONTROL_FROM")
        assert service.proc.poll() is None and "IGMP socket error" not in service.log()
    finally:
        os.killpg(service.proc.pid, 9)
        service.proc.wait()
