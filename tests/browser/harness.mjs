// Shared by the browser test and the latency bench: a private network namespace for the relay, its client,
// the multicast source and headless Chromium, and a probe in every page of what a viewer would notice.
import { spawn, spawnSync } from "node:child_process";
import { cp, mkdtemp, rm, writeFile } from "node:fs/promises";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
export const BUILD = path.resolve(ROOT, process.env.QB_BUILD_DIR || "build");
export const SOURCE = "239.255.0.1:5000";
const netns = `qb-browser-${process.pid}`;
let work, context, children = [];

export function sh(...command) {
  const result = spawnSync(command[0], command.slice(1), { encoding: "utf8" });
  if (result.status !== 0) throw new Error(`${command.join(" ")}: ${result.stderr || result.error}`);
  return result.stdout;
}

export function inNetns(command, options = {}) {
  const child = spawn("ip", ["netns", "exec", netns, ...command], { stdio: ["ignore", "pipe", "pipe"], ...options });
  child.output = "";
  for (const stream of [child.stdout, child.stderr]) stream.on("data", (chunk) => { child.output += chunk; });
  child.exited = new Promise((resolve) => child.on("exit", resolve));
  children.push(child);
  return child;
}

export async function stopChildren(which = children) {
  for (const child of which) if (child.exitCode === null && child.signalCode === null) child.kill("SIGKILL");
  await Promise.all(which.map((child) => child.exited));
  children = children.filter((child) => !which.includes(child));
}

export const startRelay = () => inNetns([path.join(BUILD, "quillbrook")], { cwd: path.join(work, "www"),
  env: { ...process.env, HOME: work } });
export const startClient = (description) => inNetns([path.join(BUILD, "client/quillbrook-client"),
  "--wait-for-relay", "10", description]);
export const startSource = (file, seconds) => inNetns([path.join(BUILD, "tools/mcast_send"), file,
  ...SOURCE.split(":"), "--realtime", "--loop", "--max-seconds", String(seconds)]);

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
    // In its low-latency mode Shaka lists parts alone; a segment's first starts where the segment does.
    return new Map([...window.shakaPlayer.getManifest().variants[0].video.segmentIndex]
      .map((ref) => [/hlsMcast_(\d+)(?:\.0)?\.ts/.exec(ref?.getUris()[0])?.[1], ref?.getStartTime()])
      .filter(([n]) => n).map(([n, t]) => [+n, t]));
  }
  const state = window.probe = { playing: false, longestStillMs: 0, sizes: new Set(), segmentStarts };
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

// The namespace, a folder the relays serve the page, hls.js, Shaka Player
// and video.js from, and Chromium with the probe in every page.
export async function setUp() {
  work = await mkdtemp(path.join(tmpdir(), "qb-browser-"));
  sh(path.join(ROOT, "scripts/netns.sh"), "add", netns);
  await cp(path.join(BUILD, "player"), path.join(work, "www"), { recursive: true });
  for (const file of ["tests/browser/players.html", "node_modules/shaka-player/dist/shaka-player.compiled.js",
    "node_modules/video.js/dist/video.min.js"]) {
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
  return context;
}

export async function tearDown() {
  if (context) await context.close();
  await stopChildren();
  spawnSync(path.join(ROOT, "scripts/netns.sh"), ["del", netns]);
  if (work) await rm(work, { recursive: true, force: true });
}
