"use strict";
// Plays the relay's live playlist with hls.js and shows what the stream is
// doing. The low-latency playlist keeps the picture a second or two behind
// the source; ?classic asks for the classic one. The relay answers 404 until
// a playlist has something to play, so the page keeps asking until then
// instead of handing hls.js a missing playlist.

const PARAMS = new URLSearchParams(location.search);
const CLASSIC = PARAMS.has("classic");
const DEFAULT_PLAYLIST = CLASSIC ? "/hlsMcast.m3u8" : "/hlsMcast_ll.m3u8";
const REQUESTED_PLAYLIST = PARAMS.get("src");
const REFUSED_PLAYLIST = Boolean(REQUESTED_PLAYLIST) && !isWebAddress(REQUESTED_PLAYLIST);
const PLAYLIST_URL = REQUESTED_PLAYLIST && !REFUSED_PLAYLIST ? REQUESTED_PLAYLIST : DEFAULT_PLAYLIST;
// A viewer switching channels waits for the first playlist: ask often, since
// a 404 costs the relay next to nothing.
const PLAYLIST_POLL_MS = 250;
const RETRY_MS = 1000;
// hls.js waits forever when a source restarts its timestamps without a
// discontinuity tag (an encoder or sender restart); playback
// then stops while the playlist moves on. Starting over at the live edge
// picks up the new timeline.
const STALL_RESTART_MS = 6000;
const MAX_EVENTS = 8;
// Behind its target, hls.js plays this much faster until it is back on it.
const CATCH_UP_RATE = 1.1;
const SERVICE_REFRESH_MS = 5000;

const video = document.getElementById("video");
const $ = (id) => document.getElementById(id);

// Read by the browser test; also handy from the console.
const status = window.quillbrook = {
  state: "connecting", mediaSequence: null, playingSegment: null, fatalErrors: [], restarts: 0,
};

function setState(state, detail) {
  status.state = state;
  $("state").className = `state ${state}`;
  $("state-text").textContent = state;
  if (detail !== undefined) $("detail").textContent = detail;
}

function logEvent(text, bad = false) {
  const item = document.createElement("li");
  item.textContent = `${new Date().toLocaleTimeString()} ${text}`;
  if (bad) item.className = "bad";
  const list = $("events");
  list.prepend(item);
  while (list.children.length > MAX_EVENTS) list.lastChild.remove();
}

// Only http and https: the address becomes the page's link target, where a
// javascript: or data: address would run script on the relay's origin.
function isWebAddress(text) {
  try {
    return ["http:", "https:"].includes(new URL(text, location.href).protocol);
  } catch {
    return false;
  }
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// "ready", "missing" (the relay has no segments yet) or "unreachable".
async function playlistState() {
  try {
    return (await fetch(PLAYLIST_URL, { cache: "no-store" })).ok ? "ready" : "missing";
  } catch {
    return "unreachable";
  }
}

async function waitForPlaylist() {
  setState("connecting", "Asking the relay for its playlist…");
  for (let attempt = 1, answer; (answer = await playlistState()) !== "ready"; attempt++) {
    const why = answer === "missing"
      ? "Nothing to play yet; the relay lists its playlist as soon as players can start from it."
      : "The relay does not answer.";
    setState("waiting", `${why} Retrying (try ${attempt}).`);
    await sleep(PLAYLIST_POLL_MS);
  }
  logEvent("playlist is available");
}

function startHls() {
  const hls = new Hls(CLASSIC ? { liveSyncDurationCount: 3, enableWorker: true }
    : { lowLatencyMode: true, maxLiveSyncPlaybackRate: CATCH_UP_RATE, enableWorker: true });
  hls.on(Hls.Events.MANIFEST_PARSED, () => {
    logEvent("playlist parsed, starting playback");
    video.play().catch(() => setState("paused", "Press play to start."));
  });
  hls.on(Hls.Events.LEVEL_LOADED, (_, { details }) => {
    status.mediaSequence = details.startSN;
    $("sequence").textContent = details.startSN;
    $("listed").textContent = `${details.fragments.length} (${details.totalduration.toFixed(1)} s)`;
  });
  hls.on(Hls.Events.FRAG_CHANGED, (_, { frag }) => {
    status.playingSegment = frag.sn;
    $("segment").textContent = `#${frag.sn} (${frag.duration.toFixed(2)} s)`;
  });
  hls.on(Hls.Events.ERROR, (_, data) => {
    if (!data.fatal) {
      logEvent(`warning: ${data.details}`);
      return;
    }
    status.fatalErrors.push(data.details);
    logEvent(`fatal: ${data.details}`, true);
    if (data.type === Hls.ErrorTypes.MEDIA_ERROR) {
      setState("error", `Decoder error (${data.details}); recovering…`);
      hls.recoverMediaError();
      return;
    }
    // The relay may have restarted or lost its stream: start over from the
    // playlist, which also covers the 404 before the first segments.
    setState("error", `${data.details}; reconnecting…`);
    restart(RETRY_MS);
  });
  hls.loadSource(PLAYLIST_URL);
  hls.attachMedia(video);
  status.hls = hls;
}

function restart(delayMs) {
  status.hls.destroy();
  status.hls = null;
  status.restarts++;
  sleep(delayMs).then(run);
}

let lastTime = -1;
let lastProgressAt = 0;

function watchForStall() {
  const now = performance.now();
  if (!status.hls || video.paused || video.currentTime !== lastTime) {
    lastTime = video.currentTime;
    lastProgressAt = now;
  } else if (now - lastProgressAt > STALL_RESTART_MS) {
    logEvent(`no progress for ${STALL_RESTART_MS / 1000} s; starting over at the live edge`, true);
    lastProgressAt = now;
    restart(0);
  }
}

function bufferedAhead() {
  const ranges = video.buffered;
  for (let i = 0; i < ranges.length; i++) {
    if (ranges.start(i) <= video.currentTime + 0.1 && video.currentTime <= ranges.end(i)) {
      return ranges.end(i) - video.currentTime;
    }
  }
  return 0;
}

function refreshNumbers() {
  $("time").textContent = `${video.currentTime.toFixed(1)} s`;
  $("buffer").textContent = `${bufferedAhead().toFixed(1)} s`;
  const latency = status.hls && status.hls.latency;
  $("latency").textContent = Number.isFinite(latency) && latency > 0 ? `${latency.toFixed(1)} s` : "–";
  if (video.videoWidth) $("picture").textContent = `${video.videoWidth}×${video.videoHeight}`;
  if (video.getVideoPlaybackQuality) $("dropped").textContent = video.getVideoPlaybackQuality().droppedVideoFrames;
}

// Which program of its stream the relay serves, as its /metrics says; a tier
// that does not pass /metrics on leaves the line empty.
async function showService() {
  try {
    const metrics = new URL("/metrics", new URL(PLAYLIST_URL, location.href));
    const text = await (await fetch(metrics, { cache: "no-store" })).text();
    const labels = /^quillbrook_stream_info\{(.*)\} 1$/m.exec(text)?.[1] ?? "";
    const label = (name) => new RegExp(`${name}="((?:[^"\\\\]|\\\\.)*)"`).exec(labels)?.[1].replace(/\\(.)/g, "$1");
    status.service = label("service") || null;
    const program = label("program");
    $("service").textContent = program ? `${status.service || "unnamed"} (program ${program})` : "–";
  } catch {
    // Not this page's business to report: the stream plays without it.
  }
}

video.addEventListener("playing", () => setState("playing", "Playing the live stream."));
video.addEventListener("waiting", () => setState("buffering", "Waiting for the next segment…"));
video.addEventListener("pause", () => { if (!video.ended) setState("paused", "Paused."); });

async function run() {
  await waitForPlaylist();
  if (window.Hls && Hls.isSupported()) {
    startHls();
  } else if (video.canPlayType("application/vnd.apple.mpegurl")) {
    video.src = PLAYLIST_URL;  // Safari plays HLS itself
    video.play().catch(() => setState("paused", "Press play to start."));
  } else {
    setState("error", "This browser can play neither HLS nor Media Source Extensions.");
  }
}

$("source").textContent = $("source").href = new URL(PLAYLIST_URL, location.href).href;
if (REFUSED_PLAYLIST) {
  logEvent(`refused playlist address ${REQUESTED_PLAYLIST}: only http and https; playing the default`, true);
}
setInterval(() => { refreshNumbers(); watchForStall(); }, 250);
setInterval(showService, SERVICE_REFRESH_MS);
showService();
run();
