// Players in a real browser: headless Chromium plays the relay's live stream,
// 60 and 25 frames/s, in our hls.js page and in Shaka Player, while the
// relay, its client and a multicast source run in a private network
// namespace. Leaves screenshots in <build>/browser-test/.
import assert from "node:assert/strict";
import { spawn, spawnSync } from "node:child_process";
import { existsSync } from "node:fs";
import { chmod, cp, mkdir, mkdtemp, readFile, rm, writeFile } from "node:fs/promises";
import { tmpdir } from "node:os";
import path from "node:path";
import { after, before, test } from "node:test";
import { setTimeout as sleep } from "node:timers/promises";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const BUILD = path.resolve(ROOT, process.env.QB_BUILD_DIR || "build");
const OUTPUT = path.join(BUILD, "browser-test");
const SOURCE = ["239.255.0.1", "5000"];
const PLAY_DEADLINE_MS = 36_000;
// Players seek and fill their buffers at first; what counts is how they go on.
const SETTLE_MS = 6000;
const WINDOW_MS = 12_000;
// 60 s: longer than both players play, so the source is sent once, without a loop's seam.
const STREAMS = [
  { name: "60 fps", fps: 60, file: "browser-test-60.ts",
    make: (out) => [path.join(ROOT, "tools/make_test_stream.sh"), out, "60"] },
  { name: "25 fps", fps: 25, file: "browser-test-25.ts", make: (out) => [..."ffmpeg -nostdin -v error -y -f lavfi -i \
testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 60 -c:v libx264 -preset veryfast \
-pix_fmt yuv420p -bf 3 -g 50 -keyint_min 50 -sc_threshold 0 -b:v 1500k -maxrate 1500k -bufsize 3000k -c:a aac \
-streamid 0:0x100 -streamid 1:0x101 -f mpegts".split(" "), out] },
];
const PLAYERS = [
  { name: "hls.js", page: "/", errors: () => window.quillbrook.fatalErrors },
  { name: "Shaka Player", page: "/shaka.html", errors: () => window.playerErrors },
];
const netns = `qb-browser-${process.pid}`;
const children = [];
let work, context;

function sh(...command) {
  const result = spawnSync(command[0], command.slice(1), { encoding: "utf8" });
  if (result.status !== 0) throw new Error(`${command.join(" ")}: ${result.stderr || result.error}`);
}

// Every process of the test runs inside the namespace.
function startInNetns(command, options = {}) {
  const child = spawn("ip", ["netns", "exec", netns, ...command], { stdio: ["ignore", "pipe", "pipe"], ...options });
  child.output = "";
  for (const stream of [child.stdout, child.stderr]) stream.on("data", (chunk) => { child.output += chunk; });
  child.exited = new Promise((resolve) => child.on("exit", resolve));
  children.push(child);
  return child;
}

async function poll(what, predicate, timeoutMs = 10_000) {
  for (const deadline = Date.now() + timeoutMs; ; await sleep(100)) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
  }
}

// Runs in every page before its own scripts: what a viewer would notice.
function probe() {
  const listed = new Map();  // segment number -> [wall ms when first listed, EXTINF seconds]
  setInterval(async () => {
    const text = await fetch("/hlsMcast.m3u8", { cache: "no-store" }).then((r) => r.text(), () => "");
    for (const [, extinf, n] of text.matchAll(/#EXTINF:([\d.]+),\n\S*hlsMcast_(\d+)\.ts/g)) {
      if (!listed.has(+n)) listed.set(+n, [Date.now(), +extinf]);
    }
  }, 200);
  // Where each segment the player knows starts in its media time.
  function segmentStarts() {
    const hls = window.quillbrook?.hls;
    if (hls) return new Map(hls.levels[Math.max(hls.currentLevel, 0)].details.fragments.map((f) => [f.sn, f.start]));
    const index = window.shakaPlayer.getManifest().variants[0].video.segmentIndex;
    const starts = new Map();
    for (let at = index.getNumEvicted(); at < index.getNumEvicted() + index.getNumReferences(); at++) {
      const ref = index.get(at);
      starts.set(+/hlsMcast_(\d+)/.exec(ref.getUris()[0])[1], ref.getStartTime());
    }
    return starts;
  }
  const state = window.probe = { playing: false, longestStillMs: 0 };
  document.addEventListener("DOMContentLoaded", () => {
    const video = document.querySelector("video");
    video.addEventListener("playing", () => { state.playing = true; });
    // Shaka Player reports "waiting" for each gap it jumps, a few tenths of a
    // second even on ffmpeg's own HLS output; a stall is what a viewer sees: the
    // picture standing still.
    let lastFrameMs = 0;
    video.requestVideoFrameCallback(function presented(nowMs) {
      if (lastFrameMs) state.longestStillMs = Math.max(state.longestStillMs, nowMs - lastFrameMs);
      lastFrameMs = nowMs;
      video.requestVideoFrameCallback(presented);
    });
    state.sample = () => {
      const quality = video.getVideoPlaybackQuality();
      const sample = { wallMs: Date.now(), time: video.currentTime, frames: quality.totalVideoFrames,
        dropped: quality.droppedVideoFrames, longestStillMs: state.longestStillMs };
      state.longestStillMs = 0;
      return sample;
    };
    // The wall-clock lag behind the source: the newest segment listed ends,
    // in media time, where the stream stood when it was listed; the player's
    // own list places one of the segments before it.
    state.latency = () => {
      const starts = segmentStarts();
      const newest = Math.max(...listed.keys());
      const known = Math.max(...[...starts.keys()].filter((n) => listed.has(n) && n <= newest));
      let end = starts.get(known);
      for (let n = known; n <= newest; n++) end += listed.get(n)[1];
      return end + (Date.now() - listed.get(newest)[0]) / 1000 - video.currentTime;
    };
  });
}

before(async () => {
  await mkdir(OUTPUT, { recursive: true });
  work = await mkdtemp(path.join(tmpdir(), "qb-browser-"));
  sh("ip", "netns", "add", netns);
  for (const args of [["link", "set", "lo", "up"], ["link", "set", "lo", "multicast", "on"],
    ["route", "add", "224.0.0.0/4", "dev", "lo"]]) sh("ip", "netns", "exec", netns, "ip", ...args);
  // Chromium lives in the namespace too; Playwright drives it over inherited
  // pipes, which ip netns exec passes through.
  const launcher = path.join(work, "chromium-in-netns");
  await writeFile(launcher, `#!/bin/sh\nexec ip netns exec ${netns} /usr/bin/chromium "$@"\n`);
  await chmod(launcher, 0o755);
  context = await chromium.launchPersistentContext(path.join(work, "profile"), {
    executablePath: launcher, headless: true, viewport: { width: 1100, height: 620 },
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
      "--disable-sync", "--no-first-run", "--autoplay-policy=no-user-gesture-required"],
  });
  await context.addInitScript(probe);
});

after(async () => {
  if (context) await context.close();
  for (const child of children) if (child.exitCode === null && child.signalCode === null) child.kill("SIGKILL");
  await Promise.all(children.map((child) => child.exited));
  spawnSync("ip", ["netns", "del", netns]);
  if (work) await rm(work, { recursive: true, force: true });
});

// Plays the live stream in one player: after the settle period, at least 95%
// of the frames the playback passes are shown, playback keeps pace with the
// wall clock (a frozen picture shows no dropped frames), the picture never
// stands still for half a second, and it stays within 10 s of the source.
async function play(page, player, fps, label) {
  await page.waitForFunction(() => window.probe.playing, null, { timeout: PLAY_DEADLINE_MS });
  await sleep(SETTLE_MS);
  const first = await page.evaluate(() => window.probe.sample());
  const latencies = [];
  for (const end = Date.now() + WINDOW_MS; Date.now() < end; await sleep(1000)) {
    latencies.push(await page.evaluate(() => window.probe.latency()));
  }
  const last = await page.evaluate(() => window.probe.sample());
  const played = last.time - first.time;
  const shown = (last.frames - first.frames - (last.dropped - first.dropped)) / (played * fps);
  const pace = played * 1000 / (last.wallMs - first.wallMs);
  const result = { shown, pace, longestStillMs: last.longestStillMs, latency: Math.max(...latencies),
    errors: await page.evaluate(player.errors) };
  console.log(`# ${label}: ${JSON.stringify(result)}`);
  assert.ok(shown >= 0.95 && pace >= 0.95 && result.longestStillMs < 500 && result.latency < 10,
    JSON.stringify(result));
  assert.deepEqual(result.errors, []);
}

for (const stream of STREAMS) {
  test(`the ${stream.name} stream plays in hls.js and Shaka Player`, async (t) => {
    const source = path.join(BUILD, stream.file);
    if (!existsSync(source)) sh(...stream.make(source));
    const relayDir = path.join(work, `wd-${stream.fps}`);
    await cp(path.join(BUILD, "player"), relayDir, { recursive: true });
    await cp(path.join(ROOT, "tests/browser/shaka.html"), path.join(relayDir, "shaka.html"));
    await cp(path.join(ROOT, "node_modules/shaka-player/dist/shaka-player.compiled.js"),
      path.join(relayDir, "shaka-player.compiled.js"));
    const home = path.join(work, `home-${stream.fps}`);
    const log = path.join(home, ".local/share/ombrix/quillbrook.log");
    const readLog = () => readFile(log, "utf8").catch(() => "");
    // Gone before the next stream's relay starts, whatever happens here.
    const ownChildren = children.length;
    t.after(async () => {
      const own = children.slice(ownChildren);
      for (const child of own) if (child.exitCode === null && child.signalCode === null) child.kill("SIGKILL");
      await Promise.all(own.map((child) => child.exited));
    });
    const relay = startInNetns([path.join(BUILD, "quillbrook")],
      { cwd: relayDir, env: { ...process.env, HOME: home } });
    await poll("the relay to listen", async () => (await readLog()).includes("Browse files at http://127.0.0.1:8155/"));
    const client = startInNetns([path.join(BUILD, "client/quillbrook-client"), SOURCE.join(":")]);
    await poll("the client to describe the stream", () => client.output.includes("described stream"));

    // Our page, loaded before the source starts, has to wait and retry; a
    // javascript: playlist address must give way to the relay's own.
    let page = await context.newPage();
    const pageErrors = [];
    page.on("pageerror", (error) => pageErrors.push(String(error)));
    await page.goto("http://127.0.0.1:8154/?src=javascript:document.title='ran'");
    await page.waitForFunction(() => window.quillbrook?.state === "waiting", null, { timeout: 10_000 });
    assert.equal(await page.evaluate(() => document.getElementById("source").href),
      "http://127.0.0.1:8154/hlsMcast.m3u8");
    startInNetns(["/usr/bin/python3", path.join(ROOT, "tools/mcast_send.py"), source, ...SOURCE,
      "--realtime", "--max-seconds", "300"]);
    for (const player of PLAYERS) {
      await t.test(player.name, async (tp) => {
        if (player !== PLAYERS[0]) {
          page = await context.newPage();
          page.on("pageerror", (error) => pageErrors.push(String(error)));
          await page.goto(`http://127.0.0.1:8154${player.page}`);
        }
        tp.after(async () => {
          await page.screenshot({ path: path.join(OUTPUT, `${player.name.split(" ")[0]}-${stream.fps}.png`) });
          await page.close();
        });
        await play(page, player, stream.fps, `${player.name} at ${stream.name}`);
        if (player === PLAYERS[0]) {
          const status = await page.evaluate(() => ({ ...window.quillbrook, hls: null,
            shown: document.getElementById("sequence").textContent }));
          assert.equal(status.restarts, 0);
          assert.equal(status.shown, String(status.mediaSequence));
        }
        assert.deepEqual(pageErrors, []);
      });
    }

    // Ctrl-C on the client closes the control connection, which ends the relay.
    client.kill("SIGINT");
    assert.deepEqual([await client.exited, await relay.exited], [0, 0], client.output);
    assert.match(await readLog(), /Websocket exited, so are we/);
  });
}
