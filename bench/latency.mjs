// How far behind the source viewers see the picture, and how long a channel
// takes to start, in headless Chromium (the browser test's harness: relay,
// client, source and browser in a private network namespace). Run by
// scripts/bench-latency.sh as root.
//
// Latency: each player plays a stream for about a minute; after it settles,
// once a second, the wall clock less the time the picture shown left the
// source. On the low-latency playlist that time is the player's own reading
// of the program date-time (hls.js playingDate, Shaka getPlayheadTimeAsDate);
// the classic playlist carries none, so there the segment playing is looked
// up in the low-latency playlist, which names the same segments, and its
// program date-time carried on by the player's media time. The browser test's
// probe estimate (from when each segment was first listed) stands beside it.
// Channel start: with the source already multicasting, from the client's
// stream description to the first frame shown.
import { parseArgs } from "node:util";
import { writeFileSync } from "node:fs";
import path from "node:path";
import { setTimeout as sleep } from "node:timers/promises";
import { BUILD, ROOT, SOURCE, setUp, sh, startClient, startRelay, startSource, stopChildren, tearDown }
  from "../tests/browser/harness.mjs";

// H.264 with AAC, as in the browser test. Muxed at a constant rate, as a
// head-end sends: the sender paces a file by its average rate, and a
// variable-rate file's frames would then arrive up to 0.4 s off their
// timestamps, and so off the program date-time. Long enough that the sender
// never loops within a stream's turn: a real source has no seam, and at the
// loop's the audio steps back 11 ms (a 60 s file's audio is shorter than its video).
const SOURCE_SECONDS = 480;
const CONSTANT_RATE = "-muxrate 2000000";
const STREAMS = [
  { name: "60 fps, GOP 1 s", fps: 60, recipe: [SOURCE_SECONDS, "0x100", "", "", CONSTANT_RATE] },
  { name: "25 fps, GOP 2 s", fps: 25, recipe: [SOURCE_SECONDS, "0x100", "testsrc2=size=960x540:rate=25",
    "-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 3 -g 50 -keyint_min 50 -sc_threshold 0 -b:v 1500k \
-maxrate 1500k -bufsize 3000k -c:a aac -b:a 128k -ac 2", CONSTANT_RATE] },
];
const PLAYERS = [
  { name: "hls.js LL (our page)", page: "/", lowLatency: true },
  { name: "hls.js classic (?classic)", page: "/?classic" },
  { name: "Shaka classic (test page)", page: "/players.html?player=shaka" },
  { name: "Shaka LL (not used by page)", page: "/players.html?player=shaka&lowLatency", lowLatency: true },
];
const STARTERS = PLAYERS.slice(0, 2);
// The targets, in one place: seconds at most, by figure, player and stream.
// Shaka's are informational: it shows too few frames of MPEG-TS parts, so no page of ours plays it that way.
const TARGETS = {
  [`latency|${PLAYERS[0].name}|${STREAMS[0].name}`]: 2.0,
  [`latency|${PLAYERS[0].name}|${STREAMS[1].name}`]: 2.5,
  ...Object.fromEntries(STREAMS.map((s) => [`latency|${PLAYERS[3].name}|${s.name}`, 3.0])),
  ...Object.fromEntries(STREAMS.map((s) => [`start|${PLAYERS[0].name}|${s.name}`, 3.0])),
};
const INFORMATIONAL = [PLAYERS[3].name];

const { values: args } = parseArgs({ options: {
  settle: { type: "string", default: "10" },  // seconds of playing before sampling: hls.js catches up at 1.1x
  seconds: { type: "string", default: "40" },  // of sampling, once a second
  starts: { type: "string", default: "5" },  // channel starts per player and stream
  results: { type: "string", default: path.join(BUILD, "bench-latency-results.json") },
} });
const log = (text) => process.stderr.write(`${text}\n`);

// Runs in every page after the browser test's probe: the program date-time of
// each segment, from the low-latency playlist; when each playlist first
// answered; when the page started its player; the first frame shown.
function clock() {
  const bench = window.bench = { segments: {}, readyMs: {}, firstFrameMs: null };
  const fetchText = async (playlist) => {
    const answer = await fetch(playlist, { cache: "no-store" }).catch(() => null);
    if (!answer?.ok) return "";
    bench.readyMs[playlist] ??= Date.now();
    return answer.text();
  };
  setInterval(async () => {
    if (!bench.readyMs["/hlsMcast.m3u8"]) fetchText("/hlsMcast.m3u8");
    const text = await fetchText("/hlsMcast_ll.m3u8");
    const closed = new Set([...text.matchAll(/^hlsMcast_(\d+)\.ts$/gm)].map((match) => match[1]));
    let pdtMs, durationMs;
    for (const line of text.split("\n")) {
      const date = /^#EXT-X-PROGRAM-DATE-TIME:(.*)/.exec(line)?.[1], extinf = /^#EXTINF:([\d.]+)/.exec(line)?.[1];
      if (date) pdtMs = Date.parse(date);
      if (extinf) durationMs = extinf * 1000;
      const number = /hlsMcast_(\d+)[.\d]*\.ts/.exec(line)?.[1];
      if (number === undefined) continue;
      const segment = bench.segments[number] ??= { pdtMs, seenOpen: !closed.has(number) };
      if (!line.startsWith("hlsMcast_") || segment.closedMs) continue;
      Object.assign(segment, { durationMs, closedMs: Date.now() });
    }
  }, 100);
  const playerStarted = setInterval(() => {
    if (window.quillbrook?.hls || window.shakaPlayer) clearInterval(playerStarted), bench.playerMs = Date.now();
  }, 20);
  document.addEventListener("DOMContentLoaded", () => {
    const video = document.querySelector("video");
    video.requestVideoFrameCallback(() => { bench.firstFrameMs = Date.now(); });
    bench.sample = () => {
      const wallMs = Date.now(), hls = window.quillbrook?.hls;
      const own = hls ? hls.playingDate : window.shakaPlayer?.getPlayheadTimeAsDate();
      // Any segment the player has placed at or before the playhead will do: its timeline runs on unbroken.
      const [number, start] = [...window.probe.segmentStarts()]
        .filter(([n, t]) => t <= video.currentTime && bench.segments[n]).sort((a, b) => b[1] - a[1])[0] ?? [];
      const pdtMs = bench.segments[number]?.pdtMs;
      let probe = null;
      try { probe = window.probe.latency(); } catch { /* nothing listed yet */ }
      return { wallMs, time: video.currentTime, rate: video.playbackRate, own: own ? (wallMs - own) / 1000 : null,
        bySegment: pdtMs === undefined ? null : (wallMs - pdtMs) / 1000 - (video.currentTime - start), segment: number,
        probe, hlsLatency: hls?.latency ?? null, hlsTarget: hls?.targetLatency ?? null };
    };
  });
}

const median = (values) => quantile(values, 0.5);
function quantile(values, q) {
  const sorted = values.filter(Number.isFinite).sort((a, b) => a - b);
  return sorted.length ? sorted[Math.min(sorted.length - 1, Math.ceil(q * sorted.length) - 1)] : NaN;
}

async function waitFor(what, check, timeoutMs) {
  for (const deadline = Date.now() + timeoutMs; !(await check()); await sleep(50)) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
  }
}

async function playFor(context, player, stream) {
  const page = await context.newPage();
  try {
    await page.goto(`http://127.0.0.1:8154${player.page}`);
    await page.waitForFunction(() => window.probe.playing, null, { timeout: 40_000 });
    await sleep(+args.settle * 1000);
    const first = await page.evaluate(() => window.probe.sample());
    const samples = [];
    for (const end = Date.now() + +args.seconds * 1000; Date.now() < end; await sleep(1000)) {
      samples.push(await page.evaluate(() => window.bench.sample()));
    }
    const last = await page.evaluate(() => window.probe.sample());
    const segments = await page.evaluate(() => window.bench.segments);
    const played = last.time - first.time;
    const latencies = samples.map((s) => (player.lowLatency ? s.own : s.bySegment));
    const result = { samples, segments, median: median(latencies), p95: quantile(latencies, 0.95),
      probe: median(samples.map((s) => s.probe)), bySegment: median(samples.map((s) => s.bySegment)),
      shown: (last.frames - first.frames - (last.dropped - first.dropped)) / (played * stream.fps),
      pace: played * 1000 / (last.wallMs - first.wallMs), longestStillMs: last.longestStillMs,
      errors: await page.evaluate(() => window.quillbrook?.fatalErrors ?? window.playerErrors) };
    log(`  ${player.name}: ${JSON.stringify({ ...result, samples: undefined, segments: undefined })}`);
    return result;
  } finally {
    await page.close();
  }
}

// The page waits on a relay that has no stream yet, as after a channel switch;
// then the client describes the stream.
async function channelStart(context, player) {
  const relay = startRelay(), page = await context.newPage();
  let client;
  try {
    await waitFor("the player page", () => page.goto(`http://127.0.0.1:8154${player.page}`).then(() => true,
      () => false), 5000);
    await page.waitForFunction(() => window.quillbrook.state === "waiting", null, { timeout: 5000 });
    // The page asks for its playlist every 250 ms; a viewer switches channel at any moment of that.
    await sleep(Math.random() * 250);
    const spawnedMs = Date.now();
    client = startClient(SOURCE);
    const describedMs = await described(client);
    await page.waitForFunction(() => window.bench.firstFrameMs, null, { timeout: 20_000 });
    const seen = await page.evaluate(() => ({ ...window.bench, segments: undefined,
      fatalErrors: window.quillbrook.fatalErrors, restarts: window.quillbrook.restarts }));
    const after = (ms) => (ms - describedMs) / 1000;
    const result = { spawnedMs, describedMs, ...seen, seconds: after(seen.firstFrameMs),
      playlistReady: after(seen.readyMs[player.lowLatency ? "/hlsMcast_ll.m3u8" : "/hlsMcast.m3u8"]),
      playerStarted: after(seen.playerMs) };
    log(`  ${player.name}: ${result.seconds.toFixed(2)} s; playlist ${result.playlistReady.toFixed(2)} s, player \
${result.playerStarted.toFixed(2)} s; fatal errors ${seen.fatalErrors.join(",") || "none"}, restarts ${seen.restarts}`);
    return result;
  } finally {
    await page.close();
    await stopChildren([relay, ...(client ? [client] : [])]);
  }
}

// When the client said it had sent the description: it prints that line at once, line-buffered.
async function described(client) {
  const said = new Promise((resolve) => client.stdout.on("data", () => {
    if (client.output.includes("described stream")) resolve(Date.now());
  }));
  const describedMs = await Promise.race([said, sleep(10_000, null)]);
  if (!describedMs) throw new Error(`no stream described: ${client.output}`);
  return describedMs;
}

// Seconds a segment was first seen listed after its end by its program
// date-time: near 0 while that date-time runs with the source (the 100 ms
// poll adds 0.05 on average); its trend is the drift of one clock on the other.
function listingLag(rows) {
  const closed = new Map();
  for (const row of rows) {
    for (const [n, s] of Object.entries(row.segments ?? {})) {
      if (s.seenOpen && s.closedMs && !(closed.get(n)?.closedMs <= s.closedMs)) closed.set(n, s);
    }
  }
  const points = [...closed.values()].map((s) => [s.closedMs / 60_000, (s.closedMs - s.pdtMs - s.durationMs) / 1000]);
  const mean = (i) => points.reduce((sum, p) => sum + p[i], 0) / points.length;
  const [mx, my] = [mean(0), mean(1)];
  const slope = points.reduce((sum, [x, y]) => sum + (x - mx) * (y - my), 0) /
    points.reduce((sum, [x]) => sum + (x - mx) ** 2, 0);
  const lags = points.map(([, y]) => y);
  return { segments: points.length, median: median(lags), min: Math.min(...lags), max: Math.max(...lags),
    driftPerMinute: slope };
}

const fixed = (value, digits = 2) => (Number.isFinite(value) ? value.toFixed(digits) : "-");

function judged(figure, player, stream, value) {
  const bound = TARGETS[`${figure}|${player}|${stream}`];
  if (bound === undefined) return ["", ""];
  return [`<= ${bound}`, INFORMATIONAL.includes(player) ? "(info)" : value <= bound ? "PASS" : "MISS"];
}

// Names on the left and the last column, free text, left-aligned; figures right-aligned.
function table(headings, rows, names = 2) {
  const widths = headings.map((h, i) => Math.max(h.length, ...rows.map((r) => r[i].length)));
  const line = (cells) => cells.map((c, i) => (i < names || i === cells.length - 1 ? c.padEnd(widths[i])
    : c.padStart(widths[i]))).join("  ").trimEnd();
  return [line(headings), ...rows.map(line)];
}

function report(results) {
  const streams = Object.entries(results.streams), lines = [];
  lines.push(`Latency behind the source, seconds, once a second for ${args.seconds} s after ${args.settle} s of \
playing: on the LL playlist by the player's program date-time, on the classic one by the playing segment's (from the \
LL playlist); "probe": the browser test's estimate from when segments were listed.`, "", ...table(
    ["stream", "player", "median", "p95", "probe", "target", "verdict", "shown", "pace", "still s", "errors"],
    streams.flatMap(([stream, out]) => Object.entries(out.latency).map(([player, r]) => [stream, player,
      fixed(r.median), fixed(r.p95), fixed(r.probe), ...judged("latency", player, stream, r.median),
      `${fixed(r.shown * 100, 0)}%`, fixed(r.pace), fixed(r.longestStillMs / 1000), r.error ?? r.errors.join(",")]))));
  lines.push("", `Channel start, seconds from the stream description to the first frame shown, median of \
${args.starts}; when the page's playlist first answered and when the page started hls.js.`, "", ...table(
    ["stream", "player", "median", "playlist", "hls.js", "target", "verdict", "fatal errors", "per run"],
    streams.flatMap(([stream, out]) => Object.entries(out.starts).map(([player, runs]) => {
      const good = runs.filter((r) => !r.error), value = median(good.map((r) => r.seconds));
      return [stream, player, fixed(value), fixed(median(good.map((r) => r.playlistReady))),
        fixed(median(good.map((r) => r.playerStarted))), ...judged("start", player, stream, value),
        String(good.reduce((sum, r) => sum + r.fatalErrors.length, 0)),
        runs.map((r) => (r.error ? "failed" : fixed(r.seconds))).join(" ")];
    }))));
  lines.push("", "The relay's program date-time against the wall clock: seconds each segment was first listed after \
its end by its date-time (100 ms poll), and their trend.", "", ...table(
    ["stream", "segments", "median", "min", "max", "drift ms/min"],
    streams.map(([stream, { listingLag: lag }]) => [stream, String(lag.segments), fixed(lag.median), fixed(lag.min),
      fixed(lag.max), fixed(lag.driftPerMinute * 1000, 1)]), 1));
  return lines.join("\n");
}

async function attempt(what, run) {
  try {
    return await run();
  } catch (error) {
    log(`  ${what} failed: ${error.message.split("\n")[0]}`);
    return { error: error.message.split("\n")[0] };
  }
}

async function main() {
  const context = await setUp();
  await context.addInitScript(clock);
  const results = { args, streams: {} };
  try {
    for (const stream of STREAMS) {
      log(`== ${stream.name}`);
      const out = results.streams[stream.name] = { starts: {}, latency: {} };
      startSource(sh(path.join(ROOT, "tools/test_stream.sh"), ...stream.recipe.map(String)).trim(), SOURCE_SECONDS);
      for (let i = 0; i < +args.starts; i++) {
        for (const player of STARTERS) {
          (out.starts[player.name] ??= []).push(await attempt(player.name, () => channelStart(context, player)));
        }
      }
      startRelay();
      await described(startClient(SOURCE));
      for (const player of PLAYERS) {
        out.latency[player.name] = await attempt(player.name, () => playFor(context, player, stream));
      }
      out.listingLag = listingLag(Object.values(out.latency));
      await stopChildren();
      writeFileSync(args.results, JSON.stringify(results, null, 1));
    }
  } finally {
    await tearDown();
  }
  console.log(`${report(results)}\n\nraw samples in ${args.results}`);
}

await main();
