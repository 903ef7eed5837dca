// Players in a real browser: headless Chromium plays the relay's live streams
// (60 frames/s, one program of three, 1080p) in our hls.js page, Shaka Player
// and video.js, while the relay, its client and a multicast source run in a
// private network namespace. Leaves screenshots in <build>/browser-test/.
import assert from "node:assert/strict";
import { spawn, spawnSync } from "node:child_process";
import { cp, mkdtemp, rm, writeFile } from "node:fs/promises";
import { tmpdir } from "node:os";
import path from "node:path";
import { after, before, test } from "node:test";
import { setTimeout as sleep } from "node:timers/promises";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const BUILD = path.resolve(ROOT, process.env.QB_BUILD_DIR || "build");
const OUTPUT = path.join(BUILD, "browser-test");
const SOURCE = "239.255.0.1:5000";
// From the one cache of test streams, 60 s each: most players' turns end sooner, and the rest see a seamless loop.
// The multiplex's second program is named: [video PID, picture size, service name]; audio on the next PID.
const PROGRAMS = [[0x200, "1280x720", "One"], [0x300, "960x540", "Two"], [0x400, "640x360", "Three"]];
const STREAMS = [
  { name: "60 fps", fps: 60, size: "426x240", players: ["hls.js", "hls.js classic", "Shaka"], recipe: ["60"] },
  { name: "program 2 of 3", fps: 25, size: "960x540", pid: "300", players: ["hls.js", "Shaka", "video.js"],
    recipe: ["60", "0x200", PROGRAMS.map(([, size], i) => `testsrc2=size=${size}:rate=25[out${i}]`).join(";"),
      "-map 1:a -map 1:a -c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 3 -g 50 -keyint_min 50 -sc_threshold 0 \
-b:v 1500k -maxrate 1500k -bufsize 3000k -c:a aac", PROGRAMS.map(([pid, , name], i) => `-streamid ${i}:${pid} -streamid \
${i + 3}:${pid + 1} -program title=${name}:program_num=${i + 1}:st=${i}:st=${i + 3}`).join(" ")] },
  { name: "1080p25 12 Mbit/s", fps: 25, size: "1920x1080", players: ["hls.js", "Shaka"], recipe: ["60", "0x100",
    "testsrc2=size=1920x1080:rate=25,noise=alls=12", "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 50 \
-keyint_min 50 -sc_threshold 0 -b:v 12M -maxrate 12M -bufsize 12M -c:a aac"] },
];
// Our page is opened before the source starts, so it has to wait and retry; a
// javascript: playlist address must give way to the relay's own. It plays the
// low-latency playlist, or with ?classic the classic one; Shaka plays the
// classic one, since it shows too few frames of MPEG-TS parts.
const PLAYERS = [
  { name: "hls.js", page: "/?src=javascript:document.title='ran'", errors: () => window.quillbrook.fatalErrors },
  { name: "hls.js classic", page: "/?classic", errors: () => window.quillbrook.fatalErrors },
  { name: "Shaka", page: "/shaka.html", errors: () => window.playerErrors },
  { name: "video.js", page: "/videojs.html", errors: () => window.playerErrors },
];
const netns = `qb-browser-${process.pid}`;
let work, context, children = [];

function sh(...command) {
  const result = spawnSync(command[0], command.slice(1), { encoding: "utf8" });
  if (result.status !== 0) throw new Error(`${command.join(" ")}: ${result.stderr || result.error}`);
  return result.stdout;
}

function inNetns(command, options = {}) {
  const child = spawn("ip", ["netns", "exec", netns, ...command], { stdio: ["ignore", "pipe", "pipe"], ...options });
  child.output = "";
  for (const stream of [child.stdout, child.stderr]) stream.on("data", (chunk) => { child.output += chunk; });
  child.exited = new Promise((resolve) => child.on("exit", resolve));
  children.push(child);
  return child;
}

async function stopChildren() {
  for (const child of children) if (child.exitCode === null && child.signalCode === null) child.kill("SIGKILL");
  await Promise.all(children.map((child) => child.exited));
  children = [];
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
    const hls = window.quillbrook?.hls, vhs = window.videojsPlayer?.tech(true).vhs;
    if (hls) return new Map(hls.levels[Math.max(hls.currentLevel, 0)].details.fragments.map((f) => [f.sn, f.start]));
    const media = vhs?.playlists.media();  // VHS knows a segment's start once it has loaded it
    if (media) return new Map(media.segments.map((s, i) => [media.mediaSequence + i, s.start]).filter(([, t]) => t >= 0));
    return new Map([...window.shakaPlayer.getManifest().variants[0].video.segmentIndex].filter(Boolean)
      .map((ref) => [+/hlsMcast_(\d+)/.exec(ref.getUris()[0])[1], ref.getStartTime()]));
  }
  const state = window.probe = { playing: false, longestStillMs: 0, sizes: new Set() };
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
      state.sizes.add(`${video.videoWidth}x${video.videoHeight}`);
      video.requestVideoFrameCallback(presented);
    });
    state.sample = () => {
      const quality = video.getVideoPlaybackQuality();
      const sample = { wallMs: Date.now(), time: video.currentTime, frames: quality.totalVideoFrames,
        dropped: quality.droppedVideoFrames, longestStillMs: state.longestStillMs, sizes: [...state.sizes] };
      state.longestStillMs = 0;
      state.sizes.clear();
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
  work = await mkdtemp(path.join(tmpdir(), "qb-browser-"));
  sh(path.join(ROOT, "scripts/netns.sh"), "add", netns);
  // The relays serve the page, hls.js, Shaka Player and video.js from here.
  await cp(path.join(BUILD, "player"), path.join(work, "www"), { recursive: true });
  for (const file of ["tests/browser/shaka.html", "node_modules/shaka-player/dist/shaka-player.compiled.js",
    "tests/browser/videojs.html", "node_modules/video.js/dist/video.min.js"]) {
    await cp(path.join(ROOT, file), path.join(work, "www", path.basename(file)));
  }
  // Chromium lives in the namespace too; Playwright drives it over inherited
  // pipes, which ip netns exec passes through.
  const launcher = path.join(work, "chromium-in-netns");
  await writeFile(launcher, `#!/bin/sh\nexec ip netns exec ${netns} /usr/bin/chromium "$@"\n`, { mode: 0o755 });
  context = await chromium.launchPersistentContext(path.join(work, "profile"), {
    executablePath: launcher, headless: true, viewport: { width: 1100, height: 620 },
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
      "--disable-sync", "--no-first-run", "--autoplay-policy=no-user-gesture-required"],
  });
  await context.addInitScript(probe);
});

after(async () => {
  if (context) await context.close();
  await stopChildren();
  spawnSync(path.join(ROOT, "scripts/netns.sh"), ["del", netns]);
  if (work) await rm(work, { recursive: true, force: true });
});

// After the settle period, at least 95% of the frames the playback passes are
// shown, each in the stream's picture size, playback keeps pace with the wall
// clock (a frozen picture shows no dropped frames), the picture never stands
// still for half a second, and it stays within 10 s of the source.
async function play(page, player, { name, fps, size }) {
  await page.waitForFunction(() => window.probe.playing, null, { timeout: 36_000 });
  await sleep(6000);  // players seek and fill their buffers at first; what counts is how they go on
  const first = await page.evaluate(() => window.probe.sample());
  const latencies = [];
  for (const end = Date.now() + 12_000; Date.now() < end; await sleep(1000)) {
    latencies.push(await page.evaluate(() => window.probe.latency()));
  }
  const last = await page.evaluate(() => window.probe.sample());
  const played = last.time - first.time;
  const result = { shown: (last.frames - first.frames - (last.dropped - first.dropped)) / (played * fps),
    pace: played * 1000 / (last.wallMs - first.wallMs), longestStillMs: last.longestStillMs,
    latency: Math.max(...latencies), sizes: last.sizes, errors: [...page.errors, ...await page.evaluate(player.errors)] };
  console.log(`# ${player.name}, ${name}: ${JSON.stringify(result)}`);
  assert.ok(result.shown >= 0.95 && result.pace >= 0.95 && result.longestStillMs < 500 && result.latency < 10 &&
    result.sizes.join() === size, JSON.stringify(result));
  assert.deepEqual(result.errors, []);
}

for (const stream of STREAMS) {
  test(`${stream.name} plays in ${stream.players.join(", ")}`, async (t) => {
    t.after(stopChildren);  // before the next stream's relay starts, whatever happens here
    const source = sh(path.join(ROOT, "tools/test_stream.sh"), ...stream.recipe).trim();
    inNetns([path.join(BUILD, "quillbrook")], { cwd: path.join(work, "www"), env: { ...process.env, HOME: work } });
    const client = inNetns([path.join(BUILD, "client/quillbrook-client"), "--wait-for-relay", "10",
      [SOURCE, stream.pid].filter(Boolean).join(":")]);
    for (const deadline = Date.now() + 15_000; !client.output.includes("described stream"); await sleep(100)) {
      assert.ok(Date.now() < deadline, `no stream described: ${client.output}`);
    }
    for (const player of PLAYERS.filter((p) => stream.players.includes(p.name))) {
      const page = await context.newPage();
      page.errors = [];
      page.on("pageerror", (error) => page.errors.push(String(error)));
      await page.goto(`http://127.0.0.1:8154${player.page}`);
      try {
        if (player === PLAYERS[0]) {
          await page.waitForFunction(() => window.quillbrook?.state === "waiting", null, { timeout: 10_000 });
          assert.equal(await page.evaluate(() => document.getElementById("source").href),
            "http://127.0.0.1:8154/hlsMcast_ll.m3u8");
          inNetns([path.join(BUILD, "tools/mcast_send"), source, ...SOURCE.split(":"), "--realtime", "--loop",
            "--max-seconds", "300"]);
        }
        await play(page, player, stream);
      } finally {
        await page.screenshot({ path: path.join(OUTPUT, `${player.name}-${stream.name.replace(/\W+/g, "-")}.png`) });
        await page.close();
      }
    }
  });
}
