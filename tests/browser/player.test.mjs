// Players in a real browser: headless Chromium plays the relay's live streams
// (60 frames/s, one program of three, 1080p) in our hls.js page, Shaka Player
// and video.js, while the relay, its client and a multicast source run in a
// private network namespace. Leaves screenshots in <build>/browser-test/.
import assert from "node:assert/strict";
import path from "node:path";
import { after, before, test } from "node:test";
import { setTimeout as sleep } from "node:timers/promises";
import { BUILD, ROOT, SOURCE, setUp, sh, startClient, startRelay, startSource, stopChildren, tearDown }
  from "./harness.mjs";

const OUTPUT = path.join(BUILD, "browser-test");
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
  { name: "Shaka", page: "/players.html?player=shaka", errors: () => window.playerErrors },
  { name: "video.js", page: "/players.html?player=videojs", errors: () => window.playerErrors },
];
let context;

before(async () => { context = await setUp(); });
after(tearDown);

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
    t.after(() => stopChildren());  // before the next stream's relay starts, whatever happens here
    const source = sh(path.join(ROOT, "tools/test_stream.sh"), ...stream.recipe).trim();
    startRelay();
    const client = startClient([SOURCE, stream.pid].filter(Boolean).join(":"));
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
          startSource(source, 300);
        }
        await play(page, player, stream);
      } finally {
        await page.screenshot({ path: path.join(OUTPUT, `${player.name}-${stream.name.replace(/\W+/g, "-")}.png`) });
        await page.close();
      }
    }
  });
}
