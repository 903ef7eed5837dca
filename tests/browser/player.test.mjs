// The player page in a real browser: headless Chromium loads it from the
// relay while the relay, its client and a multicast source run in a private
// network namespace, and the video must play for more than 6 s with no fatal
// hls.js error. Leaves screenshots in <build>/browser-test/.
import assert from "node:assert/strict";
import { spawn, spawnSync } from "node:child_process";
import { existsSync } from "node:fs";
import { chmod, cp, mkdir, mkdtemp, readFile, rm, writeFile } from "node:fs/promises";
import { tmpdir } from "node:os";
import path from "node:path";
import { after, before, test } from "node:test";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const BUILD = path.resolve(ROOT, process.env.QB_BUILD_DIR || "build");
const OUTPUT = path.join(BUILD, "browser-test");
const GROUP = "239.255.0.1";
const UDP_PORT = 5000;
const PAGE_URL = "http://127.0.0.1:8154/";
const PLAYED_SECONDS = 6;
// Long enough that the played part never reaches the point where the
// source loops back to the start.
const STREAM_SECONDS = 40;
const PLAY_DEADLINE_MS = (PLAYED_SECONDS + 30) * 1000;
const SENDER_MAX_SECONDS = 300;
const CHROMIUM_ARGS = ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
  "--disable-component-update", "--disable-sync", "--no-first-run"];

const netns = `qb-browser-${process.pid}`;
let work;
const children = {};

function sh(...command) {
  const result = spawnSync(command[0], command.slice(1), { encoding: "utf8" });
  if (result.status !== 0) throw new Error(`${command.join(" ")}: ${result.stderr || result.error}`);
}

// Every process of the test runs inside the namespace.
function startInNetns(name, command, options = {}) {
  const child = spawn("ip", ["netns", "exec", netns, ...command], { stdio: ["ignore", "pipe", "pipe"], ...options });
  child.output = "";
  child.stdout.on("data", (chunk) => { child.output += chunk; });
  child.stderr.on("data", (chunk) => { child.output += chunk; });
  child.exited = new Promise((resolve) => child.on("exit", (code) => resolve(code)));
  children[name] = child;
  return child;
}

async function poll(what, predicate, timeoutMs = 10_000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

async function exitCode(name, timeoutMs = 10_000) {
  const child = children[name];
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${name} did not exit`)), timeoutMs);
  });
  return Promise.race([child.exited, timeout]).finally(() => clearTimeout(timer));
}

async function testStream() {
  const stream = path.join(BUILD, "browser-test.ts");
  if (!existsSync(stream)) sh(path.join(ROOT, "tools/make_test_stream.sh"), stream, String(STREAM_SECONDS));
  return stream;
}

before(async () => {
  for (const needed of ["quillbrook", "client/quillbrook-client", "player/index.html", "player/hls.min.js"]) {
    assert.ok(existsSync(path.join(BUILD, needed)), `${needed} missing in ${BUILD}; run scripts/setup.sh`);
  }
  await mkdir(OUTPUT, { recursive: true });
  work = await mkdtemp(path.join(tmpdir(), "qb-browser-"));
  sh("ip", "netns", "add", netns);
  sh("ip", "netns", "exec", netns, "ip", "link", "set", "lo", "up");
  sh("ip", "netns", "exec", netns, "ip", "link", "set", "lo", "multicast", "on");
  sh("ip", "netns", "exec", netns, "ip", "route", "add", "224.0.0.0/4", "dev", "lo");
});

after(async () => {
  for (const child of Object.values(children)) {
    if (child.exitCode === null && child.signalCode === null) child.kill("SIGKILL");
  }
  await Promise.all(Object.values(children).map((child) => child.exited));
  spawnSync("ip", ["netns", "del", netns]);
  if (work) await rm(work, { recursive: true, force: true });
});

test("the player page plays the relayed stream", async (t) => {
  const stream = await testStream();
  const relayDir = path.join(work, "wd");
  const home = path.join(work, "home");
  await cp(path.join(BUILD, "player"), relayDir, { recursive: true });
  await mkdir(home);
  const log = path.join(home, ".local/share/ombrix/quillbrook.log");
  const readLog = () => readFile(log, "utf8").catch(() => "");

  startInNetns("relay", [path.join(BUILD, "quillbrook")], { cwd: relayDir, env: { ...process.env, HOME: home } });
  await poll("the relay to listen", async () => (await readLog()).includes("Browse files at http://127.0.0.1:8155/"));
  const client = startInNetns("client", [path.join(BUILD, "client/quillbrook-client"), `${GROUP}:${UDP_PORT}`]);
  await poll("the client to describe the stream", () => client.output.includes("described stream"));

  // Chromium has to live in the namespace too; Playwright drives it over
  // inherited pipes, which ip netns exec passes through.
  const launcher = path.join(work, "chromium-in-netns");
  await writeFile(launcher, `#!/bin/sh\nexec ip netns exec ${netns} /usr/bin/chromium "$@"\n`);
  await chmod(launcher, 0o755);
  const context = await chromium.launchPersistentContext(path.join(work, "profile"), {
    executablePath: launcher, headless: true, args: CHROMIUM_ARGS, viewport: { width: 1100, height: 620 },
  });
  t.after(() => context.close());
  const page = context.pages()[0] || await context.newPage();
  const pageErrors = [];
  page.on("pageerror", (error) => pageErrors.push(String(error)));

  // Loaded before the source starts, so the page has to wait and retry.
  await page.goto(PAGE_URL);
  await page.waitForFunction(() => window.quillbrook && window.quillbrook.state === "waiting", null,
    { timeout: 10_000 });
  await page.screenshot({ path: path.join(OUTPUT, "player-waiting.png") });
  startInNetns("sender", ["/usr/bin/python3", path.join(ROOT, "tools/mcast_send.py"), stream, GROUP,
    String(UDP_PORT), "--realtime", "--loop", "--max-seconds", String(SENDER_MAX_SECONDS)]);

  // A live start lands seconds into the stream, so the advance is measured
  // from where playback began.
  await page.waitForFunction(() => window.quillbrook.state === "playing", null, { timeout: PLAY_DEADLINE_MS });
  const startedAt = await page.evaluate(() => document.getElementById("video").currentTime);
  await page.waitForFunction((until) => document.getElementById("video").currentTime > until,
    startedAt + PLAYED_SECONDS, { timeout: PLAY_DEADLINE_MS, polling: 250 }).catch(async (error) => {
    await page.screenshot({ path: path.join(OUTPUT, "player-failed.png") });
    const events = await page.evaluate(() => document.getElementById("events").innerText);
    throw new Error(`${error.message}\nplayback began at ${startedAt} s; page events:\n${events}`);
  });
  // The side panel refreshes on its own timer; the screenshot should show it caught up.
  await page.waitForFunction((until) => window.quillbrook.state === "playing" &&
    parseFloat(document.getElementById("time").textContent) > until, startedAt + PLAYED_SECONDS, { timeout: 5_000 });
  await page.screenshot({ path: path.join(OUTPUT, "player-playing.png") });

  const status = await page.evaluate(() => ({
    state: window.quillbrook.state, fatalErrors: window.quillbrook.fatalErrors, restarts: window.quillbrook.restarts,
    mediaSequence: window.quillbrook.mediaSequence, shown: document.getElementById("sequence").textContent,
  }));
  assert.deepEqual(status.fatalErrors, [], "fatal hls.js errors");
  assert.deepEqual(pageErrors, [], "uncaught page errors");
  assert.equal(status.restarts, 0, "player restarts after a stall");
  assert.equal(status.state, "playing");
  assert.equal(status.shown, String(status.mediaSequence));

  // Ctrl-C on the client closes the control connection, which ends the relay.
  children.client.kill("SIGINT");
  assert.equal(await exitCode("client"), 0, children.client.output);
  assert.equal(await exitCode("relay"), 0);
  assert.match(await readLog(), /Websocket exited, so are we/);
});
