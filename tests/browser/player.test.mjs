// The player page in a real browser: headless Chromium loads it from the relay
// while the relay, its client and a multicast source run in a private network
// namespace, and the video must play for more than 6 s with no fatal hls.js
// error. Leaves screenshots in <build>/browser-test/.
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
const SOURCE = ["239.255.0.1", "5000"];
const PLAYED_SECONDS = 6;
const PLAY_DEADLINE_MS = 36_000;
const netns = `qb-browser-${process.pid}`;
const children = [];
let work;

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
  for (const deadline = Date.now() + timeoutMs; ; await new Promise((resolve) => setTimeout(resolve, 100))) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
  }
}

before(async () => {
  await mkdir(OUTPUT, { recursive: true });
  work = await mkdtemp(path.join(tmpdir(), "qb-browser-"));
  sh("ip", "netns", "add", netns);
  for (const args of [["link", "set", "lo", "up"], ["link", "set", "lo", "multicast", "on"],
    ["route", "add", "224.0.0.0/4", "dev", "lo"]]) sh("ip", "netns", "exec", netns, "ip", ...args);
});

after(async () => {
  for (const child of children) if (child.exitCode === null && child.signalCode === null) child.kill("SIGKILL");
  await Promise.all(children.map((child) => child.exited));
  spawnSync("ip", ["netns", "del", netns]);
  if (work) await rm(work, { recursive: true, force: true });
});

test("the player page plays the relayed stream", async (t) => {
  // Longer than the played part, so the source never loops back meanwhile.
  const stream = path.join(BUILD, "browser-test.ts");
  if (!existsSync(stream)) sh(path.join(ROOT, "tools/make_test_stream.sh"), stream, "40");
  const relayDir = path.join(work, "wd");
  await cp(path.join(BUILD, "player"), relayDir, { recursive: true });
  const log = path.join(work, "home/.local/share/ombrix/quillbrook.log");
  const readLog = () => readFile(log, "utf8").catch(() => "");
  const relay = startInNetns([path.join(BUILD, "quillbrook")],
    { cwd: relayDir, env: { ...process.env, HOME: path.join(work, "home") } });
  await poll("the relay to listen", async () => (await readLog()).includes("Browse files at http://127.0.0.1:8155/"));
  const client = startInNetns([path.join(BUILD, "client/quillbrook-client"), SOURCE.join(":")]);
  await poll("the client to describe the stream", () => client.output.includes("described stream"));

  // Chromium lives in the namespace too; Playwright drives it over inherited
  // pipes, which ip netns exec passes through.
  const launcher = path.join(work, "chromium-in-netns");
  await writeFile(launcher, `#!/bin/sh\nexec ip netns exec ${netns} /usr/bin/chromium "$@"\n`);
  await chmod(launcher, 0o755);
  const context = await chromium.launchPersistentContext(path.join(work, "profile"), {
    executablePath: launcher, headless: true, viewport: { width: 1100, height: 620 },
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
      "--disable-sync", "--no-first-run"],
  });
  t.after(() => context.close());
  const page = context.pages()[0] || await context.newPage();
  const pageErrors = [];
  page.on("pageerror", (error) => pageErrors.push(String(error)));
  const video = (expression) => page.evaluate(expression);

  // Loaded before the source starts, so the page has to wait and retry; a
  // javascript: playlist address must give way to the relay's own.
  await page.goto("http://127.0.0.1:8154/?src=javascript:document.title='ran'");
  await page.waitForFunction(() => window.quillbrook?.state === "waiting", null, { timeout: 10_000 });
  assert.equal(await video(() => document.getElementById("source").href), "http://127.0.0.1:8154/hlsMcast.m3u8");
  assert.match(await video(() => document.getElementById("events").innerText), /refused playlist address javascript:/);
  await page.screenshot({ path: path.join(OUTPUT, "player-waiting.png") });
  startInNetns(["/usr/bin/python3", path.join(ROOT, "tools/mcast_send.py"), stream, ...SOURCE,
    "--realtime", "--loop", "--max-seconds", "300"]);

  // A live start lands seconds into the stream: the advance counts from there.
  await page.waitForFunction(() => window.quillbrook.state === "playing", null, { timeout: PLAY_DEADLINE_MS });
  const startedAt = await video(() => document.getElementById("video").currentTime);
  await page.waitForFunction((until) => window.quillbrook.state === "playing" &&
    parseFloat(document.getElementById("time").textContent) > until, startedAt + PLAYED_SECONDS,
  { timeout: PLAY_DEADLINE_MS, polling: 250 }).catch(async (error) => {
    await page.screenshot({ path: path.join(OUTPUT, "player-failed.png") });
    throw new Error(`${error.message}\nbegan at ${startedAt} s; events:\n${await video(() =>
      document.getElementById("events").innerText)}`);
  });
  await page.screenshot({ path: path.join(OUTPUT, "player-playing.png") });
  const status = await video(() => ({ ...window.quillbrook, shown: document.getElementById("sequence").textContent }));
  assert.deepEqual([status.fatalErrors, pageErrors, status.restarts], [[], [], 0]);
  assert.equal(status.shown, String(status.mediaSequence));

  // Ctrl-C on the client closes the control connection, which ends the relay.
  client.kill("SIGINT");
  assert.deepEqual([await client.exited, await relay.exited], [0, 0], client.output);
  assert.match(await readLog(), /Websocket exited, so are we/);
});
